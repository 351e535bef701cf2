#pragma once

// A helper program run as a child process, its standard output read and its input written by lines.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/json.h"

namespace marlune::test {

// Lines from a pipe's read end, kept apart however the bytes arrive.
struct LineReader {
    int fd = -1;
    std::string buffer;
    bool ended = false;

    // The next line, or nothing when none arrives in time or the output ended; with `unfinished`,
    // a last line without its newline comes back once the output has ended.
    std::optional<std::string> next(std::chrono::milliseconds timeout, bool unfinished) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (auto nl = buffer.find('\n'); nl != std::string::npos) {
                std::string line = buffer.substr(0, nl);
                buffer.erase(0, nl + 1);
                return line;
            }
            if (ended) {
                if (!unfinished || buffer.empty()) return std::nullopt;
                return std::exchange(buffer, {});
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (fd < 0 || left.count() <= 0) return std::nullopt;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[65536];
            ssize_t n = read(fd, chunk, sizeof chunk);
            if (n <= 0) {
                ended = true;
            } else {
                buffer.append(chunk, static_cast<std::size_t>(n));
            }
        }
    }
};

// Killed when the object goes, unless it has ended before.
class Child {
  public:
    explicit Child(const std::vector<std::string>& argv, bool withInput = false) {
        int fds[2], in[2] = {-1, -1};
        if (pipe2(fds, O_CLOEXEC) != 0 || (withInput && pipe2(in, O_CLOEXEC) != 0)) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            if (withInput) dup2(in[0], STDIN_FILENO);
            // Nothing else of this process is passed on: a program that held, say, the write end
            // of another child's input would keep that child from ever seeing its end.
            closefrom(STDERR_FILENO + 1);
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(fds[1]);
        out_.fd = fds[0];
        if (withInput) {
            close(in[0]);
            in_ = in[1];
        }
    }
    ~Child() {
        closeInput();
        killNow();
        if (out_.fd >= 0) close(out_.fd);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0; }

    // Kills it (a stopped child too) and waits for it to be gone.
    void killNow() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    // Ends its input and gives it `grace` to end on its own before it is killed.
    void finish(std::chrono::milliseconds grace) {
        closeInput();
        const auto deadline = std::chrono::steady_clock::now() + grace;
        while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            poll(nullptr, 0, 20);
        }
        killNow();
    }
    void closeInput() {
        if (in_ >= 0) close(in_);
        in_ = -1;
    }

    bool writeLine(const std::string& text) {
        const std::string line = text + "\n";
        return in_ >= 0 && write(in_, line.data(), line.size()) == ssize_t(line.size());
    }

    std::optional<std::string> readLine(std::chrono::milliseconds timeout) {
        return out_.next(timeout, false);
    }

  private:
    pid_t pid_ = -1;
    LineReader out_;
    int in_ = -1;
};

// A GTK test program (tests/recording/data) run with the system Python, which has the GTK
// bindings; it prints one line of JSON about itself once its window is up.
class ScriptWindow {
  public:
    explicit ScriptWindow(const std::filesystem::path& script)
        : child_({"/usr/bin/python3", script.string()}) {
        auto line = child_.readLine(std::chrono::seconds(20));
        if (line) info = Json::parse(*line, nullptr, false);
    }
    bool ready() const { return info.is_object(); }
    Json info;

  private:
    Child child_;
};

}  // namespace marlune::test
