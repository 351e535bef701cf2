// `marlune --smoke`: the automated start-up check, run as a separate process on the display.

#include <sys/wait.h>

#include <chrono>

#include <gio/gdesktopappinfo.h>

#include "desktop_test.h"
#include "support/bridge_process.h"

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
    gchar** env = g_get_environ();
    env = g_environ_setenv(env, "HOME", home.c_str(), TRUE);
    env = g_environ_setenv(env, "XDG_CONFIG_HOME", (home / ".config").c_str(), TRUE);
    env = g_environ_setenv(env, "XDG_DATA_HOME", (home / ".local/share").c_str(), TRUE);
    env = g_environ_setenv(env, "XDG_CACHE_HOME", (home / ".cache").c_str(), TRUE);
    const std::string binary = program.string();
    const std::string limit = std::to_string(deadlineSeconds);
    const char* argv[] = {"timeout",      "-s",      "KILL", limit.c_str(),
                          binary.c_str(), "--smoke", nullptr};
    Outcome result;
    gchar* out = nullptr;
    gint wait = 0;
    const auto started = std::chrono::steady_clock::now();
    if (g_spawn_sync(nullptr, const_cast<gchar**>(argv), env, G_SPAWN_SEARCH_PATH, nullptr, nullptr,
                     &out, nullptr, &wait, nullptr)) {
        result.status = WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
        result.out = out;
        g_free(out);
    }
    result.took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    g_strfreev(env);
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
