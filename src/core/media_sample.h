#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace marlune {

// The host clock: CLOCK_MONOTONIC in nanoseconds. Every captured sample (screen frames, system
// audio, microphone, camera) and every pause of a movie writer is timed on it, so that sound and
// picture of one recording, and the screen and webcam movies, can be lined up.
using HostTime = std::int64_t;

// Now on the host clock. Any thread.
HostTime hostTimeNow();

inline double hostTimeSeconds(HostTime t) { return static_cast<double>(t) / 1e9; }

// One captured picture: premultiplied BGRA (little-endian ARGB32), `stride` bytes per row.
// The pixels are shared, never written after the frame is handed on: a capture source may hand
// out pictures from a pool (the deleter of `pixels` gives the memory back), so a receiver that
// needs them longer than it takes to encode them copies them.
struct VideoFrame {
    int width = 0;
    int height = 0;
    int stride = 0;
    std::shared_ptr<const std::uint8_t> pixels;
    HostTime pts = 0;  // when the picture was taken

    bool valid() const { return width > 0 && height > 0 && stride >= width * 4 && pixels; }
};

// One buffer of captured sound: interleaved 32-bit float samples, `frames` per channel.
// `pts` is the host time of the first sample (the capture latency already taken off).
struct AudioBuffer {
    int sampleRate = 48000;
    int channels = 2;
    std::vector<float> samples;  // frames() * channels values
    HostTime pts = 0;

    int frames() const { return channels > 0 ? static_cast<int>(samples.size()) / channels : 0; }
};

}  // namespace marlune
