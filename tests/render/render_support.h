#pragma once

// Helpers shared by the render tests. Header-only.

#include <cairo.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "platform/image/bgra_image.h"
#include "render/surface.h"
#include "support/ffmpeg_tool.h"

namespace marlune::test {

// The page's folder in the source tree (wallpapers, live backgrounds, cursor packs).
inline std::filesystem::path sourceWebRoot() {
    return std::filesystem::path(MARLUNE_SOURCE_DIR) / "web";
}

// 0xAARRGGBB of a pixel of an ARGB32 surface (premultiplied, as stored).
inline std::uint32_t surfacePixel(const Surface& s, int x, int y) {
    cairo_surface_flush(s.get());
    std::uint32_t p;
    std::memcpy(&p,
                cairo_image_surface_get_data(s.get()) +
                    static_cast<std::size_t>(y) * cairo_image_surface_get_stride(s.get()) + 4 * x,
                4);
    return p;
}

// An opaque picture of one colour (0xRRGGBB).
inline BgraImage solid(int w, int h, std::uint32_t rgb) {
    BgraImage image = BgraImage::blank(w, h);
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(image.row(y));
        std::fill(row, row + w, 0xff000000u | rgb);
    }
    return image;
}

// The largest difference of two pixels' channels.
inline int channelDistance(std::uint32_t a, std::uint32_t b) {
    int d = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        d = std::max(d, std::abs(int(a >> shift & 255) - int(b >> shift & 255)));
    }
    return d;
}

// `ffmpeg` with the arguments of a command line written out, split at spaces (no argument of
// these tests holds one).
inline bool ffmpegLine(const std::string& line, const std::filesystem::path& output) {
    std::vector<std::string> args;
    std::istringstream words(line);
    for (std::string word; words >> word;) args.push_back(word);
    args.push_back(output.string());
    return ffmpeg(args);
}

}  // namespace marlune::test
