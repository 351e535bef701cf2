#pragma once

// Test movies made with the `ffmpeg` command-line tool (a test dependency, see
// scripts/install-deps). Header-only so that any test program can use it.

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace marlune::test {

// Runs a program with arguments (no shell); true when it exits with status 0. Its output goes
// to this process's standard error.
inline bool runTool(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs a program (no shell) and returns what it wrote to standard output, when it exits with
// status 0.
inline std::optional<std::string> toolOutput(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe(fds) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; rc == 0 && (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, n);
    close(fds[0]);
    if (rc != 0) return std::nullopt;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return std::nullopt;
    }
    return out;
}

// The duration ffprobe reads from a movie's container, in seconds.
inline std::optional<double> probeDuration(const std::filesystem::path& path) {
    auto out = toolOutput({"ffprobe", "-v", "error", "-show_entries", "format=duration", "-of",
                           "default=noprint_wrappers=1:nokey=1", path.string()});
    if (!out || out->empty()) return std::nullopt;
    try {
        return std::stod(*out);
    } catch (...) {
        return std::nullopt;
    }
}

// True when ffmpeg decodes every frame of every track without a complaint.
inline bool decodesCleanly(const std::filesystem::path& path) {
    auto out = toolOutput(
        {"sh", "-c", "ffmpeg -nostdin -v error -i \"$0\" -f null - 2>&1", path.string()});
    return out && out->empty();
}

// `ffmpeg -v error -y <args…>`.
inline bool ffmpeg(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"ffmpeg", "-nostdin", "-v", "error", "-y"};
    all.insert(all.end(), args.begin(), args.end());
    return runTool(all);
}

// A movie of `seconds` with a moving test picture (H.264, a key frame every `gop` frames at
// 30 fps) and, when `withAudio`, a 440 Hz tone (AAC, 48 kHz mono).
inline bool makeMovie(const std::filesystem::path& path, double seconds, int width = 320,
                      int height = 180, bool withAudio = true, int gop = 30) {
    std::vector<std::string> args = {
        "-f", "lavfi", "-i",
        "testsrc2=s=" + std::to_string(width) + "x" + std::to_string(height) + ":r=30"};
    if (withAudio) {
        args.insert(args.end(), {"-f", "lavfi", "-i", "sine=f=440:sample_rate=48000"});
    }
    args.insert(args.end(), {"-t", std::to_string(seconds), "-c:v", "libx264", "-preset",
                             "ultrafast", "-pix_fmt", "yuv420p", "-g", std::to_string(gop)});
    if (withAudio) args.insert(args.end(), {"-c:a", "aac", "-ac", "1"});
    args.push_back(path.string());
    return ffmpeg(args);
}

}  // namespace marlune::test
