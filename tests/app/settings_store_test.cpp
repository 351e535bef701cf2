#include "app/settings_store.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace marlune {
namespace {

TEST(SettingsStore, DefaultsCoercionsAndStoredValues) {
    test::TempDir dir;
    auto defaults = std::make_shared<KeyValueStore>(dir / "d.json");
    SettingsStore settings{defaults};
    // A fresh user reads the defaults, in the settings' own order.
    EXPECT_EQ(settings.asDictionary().dump(),
              R"({"fps":30,"capHeight":1440,"micEnabled":true,"systemAudioEnabled":false,)"
              R"("webcamEnabled":false,"webcamCorner":"br","webcamSize":"m","webcamRing":true,)"
              R"("webcamShape":"squircle","webcamZoom":1.0,"hideWindow":false,"showCursor":true,)"
              R"("cursorMode":"smooth","micInput":"","countdown":3,"recordAllKeys":false})");
    // {payload, key, what reads back}: each payload applied in turn.
    const std::tuple<const char*, const char*, Json> cases[] = {
        {R"({"fps": 24})", "fps", 30},
        {R"({"fps": 60.0})", "fps", 60},
        {R"({"fps": 60.5})", "fps", 60},  // not an Int: ignored
        {R"({"fps": "30"})", "fps", 60},
        {R"({"capHeight": -5})", "capHeight", -5},
        {R"({"micEnabled": false})", "micEnabled", false},
        {R"({"micEnabled": 1})", "micEnabled", false},
        {R"({"webcamCorner": "anything"})", "webcamCorner", "anything"},
        {R"({"webcamShape": "wide"})", "webcamShape", "wide"},
        {R"({"webcamShape": "hexagon"})", "webcamShape", "squircle"},
        {R"({"webcamZoom": 5})", "webcamZoom", 2.0},
        {R"({"webcamZoom": 0.5})", "webcamZoom", 1.0},
        {R"({"webcamZoom": 1.25})", "webcamZoom", 1.25},
        {R"({"cursorMode": "SYSTEM"})", "cursorMode", "smooth"},
        {R"({"cursorMode": "system", "showCursor": false})", "showCursor", false},
        {R"({"unknown": 1, "cursorMode": null})", "cursorMode", "system"},
    };
    for (const auto& [payload, key, expected] : cases) {
        settings.apply(Json::parse(payload));
        EXPECT_EQ(settings.asDictionary()[key], expected) << payload;
    }
    // Everything went straight to the persisted store.
    EXPECT_EQ(SettingsStore(std::make_shared<KeyValueStore>(dir / "d.json")).asDictionary(),
              settings.asDictionary());
    // Stored values of other kinds read as the defaults objects read them.
    defaults->set("fps", "60");
    defaults->set("capHeight", "tall");
    defaults->set("micEnabled", 0);
    defaults->set("webcamCorner", 5);
    defaults->set("webcamShape", "odd");  // stored by hand: read as is
    EXPECT_EQ(settings.asDictionary().dump(),
              R"({"fps":60,"capHeight":0,"micEnabled":false,"systemAudioEnabled":false,)"
              R"("webcamEnabled":false,"webcamCorner":"br","webcamSize":"m","webcamRing":true,)"
              R"("webcamShape":"odd","webcamZoom":1.25,"hideWindow":false,"showCursor":false,)"
              R"("cursorMode":"system","micInput":"","countdown":3,"recordAllKeys":false})");
}

TEST(WebcamFollowUp, DecidesFromTheChangeAndThePayload) {
    using F = WebcamFollowUp;
    const std::tuple<bool, bool, const char*, F> cases[] = {
        {false, true, R"({"webcamEnabled": true})", F::turnOn},
        {true, false, R"({"webcamEnabled": false, "webcamShape": "wide"})", F::turnOff},
        {true, true, R"({"webcamZoom": 1.5})", F::zoom},
        {true, true, R"({"webcamShape": "wide"})", F::rebuild},
        {true, true, R"({"webcamZoom": 1.5, "webcamRing": false})", F::rebuild},
        {true, true, R"({"webcamCorner": 7})", F::rebuild},
        {true, true, R"({"fps": 60})", F::none},
        {false, false, R"({"webcamShape": "wide", "webcamZoom": 2})", F::none},
    };
    for (const auto& [was, now, payload, expected] : cases) {
        EXPECT_EQ(webcamFollowUp(was, now, Json::parse(payload)), expected) << payload;
    }
}

}  // namespace
}  // namespace marlune
