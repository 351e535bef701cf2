#pragma once

// Synthetic pictures and sound for the movie writer's tests and the recording test program.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <numbers>
#include <vector>

#include "core/media_sample.h"

namespace marlune::test {

constexpr HostTime kSecond = 1'000'000'000;

// A BGRA picture whose content moves with `index` (a bar sweeping across a gradient), so that the
// encoder has real work and every frame differs.
inline VideoFrame syntheticFrame(int width, int height, int index, HostTime pts) {
    const int stride = width * 4;
    auto* pixels = new std::uint8_t[static_cast<std::size_t>(stride) * height];
    const int bar = (index * 7) % width;
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = pixels + static_cast<std::size_t>(y) * stride;
        for (int x = 0; x < width; ++x) {
            const bool inBar = x >= bar && x < bar + width / 16;
            row[4 * x + 0] = static_cast<std::uint8_t>(inBar ? 255 : (x * 255) / width);
            row[4 * x + 1] = static_cast<std::uint8_t>(inBar ? 255 : (y * 255) / height);
            row[4 * x + 2] = static_cast<std::uint8_t>(inBar ? 255 : ((x + y + index) & 0xff));
            row[4 * x + 3] = 255;
        }
    }
    VideoFrame f;
    f.width = width;
    f.height = height;
    f.stride = stride;
    f.pixels = std::shared_ptr<const std::uint8_t>(pixels, std::default_delete<std::uint8_t[]>());
    f.pts = pts;
    return f;
}

// `frames` samples of 48 kHz stereo: silence, or a sine of `hz` at `amplitude`.
inline AudioBuffer syntheticAudio(HostTime pts, int frames, double hz = 0, float amplitude = 0.5f,
                                  std::int64_t phase = 0) {
    AudioBuffer b;
    b.sampleRate = 48000;
    b.channels = 2;
    b.pts = pts;
    b.samples.resize(static_cast<std::size_t>(frames) * 2);
    if (hz > 0) {
        for (int i = 0; i < frames; ++i) {
            const float v =
                amplitude * static_cast<float>(std::sin(2 * std::numbers::pi * hz *
                                                        static_cast<double>(phase + i) / 48000.0));
            b.samples[static_cast<std::size_t>(2 * i)] = v;
            b.samples[static_cast<std::size_t>(2 * i + 1)] = v;
        }
    }
    return b;
}

}  // namespace marlune::test
