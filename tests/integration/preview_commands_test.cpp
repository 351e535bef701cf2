// "edit.previewFrame" through `marlune --stdio-bridge`, on a movie made by the ffmpeg tool in the
// child's own recordings folder.

#include <gtest/gtest.h>

#include "support/bridge_process.h"
#include "support/ffmpeg_tool.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::BridgeProcess;
using test::TempDir;

TEST(PreviewCommands, RepliesRefusalsAndOvertakenRequests) {
    TempDir home;
    const fs::path dir = home / "Videos/Marlune";
    fs::create_directories(dir);
    ASSERT_TRUE(test::makeMovie(dir / "Demo.mp4", 2.0, 640, 360));
    BridgeProcess p({.home = home.path()});
    ASSERT_TRUE(p.request("ready", "app.ready"));

    struct Case {
        const char* payload;
        const char* error;
    };
    const Case refusals[] = {
        {R"({"name":"Demo.mp4","startMs":0,"endMs":1000})", "Missing export parameters"},
        {R"({"name":"Demo.mp4","startMs":0,"tMs":10})", "Missing export parameters"},
        {R"({"name":"../Demo.mp4","startMs":0,"endMs":1000,"tMs":10})", "Invalid file name."},
        {R"({"name":"Demo.mp4","startMs":900,"endMs":100,"tMs":10})", "Export range is empty."},
    };
    int id = 0;
    for (const auto& c : refusals) {
        SCOPED_TRACE(c.payload);
        auto reply = p.request(std::to_string(++id), "edit.previewFrame", Json::parse(c.payload));
        ASSERT_TRUE(reply);
        EXPECT_EQ((*reply)["ok"], false);
        EXPECT_EQ((*reply)["error"]["message"], c.error);
    }

    const Json edit = Json::parse(R"({"name":"Demo.mp4","startMs":0,"endMs":2000,"maxWidth":320,
        "frame":{"type":"color","hex":"#336699"},
        "zooms":[{"startMs":200,"endMs":1800,"scale":2}]})");
    Json payload = edit;
    payload["tMs"] = 1010;
    auto reply = p.request("one", "edit.previewFrame", payload);
    ASSERT_TRUE(reply);
    ASSERT_EQ((*reply)["ok"], true) << reply->dump();
    const Json& result = (*reply)["result"];
    EXPECT_TRUE(result["image"].get<std::string>().starts_with("data:image/jpeg;base64,"));
    EXPECT_EQ(result["width"], 320);
    EXPECT_EQ(result["height"], 180);
    EXPECT_DOUBLE_EQ(result["tMs"].get<double>(), 1000);

    // Scrubbing: many requests at once. Each gets one reply; all but the newest (and perhaps the
    // first, already under way) are overtaken.
    constexpr int kBurst = 8;
    for (int i = 0; i < kBurst; ++i) {
        payload["tMs"] = 100 + 200 * i;
        p.send("scrub" + std::to_string(i), "edit.previewFrame", payload);
    }
    auto last = p.waitReply("scrub" + std::to_string(kBurst - 1), std::chrono::seconds(30));
    ASSERT_TRUE(last);
    EXPECT_TRUE((*last)["result"].contains("image")) << last->dump();
    EXPECT_EQ(p.closeAndWait(), 0);
    int superseded = 0, replies = 0;
    std::vector<std::string> lines = p.others;
    lines.insert(lines.end(), p.leftover.begin(), p.leftover.end());
    for (const auto& line : lines) {
        auto s = test::parseScriptLine(line);
        if (s.kind != test::ScriptLine::Kind::reply) continue;
        if (!s.value.value("id", "").starts_with("scrub")) continue;
        ++replies;
        EXPECT_EQ(s.value["ok"], true) << line;
        if (s.value["result"] == Json({{"superseded", true}})) ++superseded;
    }
    EXPECT_EQ(replies, kBurst - 1) << "one reply for each earlier request";
    EXPECT_GE(superseded, kBurst - 2);
}

}  // namespace
}  // namespace marlune
