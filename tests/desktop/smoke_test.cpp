// `marlune --smoke`: the automated start-up check, run as a separate process on the display.

#include <chrono>

#include <gio/gdesktopappinfo.h>

#include "desktop_test.h"
#include "support/bridge_process.h"
#include "support/ffmpeg_tool.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;  // 137: still running at the deadline, then killed
    std::string out;
    std::chrono::milliseconds took{0};
};

// Runs `marlune --smoke` with its own HOME and the test's display; collects standard output.
Outcome runSmoke(const fs::path& home, int deadlineSeconds,
                 const fs::path& program = test::marluneBinary()) {
    const auto started = std::chrono::steady_clock::now();
    std::string out =
        test::toolOutput(
            {"sh", "-c",
             "HOME=\"$0\" XDG_CONFIG_HOME=\"$0/.config\" XDG_DATA_HOME=\"$0/.local/share\" "
             "XDG_CACHE_HOME=\"$0/.cache\" timeout -s KILL \"$1\" \"$2\" --smoke; "
             "echo \"exit $?\"",
             home.string(), std::to_string(deadlineSeconds), program.string()})
            .value_or("");
    Outcome result;
    result.took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    const auto last = out.rfind("exit ");
    if (last == std::string::npos) return result;
    result.status = std::stoi(out.substr(last + 5));
    result.out = out.substr(0, last);
    return result;
}

using SmokeTest = test::DesktopTest;

// Takes its full 12 seconds: the time-out is not shortened for tests.
TEST_F(SmokeTest, SilentPageTimesOut) {
    const fs::path silent = home / "silent-web";
    test::writeFile(silent / "index.html", "<!doctype html><title>never ready</title><p>Silent.");
    test::writeFile(home / ".config/marlune/defaults.json",
                    Json{{"DevWebRoot", silent.string()}}.dump());
    Outcome run = runSmoke(home.path(), 40);
    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_EQ(run.out, "MARLUNE_SMOKE_TIMEOUT\n");
    EXPECT_GE(run.took, std::chrono::milliseconds(11'900));
}

// `cmake --install` into a fresh prefix (with a space in its path) gives a program that starts on
// its own files, with a valid menu entry pointing at it, its icon and its metadata.
TEST_F(SmokeTest, InstalledProgramRunsFromItsPrefix) {
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

    test::TempDir programHome;
    Outcome run = runSmoke(programHome.path(), 30, program);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out, "MARLUNE_SMOKE_OK\n");
}

}  // namespace
}  // namespace marlune
