// "edit.previewFrame" through `marlune --stdio-bridge`, on a movie made by the ffmpeg tool in the
// child's own recordings folder.

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

// The tracks sent once by "edit.previewTracks" make the same picture as a request carrying them.
TEST(PreviewTracks, SentOnceTheyDrawAsIfEachRequestCarriedThem) {
    TempDir home;
    const fs::path dir = home / "Videos/Marlune";
    fs::create_directories(dir);
    ASSERT_TRUE(test::makeMovie(dir / "Demo.mp4", 2.0, 640, 360));
    BridgeProcess p({.home = home.path()});
    ASSERT_TRUE(p.request("ready", "app.ready"));

    Json path = Json::array();
    for (int i = 0; i < 60; ++i) path.push_back({i * 33, 0.2 + i * 0.01, 0.3 + i * 0.005, 0});
    const Json clicks = Json::array({{{"t", 900}, {"fx", 0.6}, {"fy", 0.45}}});
    Json edit = Json::parse(R"({"name":"Demo.mp4","startMs":0,"endMs":2000,"maxWidth":320,
        "tMs":1000,"zooms":[{"startMs":200,"endMs":1800,"scale":2,"follow":true}],
        "cursor":{"caret":[],"size":3,"style":"dot","render":true,"ripple":true}})");
    Json full = edit;
    full["cursor"]["path"] = path;
    full["cursor"]["clicks"] = clicks;

    int id = 0;
    auto result = [&](const char* cmd, const Json& payload) {
        auto reply = p.request(std::to_string(++id), cmd, payload);
        EXPECT_TRUE(reply && (*reply)["ok"] == true) << cmd << (reply ? reply->dump() : "");
        return reply ? (*reply)["result"] : Json();
    };
    const Json wanted = result("edit.previewFrame", full);
    ASSERT_TRUE(wanted.contains("image")) << wanted.dump();

    struct Step {
        const char* label;
        const char* tracksFor;  // "edit.previewTracks" sent first for this name, or none
        bool drawn;             // otherwise {"needsTracks": true}
    };
    const Step steps[] = {
        {"nothing sent yet", nullptr, false},
        {"another recording's tracks", "Other.mp4", false},
        {"this recording's tracks", "Demo.mp4", true},
        {"still held for the next picture", nullptr, true},
        {"replaced by another recording's", "Other.mp4", false},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.label);
        if (s.tracksFor) {
            result("edit.previewTracks",
                   {{"name", s.tracksFor}, {"path", path}, {"clicks", clicks}});
        }
        const Json got = result("edit.previewFrame", edit);
        if (s.drawn) {
            EXPECT_EQ(got, wanted);
        } else {
            EXPECT_EQ(got, Json({{"needsTracks", true}}));
        }
    }
    EXPECT_EQ(p.closeAndWait(), 0);
}

// Each export's "exportProgress" events carry the "progressId" its command gave, so that the
// page can tell two exports running together apart.
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
