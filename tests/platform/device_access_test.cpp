#include <gtest/gtest.h>

#include "platform/desktop/device_access.h"
#include "support/temp_dir.h"

namespace marlune::desktop {
namespace {

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
        {"", "", ":0", true, ScreenAccess::available},
        // A Wayland session's X11 server sees only its own clients' windows.
        {"wayland", "wayland-0", ":0", true, ScreenAccess::noCapturePath},
        {"wayland", "", ":0", true, ScreenAccess::noCapturePath},
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
}  // namespace marlune::desktop
