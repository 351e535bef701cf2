// The camera's YUYV pictures turned into BGRA: BT.601 studio range, each pair of pixels sharing
// its chroma, the last pixel of an odd row from its pair.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "platform/media/yuv_reduce.h"

namespace marlune {
namespace {

TEST(CameraPicture, YuyvBecomesBt601StudioRangeBgra) {
    struct Case {
        const char* label;
        int y, u, v;
    };
    const Case cases[] = {
        {"black", 16, 128, 128},      {"white", 235, 128, 128}, {"grey", 126, 128, 128},
        {"red", 81, 90, 240},         {"green", 145, 54, 34},   {"blue", 41, 240, 110},
        {"below black", 4, 128, 128}, {"skin", 150, 110, 155},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        // Three pixels (an odd width): the first pair and a lone last pixel, over two rows with
        // a padded stride; the second pixel of each pair brighter, to tell Y0 from Y1.
        const int width = 3, height = 2, stride = 16;
        std::vector<std::uint8_t> yuyv(stride * height, 0);
        for (int row = 0; row < height; ++row) {
            for (int pair = 0; pair < 2; ++pair) {
                std::uint8_t* p = &yuyv[row * stride + 4 * pair];
                p[0] = c.y, p[1] = c.u, p[2] = c.y + 10, p[3] = c.v;
            }
        }
        BgraImage out;
        yuyvToBgra(yuyv.data(), stride, width, height, ColourMatrix::bt601, false, out);
        ASSERT_EQ(std::pair(out.width, out.height), std::pair(width, height));
        for (int x = 0; x < width; ++x) {
            const double l = (c.y + (x % 2) * 10 - 16) * 255.0 / 219;
            const double cb = (c.u - 128) * 255.0 / 224, cr = (c.v - 128) * 255.0 / 224;
            const double want[3] = {l + 1.772 * cb, l - 0.344136 * cb - 0.714136 * cr,
                                    l + 1.402 * cr};  // B, G, R
            const std::uint8_t* px = out.row(1) + 4 * x;
            for (int k = 0; k < 3; ++k) {
                EXPECT_NEAR(px[k], std::clamp(want[k], 0.0, 255.0), 1.0)
                    << "pixel " << x << " " << k;
            }
            EXPECT_EQ(px[3], 255);
        }
    }
}

}  // namespace
}  // namespace marlune
