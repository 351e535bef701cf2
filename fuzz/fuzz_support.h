#pragma once

// What the fuzz targets share: reading the input as the program reads text from outside, a way
// to report a broken promise as a finding, and small test pictures.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "core/json.h"
#include "platform/image/bgra_image.h"

namespace marlune::fuzz {

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The input as JSON, read as the program reads JSON that comes from outside; nothing when it is
// refused.
inline std::optional<Json> outsideJson(const std::uint8_t* data, std::size_t size) {
    Json value = Json::parse(text(data, size), nullptr, false);
    if (value.is_discarded()) return std::nullopt;
    return value;
}

// A promise the code under test makes was broken: a finding, like a crash.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz: broken promise: %s\n", what);
    std::abort();
}

// An opaque picture with some structure (a gradient with a diagonal), so that scaling, blurring
// and masking have something to work on.
inline BgraImage testPicture(int width, int height) {
    BgraImage image = BgraImage::blank(width, height);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(image.row(y));
        for (int x = 0; x < width; ++x) {
            const std::uint32_t v =
                x == y ? 255u : static_cast<std::uint32_t>((x * 7 + y * 3) & 255);
            row[x] = 0xFF000000u | (v << 16) | ((255 - v) << 8) | (v / 2);
        }
    }
    return image;
}

}  // namespace marlune::fuzz
