#include "image_io.h"

#include <glib.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace marlune::assets {

std::string encodePng(const Surface& surface) {
    std::string bytes;
    auto write = [](void* closure, const unsigned char* data, unsigned int length) {
        static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
        return CAIRO_STATUS_SUCCESS;
    };
    cairo_surface_flush(surface.get());
    if (cairo_surface_write_to_png_stream(surface.get(), write, &bytes) != CAIRO_STATUS_SUCCESS) {
        throw std::runtime_error("PNG encoding failed");
    }
    return bytes;
}

std::string encodeJpeg(const RgbImage& image, int quality) {
    tjhandle handle = tjInitCompress();
    if (!handle) throw std::runtime_error("turbojpeg: cannot initialise");
    unsigned char* out = nullptr;
    unsigned long size = 0;
    int rc = tjCompress2(handle, image.pixels.data(), image.width, image.width * 3, image.height,
                         TJPF_RGB, &out, &size, TJSAMP_420, quality, TJFLAG_ACCURATEDCT);
    std::string error = rc == 0 ? "" : tjGetErrorStr2(handle);
    std::string bytes = rc == 0 ? std::string(reinterpret_cast<char*>(out), size) : "";
    tjFree(out);
    tjDestroy(handle);
    if (rc != 0) throw std::runtime_error("turbojpeg: " + error);
    return bytes;
}

std::string base64(const std::string& bytes) {
    gchar* text = g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
    std::string out(text);
    g_free(text);
    return out;
}

void writeBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

namespace {

// One box pass of radius r along a line of n samples spaced `step` floats apart, 4 channels each.
void boxLine(float* data, int n, int step, int r, std::vector<float>& scratch) {
    scratch.assign(static_cast<std::size_t>(n) * 4, 0.f);
    float sum[4] = {0, 0, 0, 0};
    auto at = [&](int i) -> const float* { return data + static_cast<std::ptrdiff_t>(i) * step; };
    // Samples outside the line count as transparent.
    for (int i = 0; i <= std::min(r, n - 1); ++i)
        for (int c = 0; c < 4; ++c) sum[c] += at(i)[c];
    float norm = 1.f / (2 * r + 1);
    for (int i = 0; i < n; ++i) {
        for (int c = 0; c < 4; ++c) scratch[i * 4 + c] = sum[c] * norm;
        int add = i + r + 1;
        int drop = i - r;
        if (add < n)
            for (int c = 0; c < 4; ++c) sum[c] += at(add)[c];
        if (drop >= 0)
            for (int c = 0; c < 4; ++c) sum[c] -= at(drop)[c];
    }
    for (int i = 0; i < n; ++i)
        std::memcpy(data + static_cast<std::ptrdiff_t>(i) * step, &scratch[i * 4], 16);
}

}  // namespace

void gaussianBlur(Surface& surface, double sigma) {
    if (sigma <= 0.2) return;
    cairo_surface_flush(surface.get());
    const int w = surface.width();
    const int h = surface.height();
    const int stride = cairo_image_surface_get_stride(surface.get());
    unsigned char* bytes = cairo_image_surface_get_data(surface.get());
    std::vector<float> data(static_cast<std::size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 4; ++c) data[(y * w + x) * 4 + c] = bytes[y * stride + x * 4 + c];

    // Three box passes of width 2r + 1 have variance 3 × ((2r + 1)² − 1) / 12 = r (r + 1).
    int r = std::max(1, static_cast<int>(std::lround((std::sqrt(1 + 4 * sigma * sigma) - 1) / 2)));
    std::vector<float> scratch;
    for (int pass = 0; pass < 3; ++pass) {
        for (int y = 0; y < h; ++y)
            boxLine(&data[static_cast<std::size_t>(y) * w * 4], w, 4, r, scratch);
        for (int x = 0; x < w; ++x)
            boxLine(&data[static_cast<std::size_t>(x) * 4], h, w * 4, r, scratch);
    }
    // Premultiplied colour never exceeds alpha; rounding must not make it.
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float* p = &data[(y * w + x) * 4];
            unsigned char* out = bytes + y * stride + x * 4;
            long alpha = std::lround(std::clamp(p[3], 0.f, 255.f));
            out[3] = static_cast<unsigned char>(alpha);
            for (int c = 0; c < 3; ++c)
                out[c] = static_cast<unsigned char>(
                    std::min(std::lround(std::clamp(p[c], 0.f, 255.f)), alpha));
        }
    cairo_surface_mark_dirty(surface.get());
}

}  // namespace marlune::assets
