// "exportProgress" events of two exports running together, through
// `marlune --stdio-bridge`: each carries the "progressId" its command gave, so the page can tell
// them apart.

#include <set>

#include <gtest/gtest.h>

#include "support/bridge_process.h"
#include "support/ffmpeg_tool.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::BridgeProcess;
using test::TempDir;

TEST(ExportProgressId, EachExportsEventsCarryItsOwnId) {
    TempDir home;
    const fs::path dir = home / "Videos/Marlune";
    fs::create_directories(dir);
    ASSERT_TRUE(test::makeMovie(dir / "Demo.mp4", 2.0, 640, 360));
    BridgeProcess p({.home = home.path()});
    ASSERT_TRUE(p.request("ready", "app.ready"));

    p.send("render", "edit.exportRender",
           Json::parse(R"({"name":"Demo.mp4","startMs":0,"endMs":2000,"progressId":"r-1",
                           "frame":{"type":"color","hex":"#336699"},"targetHeight":480})"));
    p.send("second", "edit.exportRender",
           Json::parse(R"({"name":"Demo.mp4","startMs":500,"endMs":2000,"progressId":"r-2"})"));
    // Whichever answers first, the other's reply may be read while waiting for it.
    auto replyTo = [&](const std::string& id) -> std::optional<Json> {
        for (const auto& line : p.others) {
            auto s = test::parseScriptLine(line);
            if (s.kind == test::ScriptLine::Kind::reply && s.value.value("id", "") == id) {
                return s.value;
            }
        }
        return p.waitReply(id, std::chrono::seconds(120));
    };
    for (const char* id : {"render", "second"}) {
        auto reply = replyTo(id);
        ASSERT_TRUE(reply && (*reply)["ok"] == true) << id << (reply ? reply->dump() : "");
    }
    // Without an id, the events are as they always were.
    auto plain = p.request("plain", "edit.exportRender",
                           Json::parse(R"({"name":"Demo.mp4","startMs":0,"endMs":1000})"),
                           std::chrono::seconds(120));
    ASSERT_TRUE(plain && (*plain)["ok"] == true);

    std::set<std::string> ids;
    for (const Json& e : p.events) {
        if (e["name"] != "exportProgress") continue;
        const Json& data = e["data"];
        ids.insert(data.contains("id") ? data["id"].get<std::string>() : "(none)");
        EXPECT_EQ(data.size(), data.contains("id") ? 2u : 1u) << data.dump();
    }
    EXPECT_EQ(ids, (std::set<std::string>{"r-1", "r-2", "(none)"}));
    EXPECT_EQ(p.closeAndWait(), 0);
}

}  // namespace
}  // namespace marlune
