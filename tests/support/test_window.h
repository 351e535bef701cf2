#pragma once

// A window of another process on the test desktop: test_window.py beside this file, run with
// the system's Python (which has GTK). Header-only so that any test program can use it.

#include <glib.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace marlune::test {

class TestWindow {
  public:
    struct Options {
        std::string title;  // "" leaves the window untitled
        int width = 400;
        int height = 300;
        int x = 50;
        int y = 50;
        std::string color = "#3366cc";
    };

    explicit TestWindow(const Options& o) {
        const std::string script = MARLUNE_TEST_SUPPORT_DIR "/test_window.py";
        std::vector<std::string> args = {
            "/usr/bin/python3",
            script,
            "--title=" + o.title,
            "--size=" + std::to_string(o.width) + "x" + std::to_string(o.height),
            "--pos=" + std::to_string(o.x) + "," + std::to_string(o.y),
            "--color=" + o.color};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        GPid pid = 0;
        if (g_spawn_async_with_pipes(nullptr, argv.data(), nullptr, G_SPAWN_DO_NOT_REAP_CHILD,
                                     nullptr, nullptr, &pid, &in_, &out_, nullptr, nullptr)) {
            pid_ = pid;
            if (auto line = readLine(std::chrono::seconds(20))) id_ = std::stoul(*line);
        }
    }

    ~TestWindow() { close(); }
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    // The X id of the window; 0 when it did not come up.
    std::uint32_t id() const { return id_; }
    int pid() const { return pid_; }

    // Sends one command of test_window.py and waits until it has been carried out.
    bool command(const std::string& line) {
        if (in_ < 0) return false;
        std::string text = line + "\n";
        if (::write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            return false;
        return readLine(std::chrono::seconds(10)) == "ok";
    }

    // Closes the window and waits for its process.
    void close() {
        if (pid_ <= 0) return;
        if (in_ >= 0) {
            ::close(in_);  // end of input ends the program
            in_ = -1;
        }
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            ::usleep(50'000);
        }
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        if (out_ >= 0) ::close(out_);
        out_ = -1;
    }

  private:
    std::optional<std::string> readLine(std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (true) {
            if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[256];
            ssize_t n = ::read(out_, chunk, sizeof chunk);
            if (n <= 0) return std::nullopt;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    int pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::uint32_t id_ = 0;
    std::string buffer_;
};

}  // namespace marlune::test
