// The camera's YUYV pictures in BGRA: BT.601 studio range, each pair of pixels sharing its
// chroma (Y0 U Y1 V), the lone last pixel of an odd row from its pair.

#include <gtest/gtest.h>

#include <vector>

#include "platform/media/yuv_reduce.h"

namespace marlune {
namespace {

TEST(CameraPicture, YuyvBecomesBt601StudioRangeBgra) {
    const int cases[][3] = {{16, 128, 128}, {235, 128, 128}, {81, 90, 240},  {145, 54, 34},
                            {41, 240, 110}, {4, 128, 128},   {150, 110, 155}};
    for (const auto& [y, u, v] : cases) {
        SCOPED_TRACE(testing::Message() << y << " " << u << " " << v);
        // Three pixels over two rows of a padded stride; the second of a pair 10 brighter.
        const int stride = 16;
        std::vector<std::uint8_t> yuyv(2 * stride, 0);
        for (int i : {0, 4, stride, stride + 4}) {
            yuyv[i] = y, yuyv[i + 1] = u, yuyv[i + 2] = y + 10, yuyv[i + 3] = v;
        }
        BgraImage out;
        yuyvToBgra(yuyv.data(), stride, 3, 2, ColourMatrix::bt601, false, out);
        ASSERT_EQ(std::pair(out.width, out.height), std::pair(3, 2));
        const double cb = (u - 128) * 255.0 / 224, cr = (v - 128) * 255.0 / 224;
        for (int x = 0; x < 3; ++x) {
            const double l = (y + x % 2 * 10 - 16) * 255.0 / 219;
            const double bgr[3] = {l + 1.772 * cb, l - 0.344136 * cb - 0.714136 * cr,
                                   l + 1.402 * cr};
            const std::uint8_t* px = out.row(1) + 4 * x;
            for (int k = 0; k < 3; ++k)
                EXPECT_NEAR(px[k], std::clamp(bgr[k], 0.0, 255.0), 1.0) << x;
            EXPECT_EQ(px[3], 255);
        }
    }
}

}  // namespace
}  // namespace marlune
