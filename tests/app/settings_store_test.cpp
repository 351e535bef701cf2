#include "app/settings_store.h"

#include <gtest/gtest.h>

#include "app/app_delegate.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

using test::TempDir;

class SettingsStoreTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::shared_ptr<KeyValueStore> defaults = std::make_shared<KeyValueStore>(dir / "d.json");
    SettingsStore settings{defaults};
};

TEST_F(SettingsStoreTest, FreshUserReadsTheDefaults) {
    EXPECT_EQ(settings.asDictionary(), Json::parse(R"({
        "fps": 30, "capHeight": 1440, "micEnabled": true, "systemAudioEnabled": false,
        "webcamEnabled": false, "webcamCorner": "br", "webcamSize": "m", "webcamRing": true,
        "webcamShape": "squircle", "webcamZoom": 1.0, "hideWindow": false, "showCursor": true,
        "cursorMode": "smooth"})"));
    // The key order the page receives follows the settings' own order.
    EXPECT_EQ(settings.asDictionary().begin().key(), "fps");
    EXPECT_EQ((--settings.asDictionary().end()).key(), "cursorMode");
}

TEST_F(SettingsStoreTest, ApplyCoercesClampsAndSkipsWrongTypes) {
    struct Case {
        const char* payload;
        const char* key;
        Json expected;
    };
    const Case cases[] = {
        {R"({"fps": 24})", "fps", 30},
        {R"({"fps": 60})", "fps", 60},
        {R"({"fps": 60.0})", "fps", 60},
        {R"({"fps": 60.5})", "fps", 60},  // not an Int: ignored, the 60 above stays
        {R"({"fps": "30"})", "fps", 60},  // a string is ignored too
        {R"({"fps": true})", "fps", 60},
        {R"({"capHeight": -5})", "capHeight", -5},
        {R"({"capHeight": 0})", "capHeight", 0},
        {R"({"capHeight": 2160.0})", "capHeight", 2160},
        {R"({"micEnabled": false})", "micEnabled", false},
        {R"({"micEnabled": 1})", "micEnabled", false},
        {R"({"webcamCorner": "anything"})", "webcamCorner", "anything"},
        {R"({"webcamSize": "xl"})", "webcamSize", "xl"},
        {R"({"webcamShape": "wide"})", "webcamShape", "wide"},
        {R"({"webcamShape": "hexagon"})", "webcamShape", "squircle"},
        {R"({"webcamShape": "circle"})", "webcamShape", "circle"},
        {R"({"webcamShape": 3})", "webcamShape", "circle"},
        {R"({"webcamZoom": 5})", "webcamZoom", 2.0},
        {R"({"webcamZoom": 0.5})", "webcamZoom", 1.0},
        {R"({"webcamZoom": 1.25})", "webcamZoom", 1.25},
        {R"({"webcamZoom": "1.5"})", "webcamZoom", 1.25},
        {R"({"cursorMode": "system"})", "cursorMode", "system"},
        {R"({"cursorMode": "SYSTEM"})", "cursorMode", "smooth"},
        {R"({"hideWindow": true, "showCursor": false})", "showCursor", false},
        {R"({"unknown": 1, "hideWindow": null})", "hideWindow", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload);
        settings.apply(Json::parse(c.payload));
        EXPECT_EQ(settings.asDictionary()[c.key], c.expected);
    }
    // Everything went straight to the persisted store.
    SettingsStore reread(std::make_shared<KeyValueStore>(dir / "d.json"));
    EXPECT_EQ(reread.asDictionary(), settings.asDictionary());
}

TEST_F(SettingsStoreTest, StoredValuesOfOtherKindsReadLikeDefaultsObjects) {
    defaults->set("fps", "60");           // numeric text under an integer key
    defaults->set("capHeight", "tall");   // non-numeric text reads 0
    defaults->set("micEnabled", 0);       // a stored number is a stored Bool
    defaults->set("webcamCorner", 5);     // not a string: the default
    defaults->set("webcamShape", "odd");  // stored by hand: read as is
    Json s = settings.asDictionary();
    EXPECT_EQ(s["fps"], 60);
    EXPECT_EQ(s["capHeight"], 0);
    EXPECT_EQ(s["micEnabled"], false);
    EXPECT_EQ(s["webcamCorner"], "br");
    EXPECT_EQ(s["webcamShape"], "odd");
}

TEST(WebcamFollowUp, DecidesFromTheChangeAndThePayload) {
    struct Case {
        bool was, now;
        const char* payload;
        WebcamFollowUp expected;
    };
    const Case cases[] = {
        {false, true, R"({"webcamEnabled": true})", WebcamFollowUp::turnOn},
        {true, false, R"({"webcamEnabled": false, "webcamShape": "wide"})",
         WebcamFollowUp::turnOff},
        {true, true, R"({"webcamZoom": 1.5})", WebcamFollowUp::zoom},
        {true, true, R"({"webcamShape": "wide"})", WebcamFollowUp::rebuild},
        {true, true, R"({"webcamZoom": 1.5, "webcamRing": false})", WebcamFollowUp::rebuild},
        {true, true, R"({"webcamCorner": 7})", WebcamFollowUp::rebuild},
        {true, true, R"({"fps": 60})", WebcamFollowUp::none},
        {false, false, R"({"webcamShape": "wide", "webcamZoom": 2})", WebcamFollowUp::none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload);
        EXPECT_EQ(webcamFollowUp(c.was, c.now, Json::parse(c.payload)), c.expected);
    }
}

}  // namespace
}  // namespace marlune
