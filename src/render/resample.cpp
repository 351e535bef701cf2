#include "render/resample.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define MARLUNE_HAVE_SSSE3_PATH 1
#endif

namespace marlune {

namespace {

// Interpolation weights are sixths of a byte: a·(64 - w) + b·w stays below 2^15, which the
// vector path's byte multiply-add needs, and 1/64 pixel is finer than anything that shows.
constexpr int kOne = 64;
constexpr int kShift = 6;
constexpr int kRound = kOne / 2;

struct Tap {
    int index;   // the lower of the two source pixels
    int weight;  // weight of the upper one, 0 to kOne - 1
};

// Source pixels and weight for the continuous source position `position` on an axis of `size`
// pixels; positions past the first or last pixel centre take that pixel.
Tap tapAt(double position, int size) {
    const double s = position - 0.5;
    if (!(s > 0)) return {0, 0};  // also NaN
    if (s >= size - 1) return {size - 1, 0};
    int index = static_cast<int>(s);
    int weight = static_cast<int>(std::lround((s - index) * kOne));
    if (weight == kOne) {
        ++index;
        weight = 0;
    }
    return {index, weight};
}

// tmp = row0 + (row1 - row0) × weight, byte by byte.
void blendRows(const std::uint8_t* __restrict r0, const std::uint8_t* __restrict r1, int weight,
               std::uint8_t* __restrict out, int bytes) {
    if (weight == 0) {
        std::memcpy(out, r0, bytes);
        return;
    }
    const int w0 = kOne - weight;
    for (int i = 0; i < bytes; ++i) {
        out[i] = static_cast<std::uint8_t>((r0[i] * w0 + r1[i] * weight + kRound) >> kShift);
    }
}

// Per target pixel: byte offset of its lower source pixel in the blended row, and the weights
// (kOne - w, w) repeated for the four channels, in the order the vector path multiplies them.
struct ColumnTable {
    std::vector<std::int32_t> offsets;
    std::vector<std::uint8_t> weights;  // 8 per pixel
};

void horizontalPortable(const std::uint8_t* tmp, const ColumnTable& table, int from, int to,
                        std::uint8_t* out) {
    for (int i = from; i < to; ++i) {
        const std::uint8_t* a = tmp + table.offsets[i];
        const int w1 = table.weights[8 * i + 1];
        const int w0 = kOne - w1;
        for (int c = 0; c < 4; ++c) {
            out[4 * i + c] =
                static_cast<std::uint8_t>((a[c] * w0 + a[4 + c] * w1 + kRound) >> kShift);
        }
    }
}

#ifdef MARLUNE_HAVE_SSSE3_PATH
// Two target pixels k and k + 1: each one's two source pixels are loaded as one 8-byte pair, their
// channels interleaved, then multiplied by the weights and summed in one instruction.
__attribute__((target("ssse3"))) inline __m128i twoPixels(const std::uint8_t* tmp,
                                                          const std::int32_t* off,
                                                          const std::uint8_t* weights, int k) {
    const __m128i interleave = _mm_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
    __m128i p = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(tmp + off[k]));
    p = _mm_castpd_si128(
        _mm_loadh_pd(_mm_castsi128_pd(p), reinterpret_cast<const double*>(tmp + off[k + 1])));
    p = _mm_shuffle_epi8(p, interleave);
    const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(weights + 8 * k));
    const __m128i sum = _mm_add_epi16(_mm_maddubs_epi16(p, w), _mm_set1_epi16(kRound));
    return _mm_srli_epi16(sum, kShift);
}

// Four target pixels per step. Returns how many pixels it did (a multiple of 4); the caller
// finishes the rest.
__attribute__((target("ssse3"))) int horizontalSsse3(const std::uint8_t* tmp,
                                                     const ColumnTable& table, int count,
                                                     std::uint8_t* out) {
    const std::int32_t* off = table.offsets.data();
    const std::uint8_t* weights = table.weights.data();
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m128i lo = twoPixels(tmp, off, weights, i);
        const __m128i hi = twoPixels(tmp, off, weights, i + 2);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * i), _mm_packus_epi16(lo, hi));
    }
    return i;
}

bool haveSsse3() {
    static const bool have = __builtin_cpu_supports("ssse3");
    return have;
}
#endif

}  // namespace

