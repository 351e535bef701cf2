// The touch-ups a captured frame gets: windows left out, the cursor drawn, a window fitted.

#include "recording/capture_pixels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace marlune {
namespace {

struct Canvas {
    int width, height, stride;
    std::vector<std::uint8_t> bytes;
    Canvas(int w, int h, std::uint32_t argb, int padding = 8)
        : width(w), height(h), stride(w * 4 + padding), bytes(std::size_t(stride) * h, 0xee) {
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) set(x, y, argb);
        }
    }
    PixelsRef ref() { return PixelsRef{bytes.data(), width, height, stride}; }
    std::uint32_t at(int x, int y) const {
        const std::uint8_t* p = bytes.data() + std::size_t(y) * stride + x * 4;
        return std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 |
               p[0];
    }
    void set(int x, int y, std::uint32_t argb) {
        std::uint8_t* p = bytes.data() + std::size_t(y) * stride + x * 4;
        p[0] = argb & 0xff;
        p[1] = (argb >> 8) & 0xff;
        p[2] = (argb >> 16) & 0xff;
        p[3] = argb >> 24;
    }
    // The bytes between rows that are not pixels.
    bool paddingUntouched() const {
        for (int y = 0; y < height; ++y) {
            for (int i = width * 4; i < stride; ++i) {
                if (bytes[std::size_t(y) * stride + i] != 0xee) return false;
            }
        }
        return true;
    }
};

TEST(CapturePixels, FillIsClippedToThePicture) {
    struct Case {
        PixelRect rect;
        int painted;
    };
    const Case cases[] = {
        {{2, 2, 3, 3}, 9},         {{-5, -5, 7, 7}, 4},  // only the corner that overlaps
        {{8, 6, 100, 100}, 2 * 2},                       // past the right and bottom edges
        {{20, 0, 5, 5}, 0},                              // beside the picture
        {{0, 0, 0, 5}, 0},         {{-2147483647, 0, 2147483647, 8}, 0},  // does not overflow
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.rect.x << "," << c.rect.y << " " << c.rect.width << "x" << c.rect.height);
        Canvas canvas(10, 8, 0xff336699);
        fillRect(canvas.ref(), c.rect, kOpaqueBlack);
        int painted = 0;
        for (int y = 0; y < canvas.height; ++y) {
            for (int x = 0; x < canvas.width; ++x) painted += canvas.at(x, y) == kOpaqueBlack;
        }
        EXPECT_EQ(painted, c.painted);
        EXPECT_TRUE(canvas.paddingUntouched());
    }
}

TEST(CapturePixels, CursorAtTheEdgesIsClipped) {
    // The hot spot can sit at the screen's corner with most of the picture outside.
    for (auto [x, y, inside] : {std::tuple{-15, -15, 1}, {9, 7, 1}, {-16, 0, 0}, {10, 0, 0}}) {
        SCOPED_TRACE(::testing::Message() << x << "," << y);
        Canvas canvas(10, 8, 0xffffffff);
        BgraImage cursor = BgraImage::blank(16, 16);
        for (int row = 0; row < 16; ++row) {
            std::fill_n(reinterpret_cast<std::uint32_t*>(cursor.row(row)), 16, 0xff000000u);
        }
        drawOver(canvas.ref(), cursor, x, y);
        int covered = 0;
        for (int py = 0; py < canvas.height; ++py) {
            for (int px = 0; px < canvas.width; ++px) covered += canvas.at(px, py) == 0xff000000;
        }
        EXPECT_EQ(covered, inside);
        EXPECT_TRUE(canvas.paddingUntouched());
    }
}

TEST(CapturePixels, ScalingDownAveragesFineDetail) {
    // One-pixel stripes (text, thin lines) scaled to a third or less come out as their mean
    // grey; a plain bilinear pick would show pure black or white from one row to the next.
    for (auto [w, h, tw, th] :
         {std::tuple{1920, 1080, 640, 360}, {3840, 2160, 1280, 720}, {1920, 1080, 960, 540}}) {
        SCOPED_TRACE(::testing::Message() << w << "x" << h << " to " << tw << "x" << th);
        Canvas source(w, h, 0xff000000);
        for (int y = 0; y < h; y += 2) {
            for (int x = 0; x < w; ++x) source.set(x, y, 0xffffffff);
        }
        Canvas target(tw, th, 0);
        FrameScaler scaler;
        scaler.scale(PixelsView{source.bytes.data(), w, h, source.stride}, target.ref());
        for (auto [x, y] : {std::pair{0, 0}, {tw / 2, th / 2}, {tw - 1, th - 1}, {5, 7}}) {
            std::uint32_t p = target.at(x, y);
            EXPECT_NEAR(int(p & 0xff), 128, 8) << x << "," << y;
            EXPECT_EQ(p >> 24, 0xffu);
        }
        EXPECT_TRUE(target.paddingUntouched());
    }
}

}  // namespace
}  // namespace marlune
