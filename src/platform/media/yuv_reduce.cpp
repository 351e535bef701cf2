#include "platform/media/yuv_reduce.h"

#include <algorithm>
#include <vector>

#include "platform/media/pixel_loop.h"

namespace marlune {

namespace {

// Fixed-point (16 fractional bits) factors of the conversion to RGB: R = Y' + rv·V',
// G = Y' - gu·U' - gv·V', B = Y' + bu·U', with Y', U', V' scaled to the full 0–255 range.
struct ToRgb {
    std::int32_t yScale, yOffset;  // Y' = (Y · yScale + yOffset) >> 16, in 1/256 steps… see below
    std::int32_t cScale;
    std::int32_t rv, gu, gv, bu;
};

constexpr std::int32_t fixed(double v) {
    return static_cast<std::int32_t>(v * 65536.0 + (v < 0 ? -0.5 : 0.5));
}

ToRgb toRgb(ColourMatrix matrix, bool fullRange) {
    const double kr = matrix == ColourMatrix::bt709 ? 0.2126 : 0.299;
    const double kb = matrix == ColourMatrix::bt709 ? 0.0722 : 0.114;
    const double kg = 1.0 - kr - kb;
    const double ys = fullRange ? 1.0 : 255.0 / 219.0;
    const double cs = fullRange ? 1.0 : 255.0 / 224.0;
    return {
        fixed(ys),           fixed(-(fullRange ? 0.0 : 16.0) * ys), fixed(cs),
        fixed(2 * (1 - kr)), fixed(2 * (1 - kb) * kb / kg),         fixed(2 * (1 - kr) * kr / kg),
        fixed(2 * (1 - kb))};
}

// Adds `rows` rows of `n` samples into `sums`.
MARLUNE_PIXEL_LOOP void sumRows(const std::uint8_t* first, int stride, int rows, int n,
                                std::uint32_t* __restrict sums) {
    for (int x = 0; x < n; ++x) sums[x] = first[x];
    for (int r = 1; r < rows; ++r) {
        const std::uint8_t* __restrict row = first + static_cast<std::ptrdiff_t>(r) * stride;
        for (int x = 0; x < n; ++x) sums[x] += row[x];
    }
}

// The means of each run of F sums (f when F is 0).
template <int F>
void lumaMeans(const std::uint32_t* __restrict sums, int n, std::uint32_t recip,
               std::int32_t* __restrict means, int f = F) {
    const int k = F > 0 ? F : f;
    for (int x = 0; x < n; ++x) {
        std::uint32_t s = 0;
        for (int i = 0; i < k; ++i) s += sums[x * k + i];
        means[x] = static_cast<std::int32_t>((s * recip + 32768) >> 16);
    }
}

std::int32_t clampByte(std::int32_t v) {
    return v < 0 ? 0 : v > 255 ? 255 : v;
}

// One output row from its blocks' means (y, u, v: 0–255 each).
MARLUNE_PIXEL_LOOP void rgbRow(const std::int32_t* __restrict y, const std::int32_t* __restrict u,
                               const std::int32_t* __restrict v, std::uint32_t* __restrict out,
                               int n, ToRgb c) {
    for (int x = 0; x < n; ++x) {
        const std::int32_t l = y[x] * c.yScale + c.yOffset;      // 16 fractional bits
        const std::int32_t cb = ((u[x] - 128) * c.cScale) >> 8;  // 8 fractional bits
        const std::int32_t cr = ((v[x] - 128) * c.cScale) >> 8;
        const std::int32_t r = clampByte((l + cr * (c.rv >> 8) + (1 << 15)) >> 16);
        const std::int32_t g =
            clampByte((l - cb * (c.gu >> 8) - cr * (c.gv >> 8) + (1 << 15)) >> 16);
        const std::int32_t b = clampByte((l + cb * (c.bu >> 8) + (1 << 15)) >> 16);
        out[x] = 0xFF000000u | static_cast<std::uint32_t>(r << 16) |
                 static_cast<std::uint32_t>(g << 8) | static_cast<std::uint32_t>(b);
    }
}

// One row of packed 4:2:2 (Y0 U Y1 V per pair of pixels) spread into a luma and a chroma value
// for every pixel, each pair sharing its chroma.
MARLUNE_PIXEL_LOOP void unpackYuyv(const std::uint8_t* __restrict in, int pairs,
                                   std::int32_t* __restrict y, std::int32_t* __restrict u,
                                   std::int32_t* __restrict v) {
    for (int p = 0; p < pairs; ++p) {
        y[2 * p] = in[4 * p];
        y[2 * p + 1] = in[4 * p + 2];
        u[2 * p] = u[2 * p + 1] = in[4 * p + 1];
        v[2 * p] = v[2 * p + 1] = in[4 * p + 3];
    }
}

}  // namespace

void yuyvToBgra(const std::uint8_t* in, int stride, int width, int height, ColourMatrix matrix,
                bool fullRange, BgraImage& into) {
    if (into.width != width || into.height != height || into.pixels.empty()) {
        into = BgraImage::blank(width, height);
    }
    const int pairs = (width + 1) / 2;
    std::vector<std::int32_t> ys(2 * pairs), us(2 * pairs), vs(2 * pairs);
    const ToRgb c = toRgb(matrix, fullRange);
    for (int row = 0; row < height; ++row) {
        unpackYuyv(in + static_cast<std::ptrdiff_t>(row) * stride, pairs, ys.data(), us.data(),
                   vs.data());
        rgbRow(ys.data(), us.data(), vs.data(), reinterpret_cast<std::uint32_t*>(into.row(row)),
               width, c);
    }
}

void reduceYuv420ToBgra(const ConstYuvPlanes& in, int width, int height, int factor,
                        ColourMatrix matrix, bool fullRange, BgraImage& into) {
    const int f = std::clamp(factor, 1, std::max(1, std::min(width, height)));
    const int ow = std::max(1, width / f), oh = std::max(1, height / f);
    if (into.width != ow || into.height != oh || into.pixels.empty()) {
        into = BgraImage::blank(ow, oh);
    }
    const int cw = (width + 1) / 2, ch = (height + 1) / 2;
    const int used = ow * f;  // luma columns that fall in a block

    // The chroma columns under each output column's block, [first, last], and the reciprocal
    // (16 fractional bits) of the luma block's area.
    std::vector<int> cFirst(ow), cCount(ow);
    for (int ox = 0; ox < ow; ++ox) {
        cFirst[ox] = std::min(ox * f / 2, cw - 1);
        cCount[ox] = std::min((ox * f + f - 1) / 2, cw - 1) - cFirst[ox] + 1;
    }
    const std::uint32_t lumaRecip = (65536u + f * f / 2) / (f * f);
    // Reciprocals of the chroma blocks' sizes: a block of f × f luma samples lies over at most
    // f / 2 + 1 chroma samples each way.
    const int most = (f / 2 + 1) * (f / 2 + 1);
    std::vector<std::uint32_t> chromaRecip(most + 1, 0);
    for (int a = 1; a <= most; ++a) chromaRecip[a] = (65536u + a / 2) / a;
    std::vector<std::uint32_t> ySums(used), uSums(cw), vSums(cw);
    std::vector<std::int32_t> ys(ow), us(ow), vs(ow);
    const ToRgb c = toRgb(matrix, fullRange);

    for (int oy = 0; oy < oh; ++oy) {
        sumRows(in.y + static_cast<std::ptrdiff_t>(oy) * f * in.yStride, in.yStride, f, used,
                ySums.data());
        const int r0 = std::min(oy * f / 2, ch - 1);
        const int cRows = std::min((oy * f + f - 1) / 2, ch - 1) - r0 + 1;
        sumRows(in.u + static_cast<std::ptrdiff_t>(r0) * in.uStride, in.uStride, cRows, cw,
                uSums.data());
        sumRows(in.v + static_cast<std::ptrdiff_t>(r0) * in.vStride, in.vStride, cRows, cw,
                vSums.data());
        switch (f) {  // the usual factors with their loops unrolled
            case 2:
                lumaMeans<2>(ySums.data(), ow, lumaRecip, ys.data());
                break;
            case 3:
                lumaMeans<3>(ySums.data(), ow, lumaRecip, ys.data());
                break;
            case 4:
                lumaMeans<4>(ySums.data(), ow, lumaRecip, ys.data());
                break;
            default:
                lumaMeans<0>(ySums.data(), ow, lumaRecip, ys.data(), f);
                break;
        }
        for (int ox = 0; ox < ow; ++ox) {
            std::uint32_t su = 0, sv = 0;
            for (int k = 0; k < cCount[ox]; ++k) {
                su += uSums[cFirst[ox] + k];
                sv += vSums[cFirst[ox] + k];
            }
            const std::uint32_t recip = chromaRecip[cRows * cCount[ox]];
            us[ox] = static_cast<std::int32_t>((su * recip + 32768) >> 16);
            vs[ox] = static_cast<std::int32_t>((sv * recip + 32768) >> 16);
        }
        rgbRow(ys.data(), us.data(), vs.data(), reinterpret_cast<std::uint32_t*>(into.row(oy)), ow,
               c);
    }
}

}  // namespace marlune
