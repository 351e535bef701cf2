// The permission commands through the headless host, on the test desktop (an X display, a sound
// server with a microphone, a session bus with the accessibility launcher) and away from it.

#include <sys/stat.h>
#include <fstream>

#include "desktop_test.h"
#include "platform/desktop/accessibility.h"
#include "support/bridge_process.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::BridgeProcess;

Json result(const std::optional<Json>& reply) {
    if (!reply || !reply->value("ok", false)) {
        ADD_FAILURE() << (reply ? reply->dump() : "no reply");
        return nullptr;
    }
    return (*reply)["result"];
}

std::string errorText(const std::optional<Json>& reply) {
    if (!reply || reply->value("ok", true)) return "<no failure>";
    return (*reply)["error"]["message"];
}

// The status a camera check gives here: this machine may or may not have one.
std::string cameraHere() {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/dev", ec)) {
        if (e.path().filename().string().starts_with("video")) return "present";
    }
    return "notDetermined";
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

TEST_F(PermissionsTest, OnTheDesktopEachIsReadAndRequested) {
    ASSERT_TRUE(desktop::setAccessibilityEnabled(false));
    BridgeProcess marlune({.home = home.path(), .keepDisplay = true});

    Json ready = result(marlune.request("r", "app.ready"));
    Json status = result(marlune.request("s", "permissions.status"));
    EXPECT_EQ(ready["permissions"], status);
    std::vector<std::string> keys;
    for (auto& [k, v] : status.items()) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"screen", "microphone", "camera", "accessibility"}));
    EXPECT_EQ(status["screen"], "granted");
    EXPECT_EQ(status["microphone"], "granted");
    if (cameraHere() == "notDetermined") {
        EXPECT_EQ(status["camera"], "notDetermined");
    }
    EXPECT_EQ(status["accessibility"], "notDetermined");

    EXPECT_EQ(result(marlune.request("1", "permissions.request", {{"kind", "screen"}})),
              (Json{{"granted", true}, {"needsRestart", false}}));
    EXPECT_EQ(result(marlune.request("2", "permissions.request", {{"kind", "microphone"}})),
              (Json{{"granted", true}}));

    // Asking for accessibility switches it on for the whole session.
    EXPECT_EQ(result(marlune.request("4", "permissions.request", {{"kind", "accessibility"}})),
              (Json{{"granted", true}}));
    EXPECT_EQ(desktop::accessibilityEnabled(), true);
    EXPECT_EQ(result(marlune.request("5", "permissions.status"))["accessibility"], "granted");

    struct Refusal {
        Json payload;
        std::string message;
    };
    for (const auto& r : {Refusal{{{"kind", "Screen"}}, "Unknown permission kind: Screen"},
                          Refusal{{{"kind", 7}}, "Unknown permission kind: "}}) {
        EXPECT_EQ(errorText(marlune.request("x", "permissions.request", r.payload)), r.message)
            << r.payload.dump();
    }
    EXPECT_EQ(marlune.closeAndWait(), 0);
}

TEST_F(PermissionsTest, WithoutADisplayTheScreenIsAskedForOnceThenDenied) {
    const std::map<std::string, std::string> noSound = {{"PULSE_SERVER", "unix:/nonexistent"}};
    {
        BridgeProcess marlune({.home = home.path(), .env = noSound});
        Json status = result(marlune.request("1", "permissions.status"));
        EXPECT_EQ(status["screen"], "notDetermined");
        EXPECT_EQ(status["microphone"], "notDetermined");
        EXPECT_EQ(result(marlune.request("2", "permissions.request", {{"kind", "screen"}})),
                  (Json{{"granted", false}, {"needsRestart", true}}));
        EXPECT_EQ(result(marlune.request("3", "permissions.status"))["screen"], "denied");
        EXPECT_EQ(result(marlune.request("4", "permissions.request", {{"kind", "microphone"}})),
                  (Json{{"granted", false}}));
        EXPECT_EQ(marlune.closeAndWait(), 0);
    }
    // Remembered from one run to the next.
    BridgeProcess again({.home = home.path(), .env = noSound});
    EXPECT_EQ(result(again.request("1", "permissions.status"))["screen"], "denied");
    EXPECT_EQ(again.closeAndWait(), 0);
}

TEST_F(PermissionsTest, OpenSettingsRunsTheDesktopsOwnSettings) {
    // A stand-in settings program that notes how it was called.
    const fs::path bin = home / "bin";
    const fs::path calls = home / "calls.txt";
    test::writeFile(bin / "gnome-control-center",
                    "#!/bin/sh\necho \"[$*]\" >> '" + calls.string() + "'\n");
    ::chmod((bin / "gnome-control-center").c_str(), 0755);
    const std::string path = bin.string() + ":" + std::getenv("PATH");

    auto callsSoFar = [&] {
        std::ifstream in(calls);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    };
    {
        BridgeProcess marlune({.home = home.path(),
                               .env = {{"PATH", path}, {"XDG_CURRENT_DESKTOP", "ubuntu:GNOME"}}});
        const std::vector<std::pair<Json, std::string>> cases = {
            {{{"pane", "accessibility"}}, "[universal-access]"},
            {Json::object(), "[]"},
        };
        for (std::size_t i = 0; i < cases.size(); ++i) {
            EXPECT_EQ(result(marlune.request("o", "permissions.openSettings", cases[i].first)),
                      Json::object());
            ASSERT_TRUE(test::runMainUntil([&] { return callsSoFar().size() == i + 1; }))
                << cases[i].first.dump();
            EXPECT_EQ(callsSoFar().back(), cases[i].second);
        }
        EXPECT_EQ(marlune.closeAndWait(), 0);
    }
    // A desktop whose settings are unknown: nothing is started, and the reply is the same.
    BridgeProcess other(
        {.home = home.path(), .env = {{"PATH", path}, {"XDG_CURRENT_DESKTOP", "openbox"}}});
    EXPECT_EQ(result(other.request("o", "permissions.openSettings", {{"pane", "camera"}})),
              Json::object());
    test::runMainFor(std::chrono::milliseconds(300));
    EXPECT_EQ(callsSoFar().size(), 2u);
    EXPECT_EQ(other.closeAndWait(), 0);
}

TEST_F(PermissionsTest, RelaunchQuitsThenTheNewInstanceTakesOver) {
    BridgeProcess marlune({.home = home.path()});
    ASSERT_TRUE(marlune.request("0", "settings.set", {{"fps", 60}}));
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(result(marlune.request("1", "permissions.relaunch")), Json::object());
    // The old instance goes through the normal quit...
    EXPECT_EQ(marlune.waitExit(std::chrono::seconds(10)), 0);
    // ...and the new one, started on the same input and output with the same arguments, answers.
    auto reply = marlune.request("2", "settings.get", nullptr, std::chrono::seconds(10));
    ASSERT_TRUE(reply) << "no new instance answered";
    EXPECT_EQ(result(reply)["fps"], 60);
    EXPECT_GE(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(800));
    marlune.closeInput();
    while (marlune.readLine(std::chrono::seconds(10))) {
    }  // until the new instance has gone
}

}  // namespace
}  // namespace marlune
