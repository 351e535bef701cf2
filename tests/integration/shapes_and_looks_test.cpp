// Output shapes and the editor's looks through the real program: a vertical preview and a vertical
// `marlune export` of a one-colour recording, the refusals of a shape that does not exist, and
// looks kept in the settings by two instances at once.

#include <gtest/gtest.h>

#include "integration/child_commands.h"
#include "support/ffmpeg_tool.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::BridgeProcess;
using test::recordings;
using test::TempDir;
using namespace std::chrono_literals;

constexpr int kBlue[3] = {0x22, 0x66, 0xcc};

// A second-long 320 × 180 recording of one colour.
bool makeBlueMovie(const fs::path& path) {
    return test::ffmpeg({"-f", "lavfi", "-i", "color=c=0x2266cc:s=320x180:r=30", "-t", "1", "-c:v",
                         "libx264", "-pix_fmt", "yuv420p", path.string()});
}

// The colours of the middle column of a picture file (a still, or a movie at 0.5 s), top to
// bottom, as RGB triples; empty when it cannot be read.
std::vector<std::array<int, 3>> middleColumn(const fs::path& picture, int width, int height) {
    const fs::path raw = picture.string() + ".rgb";
    if (!test::ffmpeg({"-ss", "0.5", "-i", picture.string(), "-frames:v", "1", "-vf",
                       "crop=1:" + std::to_string(height) + ":" + std::to_string(width / 2) + ":0",
                       "-f", "rawvideo", "-pix_fmt", "rgb24", raw.string()})) {
        return {};
    }
    const std::string bytes = test::readFile(raw);
    std::vector<std::array<int, 3>> out;
    for (std::size_t i = 0; i + 2 < bytes.size(); i += 3) {
        out.push_back({static_cast<unsigned char>(bytes[i]), static_cast<unsigned char>(bytes[i + 1]),
                       static_cast<unsigned char>(bytes[i + 2])});
    }
    return out;
}

// A 180 × 320 picture: `bars` above row 100 and below row 220, the recording's blue between rows
// 115 and 205 (it is 180 × 101 in the middle).
void expectVertical(const std::vector<std::array<int, 3>>& column, const int (&bars)[3]) {
    ASSERT_EQ(column.size(), 320u);
    for (int y : {0, 50, 100, 220, 280, 319}) {
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(column[y][c], bars[c], 12) << "row " << y;
    }
    for (int y : {115, 160, 205}) {
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(column[y][c], kBlue[c], 12) << "row " << y;
    }
}

TEST(ShapesAndLooks, AVerticalPreviewHasBarsAndTheRecordingInTheMiddle) {
    TempDir home;
    const fs::path dir = recordings(home);
    ASSERT_TRUE(makeBlueMovie(dir / "Blue.mp4"));
    BridgeProcess p({.home = home.path()});
    ASSERT_TRUE(p.request("ready", "app.ready"));
    auto reply = p.request("one", "edit.previewFrame", Json::parse(R"({"name": "Blue.mp4",
        "startMs": 0, "endMs": 1000, "tMs": 500, "shape": "9:16",
        "frame": {"type": "color", "hex": "#ff8800", "paddingPct": 0, "radiusPct": 0,
                  "shadowPct": 0}})"));
    ASSERT_TRUE(reply && (*reply)["ok"] == true) << (reply ? reply->dump() : "");
    const Json& result = (*reply)["result"];
    EXPECT_EQ(result["width"], 180);
    EXPECT_EQ(result["height"], 320);
    const std::string url = result["image"];
    const std::string prefix = "data:image/jpeg;base64,";
    ASSERT_TRUE(url.starts_with(prefix));
    auto jpeg = test::toolOutput({"sh", "-c", "printf %s \"$0\" | base64 -d > \"$1\"",
                                  url.substr(prefix.size()), (home / "preview.jpg").string()});
    ASSERT_TRUE(jpeg);
    expectVertical(middleColumn(home / "preview.jpg", 180, 320), {0xff, 0x88, 0x00});
    EXPECT_EQ(p.closeAndWait(), 0);
}

// `marlune export` as a script runs it: the exit status, and what it said on standard error.
std::pair<int, std::string> runExport(const TempDir& home, std::vector<std::string> args) {
    TempDir scratch;
    BridgeProcess p({.home = home.path(),
                     .extraArgs = std::move(args),
                     .stderrFile = scratch / "stderr",
                     .args = {"export"},
                     .unsetEnv = {"WAYLAND_DISPLAY"}});
    const int status = p.closeAndWait(std::chrono::seconds(180));
    return {status, test::readFile(scratch / "stderr")};
}

