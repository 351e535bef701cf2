// The global hot key on the real display, pressed through xdotool, held by another program (the
// desktop application's presses are in desktop_app_test.cpp).

#include "app/app_delegate.h"
#include "desktop_test.h"
#include "platform/desktop/x11_hotkey.h"
#include "screen_helpers.h"
#include "support/bridge_process.h"

namespace marlune {
namespace {

using test::runMainUntil;

using HotkeyTest = test::DesktopTest;

TEST_F(HotkeyTest, AKeyHeldByAnotherProgramIsLoggedOnceAndLeftAlone) {
    auto holder = x11::GlobalKeyGrab::controlShift(HotkeyManager::kKeysym);
    ASSERT_TRUE(holder) << holder.error().message;
    int ours = 0;
    {
        HotkeyManager manager;
        manager.onHotkey = [&] { ++ours; };
        testing::internal::CaptureStderr();
        EXPECT_FALSE(manager.registerHotkey());
        EXPECT_FALSE(manager.registerHotkey());
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
        EXPECT_NE(log.find("Control+Shift+2"), std::string::npos) << log;

        ASSERT_TRUE(test::run("xdotool key ctrl+shift+2"));
        int theirs = 0;
        EXPECT_TRUE(runMainUntil([&] {
            theirs += (*holder)->takePresses();
            return theirs == 1;
        }));
        EXPECT_EQ(ours, 0);
    }
    // Once the other program lets go, the key can be had.
    holder->reset();
    HotkeyManager manager;
    manager.onHotkey = [&] { ++ours; };
    ASSERT_TRUE(manager.registerHotkey());
    ASSERT_TRUE(test::run("xdotool key ctrl+shift+2"));
    EXPECT_TRUE(runMainUntil([&] { return ours == 1; }));
}

// In smoke mode the host leaves the key free (it holds it otherwise:
// webcam_bubble_commands_test.cpp).
TEST_F(HotkeyTest, TheHeadlessHostLeavesTheKeyAloneInSmokeMode) {
    test::TempDir processHome;
    test::BridgeProcess marlune(
        {.home = processHome.path(), .extraArgs = {"--smoke"}, .keepDisplay = true});
    ASSERT_TRUE(marlune.request("1", "settings.get"));  // launched
    auto grab = x11::GlobalKeyGrab::controlShift(HotkeyManager::kKeysym);
    EXPECT_TRUE(grab) << grab.error().message;
    grab = std::unexpected(Error{});  // let go before the process quits
    EXPECT_EQ(marlune.closeAndWait(), 0);
}

}  // namespace
}  // namespace marlune
