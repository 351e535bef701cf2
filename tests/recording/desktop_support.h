#pragma once

// Helpers for the tracker tests, which drive a real X display (scripts/test provides one) with
// xdotool and small GTK programs.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/json.h"
#include "platform/desktop/x11_monitors.h"

namespace marlune::test {

inline std::filesystem::path recordingData(const std::string& name) {
    return std::filesystem::path(MARLUNE_RECORDING_TEST_DATA) / name;
}

// Runs a shell command line (xdotool, xrandr …) and tells whether it succeeded.
inline bool sh(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A child process whose standard output is read line by line (and, when asked, whose standard
// input takes lines); killed when the object goes.
class Child {
  public:
    explicit Child(const std::vector<std::string>& argv, bool withInput = false) {
        int fds[2], in[2] = {-1, -1};
        if (pipe2(fds, O_CLOEXEC) != 0 || (withInput && pipe2(in, O_CLOEXEC) != 0)) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            if (withInput) dup2(in[0], STDIN_FILENO);
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(fds[1]);
        out_ = fds[0];
        if (withInput) {
            close(in[0]);
            in_ = in[1];
        }
    }
    ~Child() {
        if (in_ >= 0) close(in_);
        killNow();
        if (out_ >= 0) close(out_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }

    // Kills it (a stopped child too) and waits for it to be gone.
    void killNow() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    bool writeLine(const std::string& text) {
        const std::string line = text + "\n";
        return in_ >= 0 && write(in_, line.data(), line.size()) == ssize_t(line.size());
    }

    std::optional<std::string> readLine(std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (out_ < 0 || left.count() <= 0) return std::nullopt;
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[4096];
            ssize_t n = read(out_, chunk, sizeof chunk);
            if (n <= 0) return std::nullopt;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int in_ = -1;
    std::string buffer_;
};

// A GTK test program from tests/recording/data run with the system Python (which has the GTK
// bindings); it prints one line of JSON once its window is up.
class TestWindow {
  public:
    explicit TestWindow(const std::string& script)
        : child_({"/usr/bin/python3", recordingData(script).string()}) {
        auto line = child_.readLine(std::chrono::seconds(20));
        if (line) info = Json::parse(*line, nullptr, false);
    }
    bool ready() const { return info.is_object(); }
    pid_t pid() const { return child_.pid(); }
    Json info;

  private:
    Child child_;
};

// An X server of its own with the given screen size; $DISPLAY points at it while the object
// lives.
class PrivateDisplay {
  public:
    explicit PrivateDisplay(const std::string& screen)
        : server_(
              {"Xvfb", "-displayfd", "1", "-screen", "0", screen, "-noreset", "-nolisten", "tcp"}) {
        if (const char* d = std::getenv("DISPLAY")) previous_ = d;
        if (auto number = server_.readLine(std::chrono::seconds(10)); number && !number->empty()) {
            display_ = ":" + *number;
            setenv("DISPLAY", display_.c_str(), 1);
        }
    }
    ~PrivateDisplay() {
        if (previous_) setenv("DISPLAY", previous_->c_str(), 1);
    }

    bool ready() const { return !display_.empty(); }

  private:
    Child server_;
    std::string display_;
    std::optional<std::string> previous_;
};

// The monitor RandR calls `name`, or the primary one for "".
inline std::optional<x11::Monitor> monitorNamed(const std::string& name) {
    auto monitors = x11::listMonitors();
    if (!monitors) return std::nullopt;
    for (const auto& m : *monitors) {
        if (name.empty() ? m.primary : m.name == name) return m;
    }
    return name.empty() && !monitors->empty() ? std::optional(monitors->front()) : std::nullopt;
}

}  // namespace marlune::test
