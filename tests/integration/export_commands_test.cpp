// "edit.exportRender" and "edit.exportCancel" through `marlune --stdio-bridge`, on movies made
// by the ffmpeg tool in the child's own recordings folder.

#include <signal.h>

#include <gtest/gtest.h>

#include "support/bridge_process.h"
#include "support/ffmpeg_tool.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::BridgeProcess;
using test::TempDir;

fs::path recordings(const TempDir& home) {
    fs::path dir = home / "Videos/Marlune";
    fs::create_directories(dir);
    return dir;
}

std::vector<std::string> movieNames(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// The reply to `id`, whether it came in while waiting for another one or arrives now.
std::optional<Json> replyTo(BridgeProcess& p, const std::string& id) {
    for (const auto& line : p.others) {
        auto s = test::parseScriptLine(line);
        if (s.kind == test::ScriptLine::Kind::reply && s.value.value("id", "") == id) {
            return s.value;
        }
    }
    return p.waitReply(id, std::chrono::seconds(60));
}

// Reads until the export has sent its first progress event; fails if it answers first.
void waitForProgress(BridgeProcess& p) {
    for (bool running = false; !running;) {
        auto line = p.readLine(std::chrono::seconds(30));
        ASSERT_TRUE(line) << "no progress";
        auto s = test::parseScriptLine(*line);
        ASSERT_NE(s.kind, test::ScriptLine::Kind::reply) << *line;
        running = s.kind == test::ScriptLine::Kind::event && s.value["name"] == "exportProgress";
    }
}

TEST(ExportCommands, PayloadRules) {
    TempDir home;
    fs::path dir = recordings(home);
    ASSERT_TRUE(test::makeMovie(dir / "Clip.mp4", 1.0));
    BridgeProcess p({.home = home.path()});
    struct Case {
        const char* payload;
        const char* error;
    };
    const Case cases[] = {
        {R"({"startMs":0,"endMs":500})", "Missing export parameters"},
        {R"({"name":"Clip.mp4","startMs":"0","endMs":500})", "Missing export parameters"},
        {R"({"name":"Clip.mp4","startMs":0,"endMs":500.5})", "Missing export parameters"},
        {R"({"name":7,"startMs":0,"endMs":500})", "Missing export parameters"},
        // The renderer's own refusals come back as they are.
        {R"({"name":"../Clip.mp4","startMs":0,"endMs":500})", "Invalid file name."},
        {R"({"name":"Clip.mp4","startMs":0,"endMs":40})", "The cuts remove the entire clip."},
    };
    int id = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload);
        auto reply = p.request(std::to_string(++id), "edit.exportRender", Json::parse(c.payload));
        ASSERT_TRUE(reply);
        EXPECT_EQ((*reply)["ok"], false);
        EXPECT_EQ((*reply)["error"]["message"], c.error);
    }
    auto cancel = p.request("idle", "edit.exportCancel");
    ASSERT_TRUE(cancel);
    EXPECT_EQ((*cancel)["result"], Json::object()) << "nothing to cancel is fine";
    EXPECT_EQ(p.closeAndWait(), 0);
    EXPECT_EQ(movieNames(dir), std::vector<std::string>{"Clip.mp4"});
}