void resampleBilinear(const PixelsView& source, std::uint8_t* target, int targetStride, int x0,
                      int y0, int x1, int y1, const ResampleMap& map) {
    if (x1 <= x0 || y1 <= y0 || !source.data || source.width <= 0 || source.height <= 0) return;
    const int count = x1 - x0;

    // Columns: every target column's taps, and the source columns they reach.
    std::vector<Tap> taps(count);
    for (int i = 0; i < count; ++i) {
        taps[i] = tapAt((x0 + i + 0.5) * map.scaleX + map.offsetX, source.width);
    }
    const int first = std::min_element(taps.begin(), taps.end(), [](Tap a, Tap b) {
                          return a.index < b.index;
                      })->index;
    // Every tap reads its pixel and the next one. The blended row holds source columns
    // first..last and, after them, a copy of the last one for the tap that sits on the right edge.
    const int lastTap = std::max_element(taps.begin(), taps.end(), [](Tap a, Tap b) {
                            return a.index < b.index;
                        })->index;
    const int last = std::min(lastTap + 1, source.width - 1);
    const int span = last - first + 1;
    std::vector<std::uint8_t> tmp(static_cast<std::size_t>(span + 1) * 4 + 16);
    ColumnTable table;
    table.offsets.resize(count);
    table.weights.resize(static_cast<std::size_t>(count) * 8);
    bool shiftOnly = true;  // whole-pixel shift: each row is a plain copy of a source row stretch
    for (int i = 0; i < count; ++i) {
        table.offsets[i] = 4 * (taps[i].index - first);
        const auto w = static_cast<std::uint8_t>(taps[i].weight);
        for (int c = 0; c < 4; ++c) {
            table.weights[8 * i + 2 * c] = static_cast<std::uint8_t>(kOne - w);
            table.weights[8 * i + 2 * c + 1] = w;
        }
        shiftOnly = shiftOnly && w == 0 && taps[i].index == first + i;
    }

    auto horizontal = [&](const std::uint8_t* blended, std::uint8_t* out) {
        int done = 0;
#ifdef MARLUNE_HAVE_SSSE3_PATH
        if (haveSsse3()) done = horizontalSsse3(blended, table, count, out);
#endif
        horizontalPortable(blended, table, done, count, out);
    };
    auto sourceRow = [&](int index) {
        return source.data + static_cast<std::size_t>(index) * source.stride + 4 * first;
    };
    // The source stretch of a row with its right edge pixel repeated once.
    auto padded = [&](const std::uint8_t* row) {
        std::memcpy(tmp.data(), row, static_cast<std::size_t>(span) * 4);
        std::memcpy(tmp.data() + span * 4, tmp.data() + (span - 1) * 4, 4);
        return tmp.data();
    };

    if (map.scaleY >= 1 || shiftOnly) {
        // Shrinking (or shifting): blend the two source rows, then resample along the row.
        Tap previous{-1, -1};
        for (int y = y0; y < y1; ++y) {
            std::uint8_t* out = target + static_cast<std::size_t>(y) * targetStride + 4 * x0;
            const Tap ty = tapAt((y + 0.5) * map.scaleY + map.offsetY, source.height);
            if (shiftOnly && ty.weight == 0) {
                std::memcpy(out, sourceRow(ty.index), static_cast<std::size_t>(count) * 4);
                continue;
            }
            if (ty.index != previous.index || ty.weight != previous.weight) {
                const int next = std::min(ty.index + 1, source.height - 1);
                blendRows(sourceRow(ty.index), sourceRow(next), ty.weight, tmp.data(), span * 4);
                std::memcpy(tmp.data() + span * 4, tmp.data() + (span - 1) * 4, 4);
                previous = ty;
            }
            horizontal(tmp.data(), out);
        }
        return;
    }

    // Enlarging: each source row is resampled along x once and kept while the target rows between
    // it and the next one are blended from the pair; this does the costly pass on fewer rows.
    std::vector<std::uint8_t> rows[2];
    int rowIndex[2] = {-1, -1};
    auto resampled = [&](int index, int avoidSlot) -> int {
        for (int k = 0; k < 2; ++k) {
            if (rowIndex[k] == index) return k;
        }
        const int slot = avoidSlot == 0              ? 1
                         : avoidSlot == 1            ? 0
                         : rowIndex[0] < rowIndex[1] ? 0
                                                     : 1;
        rows[slot].resize(static_cast<std::size_t>(count) * 4);
        horizontal(padded(sourceRow(index)), rows[slot].data());
        rowIndex[slot] = index;
        return slot;
    };
    for (int y = y0; y < y1; ++y) {
        std::uint8_t* out = target + static_cast<std::size_t>(y) * targetStride + 4 * x0;
        const Tap ty = tapAt((y + 0.5) * map.scaleY + map.offsetY, source.height);
        const int a = resampled(ty.index, -1);
        if (ty.weight == 0) {
            std::memcpy(out, rows[a].data(), static_cast<std::size_t>(count) * 4);
            continue;
        }
        const int b = resampled(std::min(ty.index + 1, source.height - 1), a);
        blendRows(rows[a].data(), rows[b].data(), ty.weight, out, count * 4);
    }
}

void halve(const PixelsView& source, const PixelsRef& target) {
    const int w = std::min(target.width, source.width / 2);
    const int h = std::min(target.height, source.height / 2);
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* a = source.data + std::size_t(2 * y) * source.stride;
        const std::uint8_t* b = a + source.stride;
        std::uint8_t* out = target.data + std::size_t(y) * target.stride;
        for (int x = 0; x < w; ++x) {
            for (int c = 0; c < 4; ++c) {
                const int j = x * 8 + c;
                out[x * 4 + c] =
                    static_cast<std::uint8_t>((a[j] + a[j + 4] + b[j] + b[j + 4] + 2) >> 2);
            }
        }
    }
}

void FrameScaler::scale(const PixelsView& source, const PixelsRef& target) {
    PixelsView from = source;
    int next = 0;
    while (from.width >= 2 * target.width && from.height >= 2 * target.height) {
        PixelsRef half{nullptr, from.width / 2, from.height / 2, (from.width / 2) * 4};
        auto& buffer = scratch_[next];
        buffer.resize(std::size_t(half.stride) * half.height);
        half.data = buffer.data();
        halve(from, half);
        from = PixelsView{half.data, half.width, half.height, half.stride};
        next ^= 1;
    }
    ResampleMap map;
    map.scaleX = double(from.width) / target.width;
    map.scaleY = double(from.height) / target.height;
    resampleBilinear(from, target.data, target.stride, 0, 0, target.width, target.height, map);
}

const BgraImage& FrameScaler::fitted(const BgraImage& source, PixelSize size) {
    if (source.width == size.width && source.height == size.height) return source;
    if (fitted_.width != size.width || fitted_.height != size.height) {
        fitted_ = BgraImage::blank(size.width, size.height);
    }
    scale({source.pixels.data(), source.width, source.height, source.stride},
          {fitted_.pixels.data(), fitted_.width, fitted_.height, fitted_.stride});
    return fitted_;
}

}  // namespace marlune
