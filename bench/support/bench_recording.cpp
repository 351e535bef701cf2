#include "support/bench_recording.h"

#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>

#include "platform/media/webcam_proxy.h"

extern char** environ;

namespace marlune::bench {

namespace fs = std::filesystem;

namespace {

bool makeSource() {
    {
        std::ofstream text(kCache / "text.txt");
        const char* words[] = {"export", "render", "frame", "cursor", "zoom",   "spring",
                               "motion", "webcam", "audio", "track",  "screen", "window",
                               "text",   "caret",  "click", "ripple", "shadow", "padding"};
        unsigned seed = 7;
        for (int line = 1; line <= 120; ++line) {
            text << line << "  ";
            seed = seed * 1103515245 + 12345;
            int count = 3 + int(seed >> 16) % 10;
            for (int w = 0; w < count; ++w) {
                seed = seed * 1103515245 + 12345;
                text << words[(seed >> 16) % 18] << ' ';
            }
            text << '\n';
        }
    }
    // The recorder's bit rate: max(5 Mbit/s, 0.18 bit per pixel per frame); a key frame a second.
    const auto recorderRate = std::to_string(
        std::max<std::int64_t>(5'000'000, std::int64_t(kWidth * kHeight * kFps * 0.18)));
    const std::string graph =
        "color=c=0x3a6ea5:s=1920x1080:r=30,"
        "drawbox=x=0:y=1040:w=1920:h=40:color=0x202020:t=fill,"
        "drawbox=x=40:y=40:w=72:h=72:color=0xf0c040:t=fill,"
        "drawbox=x=40:y=150:w=72:h=72:color=0x60c060:t=fill,"
        "drawbox=x=40:y=260:w=72:h=72:color=0xe06060:t=fill[desk];"
        "color=c=white:s=1100x700:r=30,"
        "drawbox=x=0:y=0:w=1100:h=36:color=0xd8d8d8:t=fill,"
        "drawtext=fontfile=/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf:textfile=" +
        (kCache / "text.txt").string() +
        ":fontsize=20:fontcolor=0x202020:line_spacing=6:x=20:y=700-mod(t*60\\,3400)[win];"
        "[desk][win]overlay=x='360+200*sin(t/4)':y='140+80*sin(t/3)'[v];"
        "aevalsrc='0.2*sin(2*PI*440*t)|0.2*sin(2*PI*554*t)':s=48000:c=stereo[a]";
    fs::path partial = kCache / "source.partial.mp4";
    if (!runFfmpeg({"-filter_complex",
                    graph,
                    "-map",
                    "[v]",
                    "-map",
                    "[a]",
                    "-t",
                    std::to_string(kSeconds),
                    "-c:v",
                    "libx264",
                    "-preset",
                    "veryfast",
                    "-profile:v",
                    "high",
                    "-b:v",
                    recorderRate,
                    "-g",
                    std::to_string(kFps),
                    "-bf",
                    "0",
                    "-pix_fmt",
                    "yuv420p",
                    "-c:a",
                    "aac",
                    "-b:a",
                    "192k",
                    "-ar",
                    "48000",
                    "-ac",
                    "2",
                    "-movflags",
                    "+faststart",
                    partial.string()})) {
        return false;
    }
    fs::rename(partial, kCache / "source.mp4");
    return true;
}

bool makeWebcam() {
    fs::path partial = kCache / "webcam.partial.mp4";
    // Like the recorder's webcam movie: a key frame a second, no reordered pictures.
    if (!runFfmpeg({"-f", "lavfi", "-i", "testsrc2=s=1280x720:r=30", "-t", std::to_string(kSeconds),
                    "-c:v", "libx264", "-preset", "veryfast", "-b:v", "8M", "-g",
                    std::to_string(kFps), "-bf", "0", "-pix_fmt", "yuv420p", partial.string()})) {
        return false;
    }
    fs::rename(partial, kCache / "webcam.mp4");
    return true;
}

// The webcam movie's small copy as the recorder writes it beside the movie: every picture halved
// (a 2 × 2 mean, as "area" scales by two) with the copy's preset and bit rate.
bool makeWebcamCopy() {
    fs::path partial = kCache / "webcam.small.partial.m4v";
    if (!runFfmpeg({"-i", (kCache / "webcam.mp4").string(), "-vf", "scale=640:360:flags=area",
                    "-c:v", "libx264", "-preset", kWebcamProxyPreset, "-b:v",
                    std::to_string(kWebcamProxyBitRate), "-g", std::to_string(kFps), "-bf", "0",
                    "-pix_fmt", "yuv420p",
                    // Tagged as the recorder's writer tags it (an untagged 360-row movie would
                    // count as BT.601 and change the webcam's colours).
                    "-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc", "bt709",
                    "-color_range", "tv", "-f", "mp4", partial.string()})) {
        return false;
    }
    fs::rename(partial, kCache / "webcam.small.m4v");
    return true;
}

}  // namespace

fs::path webRoot() {
    return fs::path(MARLUNE_SOURCE_DIR) / "web";
}

void useBenchHome() {
    setenv("HOME", kHome.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (kCache / "config").c_str(), 1);
}

int roundsArgument(int argc, char** argv) {
    int rounds = 1;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.starts_with("--rounds=")) rounds = std::max(1, std::atoi(arg.c_str() + 9));
    }
    return rounds;
}

