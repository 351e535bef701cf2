#include "platform/image/image_codecs.h"

#include <glib.h>
#include <gtest/gtest.h>

namespace marlune {
namespace {

BgraImage solid(int width, int height, std::uint32_t argb) {
    BgraImage image = BgraImage::blank(width, height);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(image.row(y));
        for (int x = 0; x < width; ++x) row[x] = argb;
    }
    return image;
}

std::optional<BgraImage> decodeDataUrl(const std::string& url) {
    const std::string prefix = "data:image/jpeg;base64,";
    if (!url.starts_with(prefix)) return std::nullopt;
    gsize size = 0;
    guchar* bytes = g_base64_decode(url.c_str() + prefix.size(), &size);
    auto image = decodeJpeg({bytes, size});
    g_free(bytes);
    return image;
}

TEST(ImageCodecs, JpegDataUrlScalesDownAndKeepsColour) {
    struct Case {
        int w, h, maxWidth;
        PixelSize expected;
    };
    const Case cases[] = {
        {3840, 2160, 400, {400, 225}},
        {300, 120, 400, {300, 120}},
        {1, 1, 480, {1, 1}},
        {2000, 3, 480, {480, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        auto url = jpegDataURL(solid(c.w, c.h, 0xFF2060C0), c.maxWidth);
        ASSERT_TRUE(url);
        auto decoded = decodeDataUrl(*url);
        ASSERT_TRUE(decoded) << "not a JPEG data URL";
        EXPECT_EQ(decoded->width, c.expected.width);
        EXPECT_EQ(decoded->height, c.expected.height);
        std::uint32_t p = decoded->pixel(decoded->width / 2, decoded->height / 2);
        EXPECT_NEAR(int((p >> 16) & 0xFF), 0x20, 6);
        EXPECT_NEAR(int((p >> 8) & 0xFF), 0x60, 6);
        EXPECT_NEAR(int(p & 0xFF), 0xC0, 6);
    }
    EXPECT_FALSE(jpegDataURL(BgraImage{}, 400));
}

}  // namespace
}  // namespace marlune
