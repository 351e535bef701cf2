// The record screen's options through `marlune --stdio-bridge`: the microphone and the countdown
// are kept with the settings, and the Camera card follows the camera the webcam bubble opens.

#include <gtest/gtest.h>

#include "integration/child_commands.h"

namespace marlune {
namespace {

using test::BridgeProcess;
using test::resultOf;
using test::TempDir;

TEST(RecordOptions, TheMicrophoneAndCountdownAreKeptAsSettings) {
    TempDir home;
    BridgeProcess p({.home = home.path()});
    // {payload, countdown and microphone read back}: each applied in turn.
    const std::tuple<const char*, int, const char*> cases[] = {
        {R"({})", 3, ""},
        {R"({"countdown": 5, "micInput": "alsa_input.usb-headset"})", 5, "alsa_input.usb-headset"},
        {R"({"countdown": 0})", 0, "alsa_input.usb-headset"},
        {R"({"countdown": 4})", 3, "alsa_input.usb-headset"},
        {R"({"countdown": "5", "micInput": 7})", 3, "alsa_input.usb-headset"},
        {R"({"micInput": ""})", 3, ""},
    };
    int id = 0;
    for (const auto& [payload, countdown, mic] : cases) {
        auto stored =
            resultOf(p.request(std::to_string(++id), "settings.set", Json::parse(payload)));
        EXPECT_EQ(stored["countdown"], countdown) << payload;
        EXPECT_EQ(stored["micInput"], mic) << payload;
    }
    EXPECT_EQ(p.closeAndWait(), 0);
}

// An input that is not a video node (here FFmpeg's test picture) is not "Not set up" while the
// bubble shows it.
TEST(RecordOptions, TheCameraStatusIsTheBubblesCamera) {
    TempDir home;
    BridgeProcess p({.home = home.path(),
                     .env = {{"MARLUNE_WEBCAM_INPUT_FORMAT", "lavfi"},
                             {"MARLUNE_WEBCAM_DEVICE", "testsrc2=size=320x240:rate=30"}}});
    EXPECT_EQ(resultOf(p.request("s", "permissions.status"))["camera"], "granted");
    EXPECT_EQ(p.closeAndWait(), 0);
}

}  // namespace
}  // namespace marlune
