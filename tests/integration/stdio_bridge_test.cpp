// Drives `marlune --stdio-bridge` as a child process, the way automation and the page would.

#include <gtest/gtest.h>

#include "support/bridge_process.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using namespace test;

TEST(StdioBridge, SettingsPersistAcrossRunsADamagedFileIsPutAsideAndUnsavedOnesAreReported) {
    TempDir home;
    {
        BridgeProcess p({.home = home.path()});
        p.sendRaw(R"({"id":"1","cmd":"app.ready"})");
        p.sendRaw(R"({"id":"2","cmd":"settings.set","payload":{"fps":24,"webcamZoom":5}})");
        EXPECT_EQ(p.closeAndWait(), 0);
        ASSERT_EQ(p.leftover.size(), 2u);
        auto ready = test::parseScriptLine(p.leftover[0]);
        auto set = test::parseScriptLine(p.leftover[1]);
        ASSERT_EQ(ready.kind, test::ScriptLine::Kind::reply) << p.leftover[0];
        EXPECT_EQ(ready.value["id"], "1");
        EXPECT_EQ(ready.value["ok"], true);
        EXPECT_EQ(ready.value["result"]["version"], "0.1.0");
        EXPECT_EQ(ready.value["result"]["settings"]["fps"], 30);
        EXPECT_EQ(set.value["result"]["fps"], 30);
        EXPECT_EQ(set.value["result"]["webcamZoom"], 2.0);
        EXPECT_TRUE(
            p.leftover[1].starts_with("window.__marluneDeliver({\"id\":\"2\",\"ok\":true,"));
    }
    {
        BridgeProcess p({.home = home.path()});
        p.sendRaw(R"({"id":"a","cmd":"settings.set","payload":{"fps":60,"cursorMode":"system"}})");
        auto get = p.request("b", "settings.get");
        ASSERT_TRUE(get);
        EXPECT_EQ((*get)["result"]["fps"], 60);
        EXPECT_EQ((*get)["result"]["webcamZoom"], 2.0);
        EXPECT_EQ((*get)["result"]["cursorMode"], "system");
        EXPECT_EQ(p.closeAndWait(), 0);
    }
    EXPECT_TRUE(fs::is_directory(home / "Videos/Marlune"))
        << "launch creates the recordings folder";
    EXPECT_TRUE(fs::exists(home / ".config/marlune/defaults.json"));

    // A damaged settings file does not stop the app: it is put aside and the defaults apply.
    test::writeFile(home / ".config/marlune/defaults.json", "{\"fps\": 60,,,");
    {
        BridgeProcess p({.home = home.path()});
        auto r = p.request("1", "settings.get");
        ASSERT_TRUE(r);
        EXPECT_EQ((*r)["result"]["fps"], 30);
        EXPECT_EQ(p.closeAndWait(), 0);
    }
    int aside = 0;
    for (auto& e : fs::directory_iterator(home / ".config/marlune")) {
        aside += e.path().filename().string().starts_with("defaults.json.corrupt-");
    }
    EXPECT_EQ(aside, 1);

    // Settings that cannot be saved (a file stands where the configuration folder should be) last
    // the run and are reported once.
    fs::remove_all(home / ".config");
    test::writeFile(home / ".config", "not a folder");
    BridgeProcess p({.home = home.path()});
    ASSERT_TRUE(p.request("ready", "app.ready"));
    auto set = p.request("1", "settings.set", {{"fps", 60}});
    ASSERT_TRUE(set);
    EXPECT_EQ((*set)["result"]["fps"], 60);
    ASSERT_TRUE(p.request("2", "settings.set", {{"micEnabled", false}}));
    auto get = p.request("3", "settings.get");
    EXPECT_EQ((*get)["result"]["fps"], 60);
    EXPECT_EQ((*get)["result"]["micEnabled"], false);
    EXPECT_EQ(p.closeAndWait(), 0);
    std::vector<std::string> errors;
    for (const auto& e : p.events) {
        if (e["name"] == "error") errors.push_back(e["data"]["message"]);
    }
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "Settings cannot be saved to " +
                             (home / ".config/marlune/defaults.json").string() +
                             ": Not a directory. Changes last until Marlune Studio quits.");
}

// Looks kept in the settings by two instances at once are all there.
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