TEST(ExportCommands, ProgressThenSavedThenTheReply) {
    TempDir home;
    fs::path dir = recordings(home);
    ASSERT_TRUE(test::makeMovie(dir / "Demo.mp4", 2.0));
    BridgeProcess p({.home = home.path()});
    ASSERT_TRUE(p.request("ready", "app.ready"));
    const Json payload = Json::parse(R"({
        "name": "Demo.mp4", "startMs": 250, "endMs": 1750, "targetHeight": 120,
        "zooms": [{"startMs": 300, "endMs": 1200, "scale": 2}, {"startMs": 0}],
        "frame": {"type": "gradient", "from": "#102030", "to": "#405060"},
        "cursor": {"path": [[0, 0.5, 0.5], [1500, 0.2, 0.3]], "clicks": [{"t": 500}]},
        "audio": {"mic": 0.5, "system": 1}
    })");
    auto reply = p.request("1", "edit.exportRender", payload, std::chrono::seconds(60));
    ASSERT_TRUE(reply);
    ASSERT_EQ((*reply)["ok"], true) << reply->dump();
    EXPECT_EQ((*reply)["result"], Json({{"name", "Demo export.mp4"}}));

    std::vector<double> progress;
    int savedAt = -1;
    for (std::size_t i = 0; i < p.events.size(); ++i) {
        const Json& e = p.events[i];
        if (e["name"] == "exportProgress") {
            EXPECT_EQ(savedAt, -1) << "progress after saved";
            progress.push_back(e["data"]["value"].get<double>());
        } else if (e["name"] == "saved") {
            savedAt = static_cast<int>(i);
            EXPECT_EQ(e["data"], Json({{"name", "Demo export.mp4"}, {"durationMs", 1500}}));
        }
    }
    EXPECT_NE(savedAt, -1) << "saved was emitted before the reply";
    ASSERT_GE(progress.size(), 10u);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(progress.front(), 0.0);
    EXPECT_EQ(progress.back(), 0.98);
    EXPECT_EQ(p.closeAndWait(), 0);

    auto size = test::toolOutput({"ffprobe", "-v", "error", "-select_streams", "v:0",
                                  "-show_entries", "stream=width,height", "-of", "csv=p=0",
                                  (dir / "Demo export.mp4").string()});
    EXPECT_EQ(size.value_or(""), "212,120\n");
}

TEST(ExportCommands, CancelRepliesCancelledAndLeavesNoFile) {
    TempDir home;
    fs::path dir = recordings(home);
    ASSERT_TRUE(test::makeMovie(dir / "Long.mp4", 8.0, 640, 360));
    BridgeProcess p({.home = home.path()});
    ASSERT_TRUE(p.request("ready", "app.ready"));
    p.send("export", "edit.exportRender",
           Json::parse(R"({"name":"Long.mp4","startMs":0,"endMs":8000,
                           "frame":{"type":"color","hex":"#336699"}})"));
    ASSERT_NO_FATAL_FAILURE(waitForProgress(p));
    auto cancel = p.request("cancel", "edit.exportCancel");
    ASSERT_TRUE(cancel);
    EXPECT_EQ((*cancel)["result"], Json::object());
    auto reply = replyTo(p, "export");
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)["ok"], true) << reply->dump();
    EXPECT_EQ((*reply)["result"], Json({{"cancelled", true}}));
    EXPECT_EQ(p.closeAndWait(), 0);
    for (const auto& line : p.leftover) {
        EXPECT_EQ(line.find("\"saved\""), std::string::npos) << line;
    }
    EXPECT_EQ(movieNames(dir), std::vector<std::string>{"Long.mp4"});
}

TEST(ExportCommands, QuittingDuringAnExportLeavesNoPartialMovie) {
    TempDir home;
    fs::path dir = recordings(home);
    ASSERT_TRUE(test::makeMovie(dir / "Long.mp4", 20.0, 640, 360));
    BridgeProcess p({.home = home.path()});
    ASSERT_TRUE(p.request("ready", "app.ready"));
    p.send("export", "edit.exportRender",
           Json::parse(R"({"name":"Long.mp4","startMs":0,"endMs":20000,
                           "frame":{"type":"color","hex":"#336699"}})"));
    ASSERT_NO_FATAL_FAILURE(waitForProgress(p));
    p.signal(SIGTERM);
    EXPECT_EQ(p.closeAndWait(), 0);
    EXPECT_EQ(movieNames(dir), std::vector<std::string>{"Long.mp4"});
}

}  // namespace
}  // namespace marlune
