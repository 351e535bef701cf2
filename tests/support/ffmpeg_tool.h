#pragma once

// Test movies made and probed with the ffmpeg tools (a test dependency: scripts/install-deps).

#include <gio/gio.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace marlune::test {

namespace detail {
// Runs a program (no shell, found on PATH); true when it exits with status 0. Its standard output
// is collected into `out` when given, bytes and all (a raw picture holds zeros), otherwise it goes
// to this process's.
inline bool spawn(const std::vector<std::string>& args, std::string* out) {
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    GSubprocess* child = g_subprocess_newv(
        argv.data(), out ? G_SUBPROCESS_FLAGS_STDOUT_PIPE : G_SUBPROCESS_FLAGS_NONE, nullptr);
    if (!child) return false;
    GBytes* bytes = nullptr;
    bool ok = g_subprocess_communicate(child, nullptr, nullptr, out ? &bytes : nullptr, nullptr,
                                       nullptr) &&
              g_subprocess_get_if_exited(child) && g_subprocess_get_exit_status(child) == 0;
    if (out) {
        gsize size = 0;
        const void* data = bytes ? g_bytes_get_data(bytes, &size) : nullptr;
        if (data)
            out->assign(static_cast<const char*>(data), size);
        else
            out->clear();
    }
    if (bytes) g_bytes_unref(bytes);
    g_object_unref(child);
    return ok;
}
}  // namespace detail

// Runs a program with arguments (no shell); true when it exits with status 0.
inline bool runTool(const std::vector<std::string>& args) {
    return detail::spawn(args, nullptr);
}

// What a program (no shell) wrote to standard output, when it exits with status 0.
inline std::optional<std::string> toolOutput(const std::vector<std::string>& args) {
    std::string out;
    if (!detail::spawn(args, &out)) return std::nullopt;
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

// True when ffmpeg decodes every frame of every track without a complaint. The frames keep the
// movie's own time base: a recorded movie's frames come at capture times, and two of them closer
// than its average frame interval would otherwise land on one tick of the tool's output clock,
// which it reports as an error of the movie.
inline bool decodesCleanly(const std::filesystem::path& path) {
    auto out = toolOutput({"sh", "-c",
                           "ffmpeg -nostdin -v error -i \"$0\" -enc_time_base -1 -f null - 2>&1",
                           path.string()});
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

// A movie that a copy without re-encoding takes a while over (it runs at disk speed): `loops`
// times two seconds of 1280 × 720 motion JPEG at 30 fps, a few megabytes a second, no sound.
inline bool makeBigMovie(const std::filesystem::path& path, int loops) {
    // Hidden, so that nothing lists it while it exists.
    const std::filesystem::path seed =
        path.parent_path() / ("." + path.filename().string() + ".seed.mp4");
    bool ok = ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=1280x720:r=30", "-t", "2", "-c:v", "mjpeg",
                      "-q:v", "2", seed.string()}) &&
              ffmpeg({"-stream_loop", std::to_string(loops - 1), "-i", seed.string(), "-c", "copy",
                      path.string()});
    std::error_code ignored;
    std::filesystem::remove(seed, ignored);
    return ok;
}

}  // namespace marlune::test
