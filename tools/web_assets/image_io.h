#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "render/surface.h"

namespace marlune::assets {

// An 8-bit RGB picture, rows top to bottom, no padding.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // width × height × 3
};

// PNG bytes of an ARGB32 surface (cairo's encoder: non-premultiplied RGBA in the file).
std::string encodePng(const Surface& surface);

// Baseline JPEG, 4:2:0, accurate DCT. Throws std::runtime_error on failure.
std::string encodeJpeg(const RgbImage& image, int quality);

std::string base64(const std::string& bytes);

// Writes the whole file or throws std::runtime_error.
void writeBytes(const std::filesystem::path& path, const std::string& bytes);

// Blurs every channel of an ARGB32 surface in place with three box passes per direction, which
// approximates a Gaussian of the given standard deviation in pixels.
void gaussianBlur(Surface& surface, double sigma);

}  // namespace marlune::assets
