// Settings and looks kept by the real program across runs and instances.

#include <gtest/gtest.h>

#include "integration/child_commands.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using namespace test;

TEST(StdioBridge, SettingsPersistADamagedFileGivesTheDefaultsAndUnsavedOnesAreReported) {
    TempDir home;
    const fs::path file = home / ".config/marlune/defaults.json";
    {
        // Lines sent just before the input ends are still answered, in the page's envelope.
        BridgeProcess p({.home = home.path()});
        p.sendRaw(R"({"id":"1","cmd":"app.ready"})");
        p.sendRaw(R"({"id":"2","cmd":"settings.set","payload":{"fps":60,"webcamZoom":5}})");
        EXPECT_EQ(p.closeAndWait(), 0);
        ASSERT_EQ(p.leftover.size(), 2u);
        const Json ready = parseScriptLine(p.leftover[0]).value;
        // A fresh user's settings, in their own order.
        EXPECT_EQ(ready["result"]["settings"].dump(),
                  R"({"fps":30,"capHeight":1440,"micEnabled":true,"systemAudioEnabled":false,)"
                  R"("webcamEnabled":false,"webcamCorner":"br","webcamSize":"m","webcamRing":true,)"
                  R"("webcamShape":"squircle","webcamZoom":1.0,"hideWindow":false,)"
                  R"("showCursor":true,"cursorMode":"smooth","micInput":"","countdown":3,)"
                  R"("recordAllKeys":false})");
        EXPECT_EQ(parseScriptLine(p.leftover[1]).value["result"]["webcamZoom"], 2.0);
    }
    EXPECT_TRUE(fs::is_directory(home / "Videos/Marlune"))
        << "launch creates the recordings folder";
    // {what the file holds before the launch, fps read back}.
    const std::pair<const char*, int> runs[] = {{nullptr, 60}, {"{\"fps\": 60,,,", 30}};
    for (const auto& [content, fps] : runs) {
        if (content) writeFile(file, content);
        BridgeProcess p({.home = home.path()});
        EXPECT_EQ(resultOf(p.request("1", "settings.get"))["fps"], fps) << (content ? content : "");
        EXPECT_EQ(p.closeAndWait(), 0);
    }

    // A file stands where the configuration folder should be: settings last the run and the
    // failure is reported once.
    fs::remove_all(home / ".config");
    writeFile(home / ".config", "not a folder");
    BridgeProcess p({.home = home.path()});
    ASSERT_TRUE(p.request("ready", "app.ready"));
    EXPECT_EQ(resultOf(p.request("1", "settings.set", {{"fps", 60}}))["fps"], 60);
    ASSERT_TRUE(p.request("2", "settings.set", {{"micEnabled", false}}));
    const Json got = resultOf(p.request("3", "settings.get"));
    EXPECT_EQ(std::pair(got["fps"], got["micEnabled"]), std::pair(Json(60), Json(false)));
    EXPECT_EQ(p.closeAndWait(), 0);
    std::vector<std::string> errors;
    for (const auto& e : p.events) {
        if (e["name"] == "error") errors.push_back(e["data"]["message"]);
    }
    EXPECT_EQ(errors, std::vector<std::string>{"Settings cannot be saved to " + file.string() +
                                               ": Not a directory. Changes last until Marlune "
                                               "Studio quits."});
}

TEST(StdioBridge, LooksKeptByTwoInstancesAtOnceAreAllThere) {
    TempDir home;
    BridgeProcess one({.home = home.path()}), two({.home = home.path()});
    ASSERT_TRUE(one.request("ready", "app.ready") && two.request("ready", "app.ready"));
    int id = 0;
    auto send = [&](BridgeProcess& p, const char* cmd, const char* payload) {
        auto reply = p.request(std::to_string(++id), cmd, Json::parse(payload));
        EXPECT_TRUE(reply) << cmd;
        return reply ? *reply : Json();
    };
    // Both read the settings, then each keeps looks of its own.
    send(one, "looks.get", "{}");
    send(two, "looks.get", "{}");
    send(one, "looks.save", R"({"name": " Talk ", "look": {"shape": "9:16", "other": 1}})");
    send(two, "looks.save", R"({"name": "Demo", "look": {"cursor": {"size": 3}}})");
    send(two, "looks.save", R"({"default": true, "look": {"shape": "1:1"}})");
    EXPECT_EQ(send(one, "looks.get", "{}")["result"], Json::parse(R"({
        "defaultLook": {"shape": "1:1"},
        "looks": [{"name": "Demo", "look": {"cursor": {"size": 3}}},
                  {"name": "Talk", "look": {"shape": "9:16"}}]})"));

    const std::pair<const char*, const char*> refusals[] = {
        {R"({"name": "   ", "look": {}})", "A look needs a name."},
        {R"({"name": "x", "look": [1]})",
         "A look holds the edit's frame, cursor, webcam and shape."},
    };
    for (const auto& [payload, error] : refusals) {
        EXPECT_EQ(send(one, "looks.save", payload)["error"]["message"], error) << payload;
    }
    send(two, "looks.delete", R"({"name": "Talk"})");
    EXPECT_EQ(send(one, "looks.delete", R"({"default": true})")["result"], Json::parse(R"({
        "defaultLook": null, "looks": [{"name": "Demo", "look": {"cursor": {"size": 3}}}]})"));
    EXPECT_EQ(one.closeAndWait(), 0);
    EXPECT_EQ(two.closeAndWait(), 0);
}

}  // namespace
}  // namespace marlune