bool runFfmpeg(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"ffmpeg", "-nostdin", "-v", "error", "-y"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool prepareRecording() {
    fs::create_directories(kFolder);
    if (!fs::exists(kCache / "source.mp4")) {
        std::fprintf(stderr, "making the one-minute 1080p screen recording (once)…\n");
        if (!makeSource()) return false;
    }
    if (!fs::exists(kCache / "webcam.mp4")) {
        std::fprintf(stderr, "making the one-minute webcam movie (once)…\n");
        if (!makeWebcam()) return false;
    }
    if (!fs::exists(kCache / "webcam.small.m4v")) {
        std::fprintf(stderr, "making the webcam movie's small copy (once)…\n");
        if (!makeWebcamCopy()) return false;
    }
    for (auto [from, to] :
         {std::pair{"source.mp4", "Bench.mp4"}, std::pair{"webcam.mp4", "Bench.webcam.mp4"},
          std::pair{"webcam.small.m4v", "Bench.webcam.small.m4v"},
          std::pair{"source.mp4", "BenchNoCopy.mp4"},
          std::pair{"webcam.mp4", "BenchNoCopy.webcam.mp4"}}) {
        if (!fs::exists(kFolder / to)) fs::create_hard_link(kCache / from, kFolder / to);
    }
    return true;
}

Json styledEdit() {
    Json path = Json::array();
    Json clicks = Json::array();
    for (double t = 0; t <= kSeconds * 1000; t += 1000.0 / 30) {
        const double s = t / 1000;
        path.push_back({t, 0.5 + 0.3 * std::sin(s / 2), 0.5 + 0.28 * std::sin(s / 3), 0});
    }
    for (double t = 1000; t < kSeconds * 1000; t += 3000) {
        const double s = t / 1000;
        clicks.push_back(
            {{"t", t}, {"fx", 0.5 + 0.3 * std::sin(s / 2)}, {"fy", 0.5 + 0.28 * std::sin(s / 3)}});
    }
    return {
        {"frame",
         {{"type", "wallpaper"},
          {"id", "aurora"},
          {"paddingPct", 12},
          {"radiusPct", 3},
          {"shadowPct", 45}}},
        {"zooms",
         {{{"startMs", 5000}, {"endMs", 15000}, {"scale", 2}, {"fx", 0.3}, {"fy", 0.4}},
          {{"startMs", 30000}, {"endMs", 45000}, {"scale", 1.8}, {"follow", true}}}},
        {"cursor", {{"path", path}, {"clicks", clicks}, {"ripple", true}, {"style", "arrow"}}},
        {"webcam", {{"enabled", true}, {"file", "Bench.webcam.mp4"}}},
    };
}

}  // namespace marlune::bench
