// Small conversions and checks of the platform layer, each a table of cases.

#include <glib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/desktop/device_access.h"
#include "platform/desktop/x11_monitors.h"
#include "platform/image/image_codecs.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

// Pictures as JPEG data URLs, for the page.
std::optional<BgraImage> decodeDataUrl(const std::string& url) {
    const std::string prefix = "data:image/jpeg;base64,";
    if (!url.starts_with(prefix)) return std::nullopt;
    gsize size = 0;
    guchar* bytes = g_base64_decode(url.c_str() + prefix.size(), &size);
    auto image = decodeJpeg({bytes, size});
    g_free(bytes);
    return image;
}

TEST(ImageCodecs, JpegDataUrlNeverScalesUpNorToNothing) {
    struct Case {
        int w, h, maxWidth;
        PixelSize expected;
    };
    // (Screens scaled to 400 and 1800 wide are the capture sources' test in tests/desktop, and the
    // colours the preview's, which compares its pictures with the export's.)
    const Case cases[] = {
        {300, 120, 400, {300, 120}},
        {1, 1, 480, {1, 1}},
        {2000, 3, 480, {480, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        auto url = jpegDataURL(BgraImage::blank(c.w, c.h), c.maxWidth);
        ASSERT_TRUE(url);
        auto decoded = decodeDataUrl(*url);
        ASSERT_TRUE(decoded) << "not a JPEG data URL";
        EXPECT_EQ(decoded->width, c.expected.width);
        EXPECT_EQ(decoded->height, c.expected.height);
    }
    EXPECT_FALSE(jpegDataURL(BgraImage{}, 400));
}

// A display is named by the product name its EDID carries, as its maker printed it.

// A 128-byte EDID block whose descriptor `slot` (0 to 3) has tag `tag` and carries `text`.
std::vector<std::uint8_t> edid(int slot, std::uint8_t tag, const std::string& text) {
    std::vector<std::uint8_t> block(128, 0);
    const std::uint8_t header[8] = {0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00};
    std::copy(header, header + 8, block.begin());
    // The first descriptor holds a detailed timing (a pixel clock that is not 0).
    block[54] = 0x01;
    block[55] = 0x1d;
    std::uint8_t* d = block.data() + 54 + 18 * slot;
    if (slot > 0) {
        d[0] = d[1] = d[2] = 0;
        d[3] = tag;
        for (std::size_t i = 0; i < 13; ++i) d[5 + i] = i < text.size() ? text[i] : 0x20;
    }
    return block;
}

TEST(MonitorNames, TheProductNameComesFromTheEdidsNameDescriptor) {
    const struct {
        std::vector<std::uint8_t> block;
        std::optional<std::string> name;
    } cases[] = {
        {edid(1, 0xfc, "DELL U2720Q\n"), "DELL U2720Q"},
        {edid(3, 0xfc, "LG ULTRAFINE"), "LG ULTRAFINE"},       // 13 characters, no line feed
        {edid(2, 0xfc, " Studio  \n  "), "Studio"},            // padding around it
        {edid(1, 0xff, "SERIAL123\n"), std::nullopt},          // a serial number, not a name
        {edid(1, 0xfc, "\n"), std::nullopt},                   // an empty name
        {std::vector<std::uint8_t>(64, 0), std::nullopt},      // too short
        {std::vector<std::uint8_t>(128, 0x20), std::nullopt},  // no EDID header
    };
    for (const auto& c : cases) {
        EXPECT_EQ(x11::edidProductName(c.block), c.name) << c.name.value_or("(none)");
    }
}

// Which screen and camera can be used.
using namespace desktop;

TEST(ScreenAccess, OnlyAnAnsweringX11DisplayCanBeCaptured) {
    struct Case {
        const char* sessionType;
        const char* waylandDisplay;
        const char* display;
        bool answers;
        ScreenAccess access;
    };
    const Case cases[] = {
        {"x11", "", ":0", true, ScreenAccess::available},
        // A Wayland session's X11 server sees only its own clients' windows.
        {"wayland", "wayland-0", ":0", true, ScreenAccess::noCapturePath},
        {"x11", "wayland-0", ":0", true, ScreenAccess::available},  // a stray variable
        {"x11", "", ":0", false, ScreenAccess::noDisplay},
        {"x11", "", "", true, ScreenAccess::noDisplay},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(screenAccessFor(c.sessionType, c.waylandDisplay, c.display, c.answers), c.access)
            << "'" << c.sessionType << "' '" << c.waylandDisplay << "' '" << c.display << "' "
            << c.answers;
    }
}

TEST(CameraAccess, OnlyVideoCaptureNodesCount) {
    test::TempDir dev;
    EXPECT_EQ(cameraAccess(dev.path()), DeviceAccess::missing);
    EXPECT_EQ(cameraAccess(dev / "absent"), DeviceAccess::missing);
    // Files that open but are no capture devices, and names that are no video nodes.
    test::writeFile(dev / "video0", "not a device");
    test::writeFile(dev / "videox", "");
    test::writeFile(dev / "video", "");
    std::filesystem::create_directory(dev / "video1");
    EXPECT_EQ(cameraAccess(dev.path()), DeviceAccess::missing);
}

}  // namespace
}  // namespace marlune
