// "exportProgress" events through `marlune --stdio-bridge`: each carries the "progressId" its
// command gave, so that the page can tell two exports running together apart.

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
using namespace std::chrono_literals;

TEST(ExportProgressId, EachExportsEventsCarryItsOwnId) {
    TempDir home;
    const fs::path dir = home / "Videos/Marlune";
    fs::create_directories(dir);
    ASSERT_TRUE(test::makeMovie(dir / "Demo.mp4", 2.0, 640, 360));
    BridgeProcess p({.home = home.path()});
    ASSERT_TRUE(p.request("ready", "app.ready"));

    // With an id, and (as always before) without one.
    for (const char* payload :
         {R"({"name":"Demo.mp4","startMs":0,"endMs":2000,"progressId":"r-1"})",
          R"({"name":"Demo.mp4","startMs":0,"endMs":1000})"}) {
        auto reply = p.request("render", "edit.exportRender", Json::parse(payload), 120s);
        ASSERT_TRUE(reply && (*reply)["ok"] == true) << (reply ? reply->dump() : "");
    }
    std::set<std::string> ids;
    for (const Json& e : p.events) {
        if (e["name"] != "exportProgress") continue;
        const Json& data = e["data"];
        ids.insert(data.contains("id") ? data["id"].get<std::string>() : "(none)");
        EXPECT_EQ(data.size(), data.contains("id") ? 2u : 1u) << data.dump();
    }
    EXPECT_EQ(ids, (std::set<std::string>{"r-1", "(none)"}));
    EXPECT_EQ(p.closeAndWait(), 0);
}

}  // namespace
}  // namespace marlune
