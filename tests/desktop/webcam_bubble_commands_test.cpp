// The headless host's webcam bubble follows the webcam settings and zoom from launch on.

#include <cstdio>

#include "app/app_delegate.h"
#include "desktop_test.h"
#include "platform/desktop/x11_hotkey.h"
#include "screen_helpers.h"
#include "support/bridge_process.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;

std::string output(const std::string& command) {
    return test::toolOutput({"sh", "-c", command}).value_or("");
}

struct Placed {
    std::string id;
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Placed&) const = default;
};

// The bubble window on the screen, as another program finds it.
std::optional<Placed> findBubble() {
    std::string ids = output("xdotool search --name '^Marlune webcam$' 2>/dev/null");
    if (ids.empty()) return std::nullopt;
    Placed p;
    p.id = ids.substr(0, ids.find('\n'));
    std::string g = output("xdotool getwindowgeometry " + p.id);
    auto at = g.find("Position: "), size = g.find("Geometry: ");
    if (at == std::string::npos || size == std::string::npos) return std::nullopt;
    std::sscanf(g.c_str() + at, "Position: %d,%d", &p.x, &p.y);
    std::sscanf(g.c_str() + size, "Geometry: %dx%d", &p.width, &p.height);
    return p;
}

std::optional<Placed> waitForBubble(const std::function<bool(const Placed&)>& wanted) {
    std::optional<Placed> found;
    test::runMainUntil(
        [&] {
            found = findBubble();
            return found && wanted(*found);
        },
        10s);
    return found && wanted(*found) ? found : std::nullopt;
}

bool waitForNoBubble() {
    return test::runMainUntil([] { return !findBubble(); }, 10s);
}

// The test camera: a still picture, yellow in its left half, then a blue bar 80 pixels wide
// from the middle, then red.
constexpr const char* kBarsCamera =
    "color=c=blue:s=640x360:r=30,drawbox=x=0:y=0:w=320:h=360:c=yellow:t=fill,"
    "drawbox=x=400:y=0:w=240:h=360:c=red:t=fill,format=yuyv422,realtime";

// The width of the blue bar as it shows in the bubble, measured along its middle row.
int blueBarWidth(const Placed& b) {
    const int cx = b.x + b.width / 2;
    const int y = b.y + b.height / 2;
    auto blue = [&](int x) {
        test::Rgb c = test::screenPixel(x, y);
        return c.b > 200 && c.r < 60 && c.g < 60;
    };
    int left = cx - 3, right = cx + 3;
    while (left < right && !blue(left)) ++left;
    right = left;
    while (right < b.x + b.width && blue(right)) ++right;
    return right - left;
}

// Waits until the blue bar shows `width` pixels wide (within 3) in the bubble; its last width.
int barSettlesAt(const Placed& b, double width) {
    int seen = 0;
    test::runMainUntil([&] { return std::abs((seen = blueBarWidth(b)) - width) <= 3; }, 10s);
    return seen;
}

using WebcamBubbleCommands = test::DesktopTest;

TEST_F(WebcamBubbleCommands, TheBubbleFollowsTheWebcamSettingsFromLaunchOn) {
    // A headless program with the bars camera whose stored settings show a small bubble top left.
    test::writeFile(
        home / ".config/marlune/defaults.json",
        Json{{"webcamEnabled", true}, {"webcamSize", "s"}, {"webcamCorner", "tl"}}.dump());
    test::BridgeProcess marlune(
        {.home = home.path(),
         .env = {{"MARLUNE_WEBCAM_INPUT_FORMAT", "lavfi"}, {"MARLUNE_WEBCAM_DEVICE", kBarsCamera}},
         .keepDisplay = true});
    auto succeeds = [&](const std::string& cmd, const Json& payload = nullptr) {
        static int n = 0;
        return marlune.request(std::to_string(++n), cmd, payload).value_or(Json())["ok"] == true;
    };
    auto small = [](const Placed& b) {
        return b.x == 24 && b.y == 24 && b.width == 160 && b.height == 160;
    };
    auto first = waitForBubble(small);
    ASSERT_TRUE(first) << "the bubble is shown at launch when the setting is on";
    {
        // The host holds the global hot key.
        auto grab = x11::GlobalKeyGrab::controlShift(HotkeyManager::kKeysym);
        ASSERT_FALSE(grab);
        EXPECT_EQ(grab.error().message, x11::GlobalKeyGrab::kTakenMessage);
    }
    // The picture's height fills the bubble; a new zoom alone scales it in the same window, and
    // "webcam.zoom" sets it back. Each width is held to what the picture's scale makes it, not
    // to an earlier reading: the bubble's first pictures may show the bar a few pixels narrower.
    const double unzoomed = 80 * 160 / 360.0;
    EXPECT_NEAR(barSettlesAt(*first, unzoomed), unzoomed, 3);
    ASSERT_TRUE(succeeds("settings.set", {{"webcamZoom", 1.5}}));
    EXPECT_NEAR(barSettlesAt(*first, 1.5 * unzoomed), 1.5 * unzoomed, 3);
    EXPECT_EQ(findBubble(), first) << "not rebuilt for a zoom";
    ASSERT_TRUE(succeeds("webcam.zoom", {{"zoom", 1}}));
    EXPECT_NEAR(barSettlesAt(*first, unzoomed), unzoomed, 3);

    // Off: webcam settings changed meanwhile show nothing; on again, rebuilt as they say.
    ASSERT_TRUE(succeeds("settings.set", {{"webcamEnabled", false}}));
    EXPECT_TRUE(waitForNoBubble());
    ASSERT_TRUE(succeeds("settings.set", {{"webcamShape", "wide"}}));
    test::runMainFor(500ms);
    EXPECT_FALSE(findBubble());
    ASSERT_TRUE(succeeds("settings.set", {{"webcamEnabled", true}, {"webcamSize", "l"}}));
    auto large = waitForBubble([](const Placed& b) { return b.width == 300 && b.height == 169; });
    ASSERT_TRUE(large);
    EXPECT_NE(large->id, first->id);

    EXPECT_EQ(marlune.closeAndWait(), 0);
    EXPECT_TRUE(waitForNoBubble());
}

}  // namespace
}  // namespace marlune
