// `marlune --smoke`: the automated start-up check, run as a separate process on the display.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>

#include "desktop_test.h"
#include "support/bridge_process.h"

extern char** environ;

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::writeFile;

struct Outcome {
    int status = -1;  // -1: still running at the deadline (then killed)
    std::string out;
    std::chrono::milliseconds took{0};
};

// Runs the program with its own HOME and the test's display; collects standard output.
Outcome runMarlune(const std::vector<std::string>& args, const fs::path& home,
                   std::chrono::seconds deadline) {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        auto eq = kv.find('=');
        if (eq != std::string::npos) env[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    env["HOME"] = home.string();
    env["XDG_CONFIG_HOME"] = (home / ".config").string();
    env["XDG_DATA_HOME"] = (home / ".local/share").string();
    env["XDG_CACHE_HOME"] = (home / ".cache").string();
    std::vector<std::string> envStrings;
    for (auto& [k, v] : env) envStrings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStrings = {test::marluneBinary().string()};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    pid_t pid = -1;
    auto started = std::chrono::steady_clock::now();
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    Outcome result;
    if (rc != 0) {
        ::close(out[0]);
        return result;
    }
    auto end = started + deadline;
    bool eof = false;
    while (std::chrono::steady_clock::now() < end) {
        int status = 0;
        if (eof) {
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            ::usleep(10'000);
            continue;
        }
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            char chunk[4096];
            ssize_t n = ::read(out[0], chunk, sizeof chunk);
            if (n <= 0) {
                eof = true;
            } else {
                result.out.append(chunk, static_cast<std::size_t>(n));
            }
        }
    }
    result.took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    if (result.status == -1) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    ::close(out[0]);
    return result;
}

class SmokeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        ASSERT_TRUE(display && *display)
            << "desktop tests need a display: run them through scripts/test (Xvfb)";
    }
    TempDir home;
};

TEST_F(SmokeTest, StarterPageReportsReady) {
    Outcome run = runMarlune({"--smoke"}, home.path(), std::chrono::seconds(30));
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out, "MARLUNE_SMOKE_OK\n");
}

// Takes its full 12 seconds: the time-out is not shortened for tests.
TEST_F(SmokeTest, SilentPageTimesOut) {
    const fs::path silent = home / "silent-web";
    writeFile(silent / "index.html", "<!doctype html><title>never ready</title><p>Silent.");
    writeFile(home / ".config/marlune/defaults.json", Json{{"DevWebRoot", silent.string()}}.dump());
    Outcome run = runMarlune({"--smoke"}, home.path(), std::chrono::seconds(40));
    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_EQ(run.out, "MARLUNE_SMOKE_TIMEOUT\n");
    EXPECT_GE(run.took, std::chrono::milliseconds(11'900));
}

}  // namespace
}  // namespace marlune
