// The permission commands through the headless host, on the test desktop and away from it.

#include <sys/stat.h>

#include "desktop/recording_checks.h"
#include "desktop_test.h"
#include "platform/desktop/accessibility.h"
#include "support/bridge_process.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::BridgeProcess;
using test::errorText;

Json result(const std::optional<Json>& reply) {
    if (!reply || !reply->value("ok", false)) {
        ADD_FAILURE() << (reply ? reply->dump() : "no reply");
        return nullptr;
    }
    return (*reply)["result"];
}

// A stand-in settings program in `bin` that notes each call's arguments in `calls`.
void settingsProgram(const fs::path& bin, const fs::path& calls) {
    test::writeFile(bin / "gnome-control-center",
                    "#!/bin/sh\necho \"[$*]\" >> '" + calls.string() + "'\n");
    ::chmod((bin / "gnome-control-center").c_str(), 0755);
}

class PermissionsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        ASSERT_TRUE(display && *display) << "run through scripts/test (Xvfb)";
        wasEnabled = desktop::accessibilityEnabled();
        ASSERT_TRUE(wasEnabled.has_value()) << "no accessibility bus on the session bus";
    }
    void TearDown() override {
        if (wasEnabled) (void)desktop::setAccessibilityEnabled(*wasEnabled);
    }

    test::TempDir home;
    std::optional<bool> wasEnabled;
};

// Each permission read and requested, the settings program started as asked, then a relaunch.
TEST_F(PermissionsTest, OnTheDesktopEachIsReadRequestedAndItsSettingsOpened) {
    ASSERT_TRUE(desktop::setAccessibilityEnabled(false));
    const fs::path bin = home / "bin", calls = home / "calls.txt";
    settingsProgram(bin, calls);
    BridgeProcess marlune({.home = home.path(),
                           .env = {{"PATH", bin.string() + ":" + std::getenv("PATH")},
                                   {"XDG_CURRENT_DESKTOP", "ubuntu:GNOME"}},
                           .keepDisplay = true});

    Json ready = result(marlune.request("r", "app.ready"));
    Json status = result(marlune.request("s", "permissions.status"));
    EXPECT_EQ(ready["permissions"], status);
    EXPECT_EQ(std::tuple(status["screen"], status["microphone"], status["accessibility"]),
              std::tuple(Json("granted"), Json("granted"), Json("notDetermined")));

    EXPECT_EQ(result(marlune.request("1", "permissions.request", {{"kind", "screen"}})),
              (Json{{"granted", true}, {"needsRestart", false}}));
    EXPECT_EQ(result(marlune.request("2", "permissions.request", {{"kind", "microphone"}})),
              (Json{{"granted", true}}));
    // Asking for accessibility switches it on for the whole session.
    EXPECT_EQ(result(marlune.request("4", "permissions.request", {{"kind", "accessibility"}})),
              (Json{{"granted", true}}));
    EXPECT_EQ(desktop::accessibilityEnabled(), true);
    EXPECT_EQ(result(marlune.request("5", "permissions.status"))["accessibility"], "granted");
    EXPECT_EQ(errorText(marlune.request("x", "permissions.request", {{"kind", "Screen"}})),
              "Unknown permission kind: Screen");

    std::string expected;
    for (const auto& [pane, called] : std::vector<std::pair<Json, std::string>>{
             {{{"pane", "accessibility"}}, "[universal-access]\n"}, {Json::object(), "[]\n"}}) {
        EXPECT_EQ(result(marlune.request("o", "permissions.openSettings", pane)), Json::object());
        expected += called;
        EXPECT_TRUE(test::runMainUntil([&] { return test::readFile(calls) == expected; }))
            << pane.dump() << ": " << test::readFile(calls);
    }

    // Relaunch: the old instance goes through the normal quit, and the new one, started on the
    // same input and output with the same arguments, answers with what was stored.
    ASSERT_TRUE(marlune.request("f", "settings.set", {{"fps", 60}}));
    EXPECT_EQ(result(marlune.request("l", "permissions.relaunch")), Json::object());
    EXPECT_EQ(marlune.waitExit(std::chrono::seconds(10)), 0);
    auto reply = marlune.request("g", "settings.get", nullptr, std::chrono::seconds(10));
    ASSERT_TRUE(reply) << "no new instance answered";
    EXPECT_EQ(result(reply)["fps"], 60);
    marlune.closeInput();
    while (marlune.readLine(std::chrono::seconds(10))) {
    }  // until the new instance has gone
}

// Away from the desktop: the screen asked for once, then denied; no settings program started.
TEST_F(PermissionsTest, WithoutADisplayTheScreenIsAskedForOnceThenDenied) {
    const fs::path calls = home / "calls.txt", bin = home / "bin";
    settingsProgram(bin, calls);
    const std::map<std::string, std::string> env = {
        {"PULSE_SERVER", "unix:/nonexistent"},
        {"PATH", bin.string() + ":" + std::getenv("PATH")},
        {"XDG_CURRENT_DESKTOP", "openbox"}};
    {
        BridgeProcess marlune({.home = home.path(), .env = env});
        Json status = result(marlune.request("1", "permissions.status"));
        EXPECT_EQ(status["screen"], "notDetermined");
        EXPECT_EQ(status["microphone"], "notDetermined");
        EXPECT_EQ(result(marlune.request("2", "permissions.request", {{"kind", "screen"}})),
                  (Json{{"granted", false}, {"needsRestart", true}}));
        EXPECT_EQ(result(marlune.request("3", "permissions.status"))["screen"], "denied");
        EXPECT_EQ(result(marlune.request("4", "permissions.request", {{"kind", "microphone"}})),
                  (Json{{"granted", false}}));
        EXPECT_EQ(result(marlune.request("o", "permissions.openSettings", {{"pane", "camera"}})),
                  Json::object());
        EXPECT_EQ(marlune.closeAndWait(), 0);
    }
    EXPECT_FALSE(fs::exists(calls)) << "a settings program was started";
    // Remembered from one run to the next.
    BridgeProcess again({.home = home.path(), .env = env});
    EXPECT_EQ(result(again.request("1", "permissions.status"))["screen"], "denied");
    EXPECT_EQ(again.closeAndWait(), 0);
}

}  // namespace
}  // namespace marlune
