// "edit.exportRender" and "edit.exportCancel" through the real program on real movies.

#include <signal.h>

#include <cstdio>
#include <functional>

#include <gtest/gtest.h>

#include "integration/child_commands.h"
#include "support/ffmpeg_tool.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using namespace test;

// Reads until a progress event whose value passes `wanted`; fails if a reply comes first.
void waitForProgress(
    BridgeProcess& p, const std::function<bool(double)>& wanted = [](double) { return true; }) {
    for (bool seen = false; !seen;) {
        auto line = p.readLine(std::chrono::seconds(30));
        ASSERT_TRUE(line) << "no progress";
        auto s = test::parseScriptLine(*line);
        ASSERT_NE(s.kind, test::ScriptLine::Kind::reply) << *line;
        seen = s.kind == test::ScriptLine::Kind::event && s.value["name"] == "exportProgress" &&
               wanted(s.value["data"]["value"].get<double>());
    }
}

// Starts the export `id` of the whole of Long.mp4 (20 s), styled, and waits until it runs.
void startStyledExport(BridgeProcess& p, const std::string& id) {
    p.send(id, "edit.exportRender",
           {{"name", "Long.mp4"},
            {"startMs", 0},
            {"endMs", 20000},
            {"frame", {{"type", "color"}, {"hex", "#336699"}}}});
    ASSERT_NO_FATAL_FAILURE(waitForProgress(p));
}

// Cancelled, killed (the next launch removes its temporary) or quit while one runs: no movie.
TEST(ExportCommands, CancelKillOrQuitDuringAnExportLeavesNoFile) {
    TempDir home;
    fs::path dir = recordings(home);
    ASSERT_TRUE(test::makeMovie(dir / "Long.mp4", 20.0, 640, 360));
    {
        BridgeProcess p({.home = home.path()});
        ASSERT_TRUE(p.request("ready", "app.ready"));
        ASSERT_NO_FATAL_FAILURE(startStyledExport(p, "export"));
        EXPECT_EQ(resultOf(p.request("cancel", "edit.exportCancel")), Json::object());
        EXPECT_EQ(resultOf(replyTo(p, "export")), Json({{"cancelled", true}}));
        for (const auto& e : p.events) EXPECT_NE(e["name"], "saved");
        EXPECT_EQ(allNames(dir), std::vector<std::string>{"Long.mp4"});

        ASSERT_NO_FATAL_FAILURE(startStyledExport(p, "again"));
        // While it runs the movie being written is no recording yet.
        EXPECT_EQ(test::listedNames(p.request("list", "library.list")),
                  std::vector<std::string>{"Long.mp4"});
        p.signal(SIGKILL);
        EXPECT_EQ(p.closeAndWait(), 128 + SIGKILL);
    }
    EXPECT_EQ(allNames(dir).size(), 2u) << "the kill left its hidden temporary";
    BridgeProcess next({.home = home.path()});
    ASSERT_TRUE(next.request("ready", "app.ready"));
    EXPECT_EQ(test::listedNames(next.request("list", "library.list")),
              std::vector<std::string>{"Long.mp4"});
    ASSERT_NO_FATAL_FAILURE(startStyledExport(next, "export"));
    next.signal(SIGTERM);
    EXPECT_EQ(next.closeAndWait(), 0);
    for (const auto& line : next.leftover) EXPECT_EQ(line.find("\"saved\""), std::string::npos);
    EXPECT_EQ(allNames(dir), std::vector<std::string>{"Long.mp4"}) << "neither temporary is left";
}

// Where the stream ends in the movie's time: its start plus its length.
std::optional<double> streamEnd(const fs::path& movie, const char* stream) {
    auto out =
        test::toolOutput({"ffprobe", "-v", "error", "-select_streams", stream, "-show_entries",
                          "stream=start_time,duration", "-of", "csv=p=0", movie.string()});
    double start = 0, length = 0;
    if (!out || std::sscanf(out->c_str(), "%lf,%lf", &start, &length) != 2) return std::nullopt;
    return start + length;
}

