// `cmake --install` into a fresh prefix gives a program that starts and a valid menu entry.

#include <gio/gdesktopappinfo.h>

#include "desktop_test.h"
#include "support/ffmpeg_tool.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;

using InstalledProgramTest = test::DesktopTest;

// Into a prefix with a space in its path: its own files, menu entry, icon and metadata.
TEST_F(InstalledProgramTest, InstalledProgramRunsFromItsPrefix) {
    const fs::path prefix = home / "install root";
    const std::string install = std::string("'") + MARLUNE_CMAKE + "' --install '" +
                                MARLUNE_BUILD_DIR + "' --prefix '" + prefix.string() +
                                "' > /dev/null";
    ASSERT_EQ(std::system(install.c_str()), 0) << install;

    const fs::path program = prefix / "bin/marlune";
    const fs::path entry = prefix / "share/applications/app.marlune.studio.desktop";
    for (const fs::path& file :
         {program, entry, prefix / "share/marlune/web/index.html",
          prefix / "share/icons/hicolor/scalable/apps/app.marlune.studio.svg",
          prefix / "share/metainfo/app.marlune.studio.metainfo.xml",
          prefix / "share/marlune/icons/marlune-recording.svg",
          prefix / "share/marlune/icons/marlune-paused.svg"}) {
        EXPECT_TRUE(fs::exists(file)) << file;
    }
    EXPECT_EQ(std::system(("desktop-file-validate '" + entry.string() + "'").c_str()), 0);
    EXPECT_EQ(std::system(("appstreamcli validate --no-net '" +
                           (prefix / "share/metainfo/app.marlune.studio.metainfo.xml").string() +
                           "' > /dev/null")
                              .c_str()),
              0);
    // The entry starts exactly the installed program, however its path is spelled.
    GDesktopAppInfo* info = g_desktop_app_info_new_from_filename(entry.c_str());
    ASSERT_TRUE(info);
    gchar* exec = g_desktop_app_info_get_string(info, "Exec");
    gchar** argv = nullptr;
    ASSERT_TRUE(g_shell_parse_argv(exec, nullptr, &argv, nullptr)) << exec;
    EXPECT_EQ(fs::path(argv[0]), program) << exec;
    EXPECT_EQ(g_strv_length(argv), 1u) << exec;
    g_strfreev(argv);
    g_free(exec);
    gchar* icon = g_desktop_app_info_get_string(info, "Icon");
    EXPECT_STREQ(icon, "app.marlune.studio");
    g_free(icon);
    g_object_unref(info);

    // Its start-up check, in the fixture's private home.
    const auto out = test::toolOutput({"timeout", "-s", "KILL", "30", program.string(), "--smoke"});
    EXPECT_EQ(out.value_or("<failed or killed>"), "MARLUNE_SMOKE_OK\n");
}

}  // namespace
}  // namespace marlune
