#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace marlune {

// The small copy of a webcam movie that the recorder writes beside it while recording: the same
// pictures at half the width and height, on the same timeline, cheap to encode and to decode.
// An export or a preview that shows the webcam no wider than the copy reads the copy instead of
// the full movie; the full movie stays the recording. The copy is only a cache: a recording
// without one (older recordings, small cameras, a copy whose writing failed) reads the full
// movie, and so does one whose copy does not match its movie.

// The recorder writes a copy only for cameras at least this wide (the copy is then 640 or more
// wide, enough for a webcam box of the default size on a 1080p export).
inline constexpr int kWebcamProxyMinCameraWidth = 1280;
// The copy's bit rate: about 0.17 bit per pixel at 640 × 360 and 30 fps, so the copy shown at
// its own size or smaller looks like the full movie scaled down.
inline constexpr std::int64_t kWebcamProxyBitRate = 1'200'000;
// libx264's preset for the copy: the cheapest one. The copy is never a user's movie, so the
// Constrained Baseline profile "ultrafast" falls to costs nothing that matters.
inline constexpr const char* kWebcamProxyPreset = "ultrafast";

// "N.webcam.mp4" → "N.webcam.small.m4v". Not an ".mp4": the library does not list it and
// recovery does not touch it (an interrupted copy stays live and is never read).
std::filesystem::path webcamProxyPath(const std::filesystem::path& webcamMovie);

struct WebcamProxy {
    std::filesystem::path path;
    int trackIndex = 0;
    int width = 0;
};

// The copy of `webcamMovie` to read instead of it when pictures `neededWidth` wide are enough:
// a finished movie whose picture is at least that wide, in the full movie's shape, as long as
// the full movie (`movieSeconds`, within a second) and not written long before it. Nothing
// otherwise. Blocking file I/O; any thread.
std::optional<WebcamProxy> usableWebcamProxy(const std::filesystem::path& webcamMovie,
                                             int movieWidth, int movieHeight,
                                             std::optional<double> movieSeconds, int neededWidth);

}  // namespace marlune
