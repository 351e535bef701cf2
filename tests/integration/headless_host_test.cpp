// The headless host: only script lines out, every readable id answered, shell and record options.

#include <gtest/gtest.h>

#include "integration/child_commands.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using namespace test;

TEST(HeadlessHost, ScriptLinesShellCommandsRecordOptionsAndAutoZoom) {
    TempDir home;
    const std::string project =
        R"({"version":1,"clicks":[{"t":5000,"fx":0.3,"fy":0.4}],"cursorPath":[[0,0.5,0.5,0]]})";
    writeFile(recordings(home) / "Take.mp4.marlune.json", project);
    writeFile(recordings(home) / "Broken.mp4.marlune.json", "{not json");
    // Stored by hand, of other kinds than the settings': read as a defaults object reads them.
    writeFile(home / ".config/marlune/defaults.json",
              R"({"fps": "60", "capHeight": "tall", "micEnabled": 0, "webcamCorner": 5,
                  "webcamShape": "odd"})");
    // An input that is not a video node (here FFmpeg's test picture) is not "Not set up" while the
    // bubble shows it.
    BridgeProcess p({.home = home.path(),
                     .env = {{"MARLUNE_WEBCAM_INPUT_FORMAT", "lavfi"},
                             {"MARLUNE_WEBCAM_DEVICE", "testsrc2=size=320x240:rate=30"}}});
    // ---- Malformed lines produce nothing unless their id can be read
    for (const char* junk : {"", "not json", "[1,2]", "42", "null", R"({"id":3,"cmd":"app.ready"})",
                             R"({"id":"x"})", R"({"cmd":"settings.get"})", R"({"id":"y","cmd":7})",
                             "{\"id\":\"1\",\"cmd\":\"app.ready\""}) {
        p.sendRaw(junk);
    }
    p.sendRaw(R"({"id":"u","cmd":"recording.rewind","payload":{"sourceKind":"display"}})");
    auto ignored = p.request("e", "settings.get", "ignored");
    ASSERT_TRUE(ignored);
    EXPECT_EQ((*ignored)["result"].dump(),
              R"({"fps":60,"capHeight":0,"micEnabled":false,"systemAudioEnabled":false,)"
              R"("webcamEnabled":false,"webcamCorner":"br","webcamSize":"m","webcamRing":true,)"
              R"("webcamShape":"odd","webcamZoom":1.0,"hideWindow":false,"showCursor":true,)"
              R"("cursorMode":"smooth","micInput":"","countdown":3,"recordAllKeys":false})")
        << "a payload that is no object is ignored";
    EXPECT_TRUE(p.events.empty());
    ASSERT_EQ(p.others.size(), 2u);
    // The cut-off line still names its id: the page is not left waiting for ever.
    auto cut = test::parseScriptLine(p.others[0]).value;
    EXPECT_EQ(std::pair(cut["id"], cut["ok"]), std::pair(Json("1"), Json(false)));
    EXPECT_EQ(
        p.others[1],
        R"(window.__marluneDeliver({"id":"u","ok":false,"error":{"code":"unknown_command","message":"Unknown command: recording.rewind"}}))");
    p.others.clear();

    // ---- The shell's commands (the media server: the library's listing test and tests/bridge)
    ASSERT_TRUE(p.request("ready", "app.ready"));
    // No window to act on: the window commands answer all the same, and nobody can be asked to
    // confirm, so the answer is no, at once.
    const std::tuple<const char*, Json, Json> commands[] = {
        {"app.setBarMode", {{"on", true}, {"w", 420}, {"h", 64}}, Json::object()},
        {"app.confirm", {{"title", "Delete?"}, {"okLabel", "Delete"}}, {{"ok", false}}},
    };
    for (const auto& [cmd, payload, expected] : commands) {
        auto reply = p.request(cmd, cmd, payload);
        ASSERT_TRUE(reply) << cmd;
        EXPECT_EQ((*reply)["result"], expected) << cmd;
    }
    // Nor a display to list sources on: said plainly; a preview finds nothing (a missing source
    // is no error), unless it names no source. The pictures on a desktop: tests/desktop and
    // tests/webdriver.
    EXPECT_EQ(errorOf(p.request("list", "sources.list")), "Cannot connect to the X display.");
    auto preview =
        p.request("preview", "sources.preview", {{"sourceKind", "window"}, {"sourceID", 7}});
    EXPECT_EQ(resultOf(preview), (Json{{"thumb", nullptr}}));
    for (const char* payload : {R"({"sourceID":1})", R"({"sourceKind":"display","sourceID":"1"})",
                                R"({"sourceKind":"display","sourceID":-1})", "null"}) {
        EXPECT_EQ(errorOf(p.request(payload, "sources.preview", Json::parse(payload))),
                  "Missing source for preview")
            << payload;
    }

    // ---- The record screen's options
    EXPECT_EQ(resultOf(p.request("camera", "permissions.status"))["camera"], "granted");
    // {payload, settings read back}: each applied in turn; values of the wrong kind or out of
    // range are ignored or brought into range.
    const std::pair<const char*, const char*> options[] = {
        {R"({"countdown": 5, "micInput": "alsa_input.usb-headset"})",
         R"({"countdown": 5, "micInput": "alsa_input.usb-headset"})"},
        {R"({"countdown": 0})", R"({"countdown": 0})"},
        {R"({"countdown": 4})", R"({"countdown": 3})"},
        {R"({"countdown": "5", "micInput": 7})",
         R"({"countdown": 3, "micInput": "alsa_input.usb-headset"})"},
        {R"({"fps": 24})", R"({"fps": 30})"},
        {R"({"webcamShape": "wide"})", R"({"webcamShape": "wide"})"},
        {R"({"webcamShape": "hexagon"})", R"({"webcamShape": "squircle"})"},
        {R"({"webcamZoom": 5})", R"({"webcamZoom": 2.0})"},
        {R"({"webcamZoom": 0.5})", R"({"webcamZoom": 1.0})"},
        {R"({"webcamZoom": 1.25})", R"({"webcamZoom": 1.25})"},
        {R"({"cursorMode": "system", "showCursor": false})",
         R"({"cursorMode": "system", "showCursor": false})"},
        {R"({"unknown": 1, "cursorMode": null})", R"({"cursorMode": "system"})"},
    };
    int id = 0;
    for (const auto& [payload, expected] : options) {
        SCOPED_TRACE(payload);
        Json stored = resultOf(
            p.request("options" + std::to_string(++id), "settings.set", Json::parse(payload)));
        const Json wanted = Json::parse(expected);
        for (const auto& [key, value] : wanted.items()) {
            EXPECT_EQ(stored[key], value) << key;
        }
    }

    // ---- "edit.autoZoom" proposes from the project file and saves nothing (how:
    // tests/render/auto_zoom_test.cpp)
    struct Case {
        const char* payload;
        const char* error;  // nullptr: success with `zooms`
        const char* zooms;
    };
    const Case cases[] = {
        {"{}", "Missing file name", nullptr},
        // The recording ends before the zoom would: it stops at the end.
        {R"({"name":"Take.mp4","durationMs":6000})", nullptr,
         R"([{"startMs":3462,"endMs":6000,"scale":2.5,"fx":0.3,"fy":0.4,"follow":true,)"
         R"("inMs":1522.575,"outMs":1015.05,"typing":false}])"},
        {R"({"name":"Broken.mp4"})", nullptr, "[]"},
        {R"({"name":"../Take.mp4"})", nullptr, "[]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload);
        auto reply =
            p.request("zoom" + std::to_string(++id), "edit.autoZoom", Json::parse(c.payload));
        if (c.error) {
            EXPECT_EQ(errorOf(reply), c.error);
        } else {
            EXPECT_EQ(resultOf(reply), (Json{{"zooms", Json::parse(c.zooms)}}));
        }
    }
    EXPECT_EQ(test::readFile(recordings(home) / "Take.mp4.marlune.json"), project);
    EXPECT_EQ(test::allNames(recordings(home)),
              (std::vector<std::string>{"Broken.mp4.marlune.json", "Take.mp4.marlune.json"}));

    // ---- Every line with a readable id is answered
    const std::string deep(100'000, '[');
    struct Line {
        const char* id;
        std::string line;
        std::optional<std::string> error;  // the start of the message; success otherwise
        const char* key = nullptr;         // a setting the command changed, and its value
        Json value = nullptr;
    };
    const Line lines[] = {
        // Nested far too deep: refused before anything walks it.
        {"deep",
         R"({"id":"deep","cmd":"project.save","payload":{"name":"a.mp4","data":{"x":)" + deep +
             "}}",
         "The command could not be read. The JSON is nested more than 256 levels deep."},
        // What the page's JSON.stringify writes for a string cut inside a surrogate pair.
        {"lone", R"({"id":"lone","cmd":"settings.set","payload":{"webcamCorner":"b\ud83d"}})",
         std::nullopt, "webcamCorner", "b\xEF\xBF\xBD"},
        // A number beyond a double counts as missing: the zoom set above stays.
        {"huge", R"({"id":"huge","cmd":"settings.set","payload":{"webcamZoom":1e999}})",
         std::nullopt, "webcamZoom", 1.25},
        {"bytes", "{\"id\":\"bytes\",\"cmd\":\"settings.get\",\"payload\":{\"s\":\"\xff\"}}",
         "The command could not be read. Invalid JSON: "},
    };
    for (const auto& c : lines) {
        SCOPED_TRACE(c.id);
        p.sendRaw(c.line);
        auto reply = p.waitReply(c.id);
        ASSERT_TRUE(reply) << "no answer";
        if (c.error) {
            EXPECT_EQ((*reply)["ok"], false);
            EXPECT_TRUE((*reply)["error"]["message"].get<std::string>().starts_with(*c.error))
                << (*reply)["error"]["message"];
        } else {
            ASSERT_EQ((*reply)["ok"], true) << reply->dump();
            EXPECT_EQ((*reply)["result"][c.key], c.value);
        }
    }
    EXPECT_EQ(p.closeAndWait(), 0);
    EXPECT_TRUE(p.others.empty());
    EXPECT_FALSE(fs::exists(home / "Videos/Marlune/a.mp4.marlune.json"));
}

}  // namespace
}  // namespace marlune
