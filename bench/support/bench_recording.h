#pragma once

// The screen recording the benchmarks share: one minute of 1920 × 1080 at 30 fps with stereo
// audio (text scrolling in a window that drifts over a mostly still desktop, at the recorder's bit
// rate and key frame interval), a one-minute 720p webcam movie beside it (a key frame a second,
// as the recorder writes it) with its small copy, and a styled edit of them.
// Made once with the ffmpeg tool under /tmp/marlune-bench-export and reused by later runs.

#include <filesystem>
#include <string>
#include <vector>

#include "core/json.h"

namespace marlune::bench {

inline const std::filesystem::path kCache = "/tmp/marlune-bench-export";
inline const std::filesystem::path kHome = kCache / "home";
// The recordings folder under kHome, holding "Bench.mp4", "Bench.webcam.mp4" and the webcam's
// small copy "Bench.webcam.small.m4v", and the same recording without the copy as "BenchNoCopy".
inline const std::filesystem::path kFolder = kHome / "Videos/Marlune";
inline constexpr double kSeconds = 60;
inline constexpr int kWidth = 1920;
inline constexpr int kHeight = 1080;
inline constexpr int kFps = 30;

// The source tree's web root (wallpapers, cursor packs).
std::filesystem::path webRoot();

// Points HOME (and so the recordings folder) at kHome. First thing in main, before GLib reads
// the user's folders.
void useBenchHome();

// The N of a --rounds=N argument (how many times each run is repeated), 1 without one.
int roundsArgument(int argc, char** argv);

// Runs `ffmpeg -nostdin -v error -y <args…>`; true when it succeeds.
bool runFfmpeg(const std::vector<std::string>& args);

// Makes the movies unless they exist, and links them into kFolder.
bool prepareRecording();

// The styled edit: a wallpaper frame, a held zoom and a following one, a cursor drifting along a
// smooth path with a click every three seconds, and the webcam.
Json styledEdit();

}  // namespace marlune::bench
