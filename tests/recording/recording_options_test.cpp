// Reading a recording's start command, with the user's settings behind every optional key.

#include "recording/recording_options.h"

#include <gtest/gtest.h>

namespace marlune {
namespace {

RecordingDefaults settings() {
    RecordingDefaults d;
    d.fps = 60;
    d.capHeight = 720;
    d.micEnabled = false;
    d.systemAudioEnabled = true;
    d.webcamEnabled = true;
    d.hideWindow = true;
    d.showCursor = false;
    d.cursorMode = "system";
    return d;
}

// The refusals of missing or mistyped keys are the road test's (tests/desktop).
TEST(RecordingOptions, SourceIDsAreWhole32BitNumbers) {
    const std::pair<const char*, bool> cases[] = {
        {R"({"sourceKind": "window", "sourceID": 4294967295})", true},
        {R"({"sourceKind": "display", "sourceID": 5.5})", false},
        {R"({"sourceKind": "display", "sourceID": 4294967296})", false},
        {R"(null)", false},
    };
    for (auto [payload, valid] : cases) {
        EXPECT_EQ(RecordingOptions::parse(Json::parse(payload), settings()).has_value(), valid)
            << payload;
    }
}

TEST(RecordingOptions, OptionalKeysFallBackOnSettings) {
    // A key of the right type overrides the settings; a wrong type counts as missing.
    auto given = RecordingOptions::parse(Json::parse(R"({
        "sourceKind": "window", "sourceID": 9, "fps": 60, "capHeight": 1080, "mic": true,
        "systemAudio": false, "webcam": false, "hideWindow": false, "cursorMode": "smooth",
        "showCursor": true})"),
                                         settings());
    ASSERT_TRUE(given);
    EXPECT_EQ(given->sourceKind, "window");
    EXPECT_EQ(given->sourceID, 9u);
    EXPECT_FALSE(given->isDisplay());
    EXPECT_EQ(given->fps, 60);
    EXPECT_EQ(given->capHeight, 1080);
    EXPECT_TRUE(given->mic);
    EXPECT_FALSE(given->systemAudio);
    EXPECT_FALSE(given->webcam);
    EXPECT_FALSE(given->hideWindow);
    EXPECT_TRUE(given->smoothCursor);
    EXPECT_FALSE(given->showCursor) << "the payload never overrides showCursor";

    auto wrongTypes = RecordingOptions::parse(Json::parse(R"({
        "sourceKind": "display", "sourceID": 1, "fps": "60", "capHeight": 1080.5, "mic": 1,
        "systemAudio": "no", "webcam": null, "hideWindow": 0, "cursorMode": true})"),
                                              settings());
    ASSERT_TRUE(wrongTypes);
    EXPECT_EQ(wrongTypes->fps, 60);
    EXPECT_EQ(wrongTypes->capHeight, 720);
    EXPECT_FALSE(wrongTypes->mic);
    EXPECT_TRUE(wrongTypes->systemAudio);
    EXPECT_TRUE(wrongTypes->webcam);
    EXPECT_TRUE(wrongTypes->hideWindow);
    EXPECT_FALSE(wrongTypes->smoothCursor);
}

TEST(RecordingOptions, FrameRateAndCursorMode) {
    struct Case {
        const char* extra;
        int settingsFps;
        const char* settingsCursor;
        int fps;
        bool smooth;
    };
    const Case cases[] = {
        {R"("fps": 45)", 60, "smooth", 30, true},
        {R"("fps": 60)", 30, "smooth", 60, true},
        {R"("fps": 24)", 60, "smooth", 30, true},
        {R"("cursorMode": "system")", 30, "smooth", 30, false},
        {R"("cursorMode": "Smooth")", 30, "smooth", 30, false},
        {R"("x": 0)", 60, "system", 60, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.extra);
        RecordingDefaults d = settings();
        d.fps = c.settingsFps;
        d.cursorMode = c.settingsCursor;
        auto o = RecordingOptions::parse(
            Json::parse(std::string(R"({"sourceKind": "display", "sourceID": 1, )") + c.extra +
                        "}"),
            d);
        ASSERT_TRUE(o);
        EXPECT_EQ(o->fps, c.fps);
        EXPECT_EQ(o->smoothCursor, c.smooth);
    }
}

}  // namespace
}  // namespace marlune