TEST(ShapesAndLooks, TheCommandLineExportsAVerticalMovieAndRefusesUnknownShapes) {
    TempDir home;
    const fs::path dir = recordings(home);
    ASSERT_TRUE(makeBlueMovie(dir / "Blue.mp4"));
    test::writeFile(home / "tall.json", R"({"shape": "tall"})");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says;
    };
    const Case refusals[] = {
        {{"Blue.mp4", "--shape", "5:4"}, 2, "--shape takes original, 16:9, 9:16, 1:1 or 4:3, not “5:4”"},
        {{"Blue.mp4", "--edit", (home / "tall.json").string()}, 1,
         "“shape” must be \"original\", \"16:9\", \"9:16\", \"1:1\" or \"4:3\""},
    };
    for (const Case& c : refusals) {
        SCOPED_TRACE(c.says);
        auto [status, err] = runExport(home, c.args);
        EXPECT_EQ(status, c.status);
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
    }
    EXPECT_EQ(test::allNames(dir), std::vector<std::string>{"Blue.mp4"});

    // The recording alone (no frame) in 9:16: black bars.
    test::writeFile(home / "alone.json", R"({"shape": "9:16"})");
    const fs::path out = home / "Blue vertical.mp4";
    auto [status, err] = runExport(
        home, {"Blue.mp4", "--edit", (home / "alone.json").string(), "--out", out.string()});
    ASSERT_EQ(status, 0) << err;
    EXPECT_TRUE(test::decodesCleanly(out));
    expectVertical(middleColumn(out, 180, 320), {0, 0, 0});
}

TEST(ShapesAndLooks, LooksKeptByTwoInstancesAtOnceAreAllThere) {
    TempDir home;
    BridgeProcess one({.home = home.path()});
    BridgeProcess two({.home = home.path()});
    ASSERT_TRUE(one.request("ready", "app.ready"));
    ASSERT_TRUE(two.request("ready", "app.ready"));
    int id = 0;
    auto send = [&](BridgeProcess& p, const char* cmd, const char* payload) {
        auto reply = p.request(std::to_string(++id), cmd, Json::parse(payload));
        EXPECT_TRUE(reply) << cmd;
        return reply ? *reply : Json();
    };
    const Json talk = Json::parse(R"({"frame": {"type": "color", "hex": "#112233"},
                                      "shape": "9:16"})");
    // Both read the settings, then each keeps a look of its own.
    send(one, "looks.get", "{}");
    send(two, "looks.get", "{}");
    send(one, "looks.save", R"({"name": " Talk ", "look": {"frame": {"type": "color",
        "hex": "#112233"}, "shape": "9:16", "other": 1}})");
    send(two, "looks.save", R"({"name": "Demo", "look": {"cursor": {"size": 3}}})");
    send(two, "looks.save", R"({"default": true, "look": {"shape": "1:1"}})");
    Json all = send(one, "looks.get", "{}")["result"];
    EXPECT_EQ(all["defaultLook"], Json::parse(R"({"shape": "1:1"})"));
    EXPECT_EQ(all["looks"], Json::parse(R"([{"name": "Demo", "look": {"cursor": {"size": 3}}},
                                            {"name": "Talk", "look": )" + talk.dump() + "}]"));

    struct Case {
        const char* cmd;
        const char* payload;
        const char* error;
    };
    const Case refusals[] = {
        {"looks.save", R"({"name": "   ", "look": {}})", "A look needs a name."},
        {"looks.save", R"({"name": "a\nb", "look": {}})", "A look needs a name."},
        {"looks.save", R"({"name": "x", "look": [1]})",
         "A look holds the edit's frame, cursor, webcam and shape."},
        {"looks.delete", R"({})", "A look needs a name."},
    };
    for (const Case& c : refusals) {
        SCOPED_TRACE(c.payload);
        EXPECT_EQ(send(one, c.cmd, c.payload)["error"]["message"], c.error);
    }
    send(two, "looks.delete", R"({"name": "Talk"})");
    all = send(one, "looks.delete", R"({"default": true})")["result"];
    EXPECT_TRUE(all["defaultLook"].is_null());
    EXPECT_EQ(all["looks"].size(), 1u);
    EXPECT_EQ(all["looks"][0]["name"], "Demo");
    EXPECT_EQ(one.closeAndWait(), 0);
    EXPECT_EQ(two.closeAndWait(), 0);
}

}  // namespace
}  // namespace marlune