TEST(ExportCommands, ProgressSavedPayloadFittingAndCancelByName) {
    TempDir home;
    fs::path dir = recordings(home);
    ASSERT_TRUE(test::makeMovie(dir / "Demo.mp4", 2.0));
    ASSERT_TRUE(test::makeMovie(dir / "A.mp4", 10.0, 640, 360));
    ASSERT_TRUE(test::makeMovie(dir / "B.mp4", 1.0, 640, 360));
    BridgeProcess p({.home = home.path()});
    ASSERT_TRUE(p.request("ready", "app.ready"));

    // ---- Progress, then "saved", then the reply (the progress the page's bar shows, keyed on its
    // id, and the movie's size: tests/webdriver/test_editor.py).
    const Json payload = Json::parse(R"({
        "name": "Demo.mp4", "startMs": 250, "endMs": 1750, "targetHeight": 120, "progressId": "r-1",
        "zooms": [{"startMs": 300, "endMs": 1200, "scale": 2}, {"startMs": 0}],
        "frame": {"type": "gradient", "from": "#102030", "to": "#405060"},
        "cursor": {"path": [[0, 0.5, 0.5], [1500, 0.2, 0.3]], "clicks": [{"t": 500}]},
        "audio": {"mic": 0.5, "system": 1}
    })");
    auto reply = p.request("demo", "edit.exportRender", payload, std::chrono::seconds(60));
    ASSERT_TRUE(reply);
    ASSERT_EQ((*reply)["ok"], true) << reply->dump();
    EXPECT_EQ((*reply)["result"], Json({{"name", "Demo export.mp4"}}));

    auto named = [](const char* name) {
        return [name](const Json& e) { return e["name"] == name; };
    };
    auto saved = std::ranges::find_if(p.events, named("saved"));
    ASSERT_NE(saved, p.events.end()) << "saved was emitted before the reply";
    EXPECT_EQ((*saved)["data"], Json({{"name", "Demo export.mp4"}, {"durationMs", 1500}}));
    EXPECT_TRUE(std::ranges::none_of(saved, p.events.end(), named("exportProgress")));
    // The page's bar: rising from 0 to 0.98, each event keyed on the export's id.
    std::vector<double> progress;
    for (auto e = p.events.begin(); e != saved; ++e) {
        if (!named("exportProgress")(*e)) continue;
        EXPECT_EQ((*e)["data"]["id"], "r-1");
        progress.push_back((*e)["data"]["value"].get<double>());
    }
    ASSERT_GE(progress.size(), 10u);
    EXPECT_TRUE(std::ranges::is_sorted(progress));
    EXPECT_EQ(std::pair(progress.front(), progress.back()), std::pair(0.0, 0.98));

    // ---- Payloads are checked; ranges and gains are fitted to the recording
    struct Case {
        const char* payload;
        std::int64_t durationMs;  // of the movie made, 0 when refused
        const char* error = nullptr;
    };
    const Case cases[] = {
        {R"({"name":"Demo.mp4","startMs":0,"endMs":500.5})", 0, "Missing export parameters"},
        // The renderer's own refusals (its tests have them all) come back as they are.
        {R"({"name":"Demo.mp4","startMs":5000,"endMs":9000})", 0,
         "The range lies outside the recording."},
        // Time before the recording holds nothing: without the fitting it would be encoded as a
        // still picture and silence, for a day here.
        {R"({"name":"Demo.mp4","startMs":-86400000,"endMs":1000})", 1000},
        {R"({"name":"Demo.mp4","startMs":500,"endMs":86400000})", 1500},
        // Gains beyond any use are kept within 0 to 8 rather than overflowing the mixer.
        {R"({"name":"Demo.mp4","startMs":0,"endMs":1000,"audio":{"mic":1e39,"system":-5}})", 1000},
    };
    int id = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload);
        p.events.clear();
        auto answer = p.request(std::to_string(++id), "edit.exportRender", Json::parse(c.payload),
                                std::chrono::seconds(60));
        ASSERT_TRUE(answer) << "no answer in a minute";
        if (c.error) {
            EXPECT_EQ(test::errorOf(answer), c.error);
            continue;
        }
        ASSERT_EQ((*answer)["ok"], true) << answer->dump();
        const std::string name = (*answer)["result"]["name"];
        auto done = std::ranges::find_if(p.events, named("saved"));
        ASSERT_NE(done, p.events.end());
        EXPECT_EQ((*done)["data"]["durationMs"], c.durationMs);
        // Pictures and sound cover the same range, from the movie's start.
        for (const char* stream : {"v:0", "a:0"}) {
            EXPECT_NEAR(streamEnd(dir / name, stream).value_or(0), c.durationMs / 1000.0, 0.05)
                << stream;
        }
        fs::remove(dir / name);
    }
    EXPECT_EQ(resultOf(p.request("idle", "edit.exportCancel")), Json::object())
        << "nothing to cancel is fine";

    // ---- A cancel with a name reaches that export
    ASSERT_TRUE(test::ffmpeg(
        {"-i", (dir / "B.mp4").string(), "-c", "copy", (dir / "B export.mp4").string()}));
    const std::string styled = R"(,"frame":{"type":"color","hex":"#336699"}})";
    p.send("a", "edit.exportRender",
           Json::parse(R"({"name":"A.mp4","startMs":0,"endMs":10000)" + styled));
    ASSERT_NO_FATAL_FAILURE(waitForProgress(p, [](double v) { return v >= 0.05; }));
    // Started last, so a cancel without a name would reach it and not the first. Its progress
    // starts again from 0.
    p.send("b", "edit.exportRender",
           Json::parse(R"({"name":"B.mp4","startMs":0,"endMs":1000)" + styled));
    ASSERT_NO_FATAL_FAILURE(waitForProgress(p, [](double v) { return v < 0.05; }));
    auto cancel = p.request("c1", "edit.exportCancel", {{"name", "A.mp4"}});
    EXPECT_EQ((*cancel)["result"], Json::object());
    auto a = replyTo(p, "a");
    ASSERT_TRUE(a);
    EXPECT_EQ((*a)["result"], Json({{"cancelled", true}})) << a->dump();
    auto b = replyTo(p, "b");
    ASSERT_TRUE(b);
    EXPECT_EQ((*b)["result"], Json({{"name", "B export 2.mp4"}})) << b->dump();

    // By the name the reply would carry.
    p.send("again", "edit.exportRender",
           Json::parse(R"({"name":"A.mp4","startMs":0,"endMs":10000)" + styled));
    ASSERT_NO_FATAL_FAILURE(waitForProgress(p));
    ASSERT_TRUE(p.request("c2", "edit.exportCancel", {{"name", "A export.mp4"}}));
    auto again = replyTo(p, "again");
    ASSERT_TRUE(again);
    EXPECT_EQ((*again)["result"], Json({{"cancelled", true}})) << again->dump();
    EXPECT_EQ(p.closeAndWait(), 0);
    EXPECT_EQ(allNames(dir), (std::vector<std::string>{"A.mp4", "B export 2.mp4", "B export.mp4",
                                                       "B.mp4", "Demo export.mp4", "Demo.mp4"}));
}

}  // namespace
}  // namespace marlune
