#include "render/blur.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace marlune {

namespace {

// Above this sigma three box blurs replace the exact kernel: their cost does not grow with the
// radius, and at this size the difference does not show.
constexpr double kExactKernelMaxSigma = 3.0;

// Working memory kept per thread between blurs: the composer blurs a cursor on every frame, and
// buffers of this size would otherwise be mapped and faulted in afresh each time.
std::vector<float>& scratch(int which) {
    thread_local std::vector<float> buffers[3];
    return buffers[which];
}

// The pixels of a surface as interleaved floats, `channels` per pixel.
struct Planes {
    int width = 0;
    int height = 0;
    int channels = 0;
    std::vector<float> values;

    float* row(int y) { return values.data() + static_cast<std::size_t>(y) * width * channels; }
};

int channelsOf(const Surface& image) {
    if (!image) return 0;
    switch (cairo_image_surface_get_format(image.get())) {
        case CAIRO_FORMAT_ARGB32:
            return 4;
        case CAIRO_FORMAT_A8:
            return 1;
        default:
            return 0;
    }
}

Planes load(const Surface& image, int channels) {
    cairo_surface_flush(image.get());
    Planes p{image.width(), image.height(), channels, std::move(scratch(0))};
    p.values.resize(static_cast<std::size_t>(p.width) * p.height * channels);
    const unsigned char* data = cairo_image_surface_get_data(image.get());
    const int stride = cairo_image_surface_get_stride(image.get());
    const int n = p.width * channels;
    for (int y = 0; y < p.height; ++y) {
        const unsigned char* in = data + static_cast<std::size_t>(y) * stride;
        float* out = p.row(y);
        for (int i = 0; i < n; ++i) out[i] = in[i];
    }
    return p;
}

void store(Planes& p, Surface& image) {
    unsigned char* data = cairo_image_surface_get_data(image.get());
    const int stride = cairo_image_surface_get_stride(image.get());
    const int n = p.width * p.channels;
    for (int y = 0; y < p.height; ++y) {
        unsigned char* out = data + static_cast<std::size_t>(y) * stride;
        const float* in = p.row(y);
        for (int i = 0; i < n; ++i) {
            out[i] = static_cast<unsigned char>(std::clamp(in[i] + 0.5f, 0.0f, 255.0f));
        }
        if (p.channels == 4) {
            // Rounding must not leave a colour above its alpha (premultiplied).
            for (int x = 0; x < p.width; ++x) {
                unsigned char* px = out + 4 * x;
                for (int c = 0; c < 3; ++c) px[c] = std::min(px[c], px[3]);
            }
        }
    }
    cairo_surface_mark_dirty(image.get());
    scratch(0) = std::move(p.values);
}

// Convolution along rows with `kernel` (odd length, centred), zero beyond the ends. Each tap adds
// a shifted copy of the row, so the inner loop runs over contiguous memory.
void convolveRows(Planes& p, const std::vector<float>& kernel) {
    const int r = static_cast<int>(kernel.size() / 2);
    const int c = p.channels;
    const int n = p.width * c;
    std::vector<float>& line = scratch(2);
    line.assign(static_cast<std::size_t>(p.width + 2 * r) * c, 0.0f);
    for (int y = 0; y < p.height; ++y) {
        float* __restrict row = p.row(y);
        std::copy(row, row + n, line.begin() + r * c);
        std::fill(row, row + n, 0.0f);
        for (std::size_t k = 0; k < kernel.size(); ++k) {
            const float w = kernel[k];
            const float* __restrict in = line.data() + k * c;
            for (int i = 0; i < n; ++i) row[i] += w * in[i];
        }
    }
}

// Convolution along columns, one whole row at a time so that memory is read in order.
void convolveColumns(Planes& p, const std::vector<float>& kernel) {
    const int r = static_cast<int>(kernel.size() / 2);
    const int n = p.width * p.channels;
    std::vector<float>& out = scratch(1);
    out.assign(p.values.size(), 0.0f);
    for (int y = 0; y < p.height; ++y) {
        float* __restrict dst = out.data() + static_cast<std::size_t>(y) * n;
        for (int k = -r; k <= r; ++k) {
            const int sy = y + k;
            if (sy < 0 || sy >= p.height) continue;
            const float w = kernel[k + r];
            const float* __restrict src = p.row(sy);
            for (int i = 0; i < n; ++i) dst[i] += w * src[i];
        }
    }
    p.values.swap(out);
}

// Mean over [x - r - 1, x + r + 1] along rows, the two outer pixels weighted by `fraction`: a
// running sum per channel over a zero-padded copy of the row.
template <int C>
void boxRows(Planes& p, int r, float fraction) {
    const int w = p.width;
    const float inv = 1.0f / (2 * r + 1 + 2 * fraction);
    const int pad = r + 2;
    std::vector<float>& line = scratch(2);
    line.assign(static_cast<std::size_t>(w + 2 * pad) * C, 0.0f);
    for (int y = 0; y < p.height; ++y) {
        float* __restrict row = p.row(y);
        std::copy(row, row + w * C, line.begin() + pad * C);
        const float* in = line.data() + pad * C;  // in[-pad * C] .. in[(w + pad) * C) readable
        float acc[C] = {};
        for (int x = -r; x <= r; ++x) {
            for (int ch = 0; ch < C; ++ch) acc[ch] += in[x * C + ch];
        }
        for (int x = 0; x < w; ++x) {
            const float* lo = in + (x - r - 1) * C;
            const float* hi = in + (x + r + 1) * C;
            const float* out = in + (x - r) * C;
            for (int ch = 0; ch < C; ++ch) {
                row[x * C + ch] = (acc[ch] + fraction * (lo[ch] + hi[ch])) * inv;
                acc[ch] += hi[ch] - out[ch];
            }
        }
    }
}

void boxRows(Planes& p, int r, float fraction) {
    if (p.channels == 4) {
        boxRows<4>(p, r, fraction);
    } else {
        boxRows<1>(p, r, fraction);
    }
}

// Mean over [y - r, y + r] along columns, with a running sum of whole rows.
void boxColumns(Planes& p, int r) {
    const int n = p.width * p.channels;
    const float inv = 1.0f / (2 * r + 1);
    std::vector<float>& acc = scratch(2);
    acc.assign(n, 0.0f);
    std::vector<float>& out = scratch(1);
    out.resize(p.values.size());
    float* __restrict sum = acc.data();
    for (int y = 0; y <= r && y < p.height; ++y) {
        const float* __restrict src = p.row(y);
        for (int i = 0; i < n; ++i) sum[i] += src[i];
    }
    for (int y = 0; y < p.height; ++y) {
        float* __restrict dst = out.data() + static_cast<std::size_t>(y) * n;
        for (int i = 0; i < n; ++i) dst[i] = sum[i] * inv;
        if (y + r + 1 < p.height) {
            const float* __restrict add = p.row(y + r + 1);
            for (int i = 0; i < n; ++i) sum[i] += add[i];
        }
        if (y - r >= 0) {
            const float* __restrict sub = p.row(y - r);
            for (int i = 0; i < n; ++i) sum[i] -= sub[i];
        }
    }
    p.values.swap(out);
}

std::vector<float> gaussianKernel(double sigma) {
    const int r = std::max(1, static_cast<int>(std::ceil(3 * sigma)));
    std::vector<float> k(2 * r + 1);
    double sum = 0;
    for (int i = -r; i <= r; ++i)
        sum += k[i + r] = static_cast<float>(std::exp(-0.5 * i * i / (sigma * sigma)));
    for (float& v : k) v = static_cast<float>(v / sum);
    return k;
}

// Radii of three successive box blurs whose combined variance is sigma² (widths wl or wl + 2).
std::vector<int> boxRadiiForGaussian(double sigma) {
    constexpr int n = 3;
    const double ideal = std::sqrt(12 * sigma * sigma / n + 1);
    int wl = static_cast<int>(std::floor(ideal));
    if (wl % 2 == 0) --wl;
    const int wu = wl + 2;
    const double mIdeal =
        (12 * sigma * sigma - n * wl * wl - 4.0 * n * wl - 3.0 * n) / (-4.0 * wl - 4);
    const int m = static_cast<int>(std::lround(mIdeal));
    std::vector<int> radii;
    for (int i = 0; i < n; ++i) radii.push_back(((i < m ? wl : wu) - 1) / 2);
    return radii;
}

}  // namespace

namespace {

void gaussianBlur(Planes& p, double sigma) {
    if (!(sigma >= 0.05)) return;
    if (sigma <= kExactKernelMaxSigma) {
        auto kernel = gaussianKernel(sigma);
        convolveRows(p, kernel);
        convolveColumns(p, kernel);
    } else {
        for (int r : boxRadiiForGaussian(sigma)) {
            boxRows(p, r, 0);
            boxColumns(p, r);
        }
    }
}

}  // namespace

void gaussianBlur(Surface& image, double sigma) {
    const int channels = channelsOf(image);
    if (!channels || !(sigma >= 0.05)) return;
    Planes p = load(image, channels);
    gaussianBlur(p, sigma);
    store(p, image);
}

void horizontalMotionBlur(Surface& image, double radius, double sigma) {
    const int channels = channelsOf(image);
    if (!channels || !(radius > 0) || !std::isfinite(radius)) return;
    Planes p = load(image, channels);
    const int r = static_cast<int>(std::min(radius, 1e5));
    boxRows(p, r, static_cast<float>(std::min(radius, 1e5) - r));
    gaussianBlur(p, sigma);
    store(p, image);
}

}  // namespace marlune
