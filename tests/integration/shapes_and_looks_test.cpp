// Output shapes and the editor's looks through the real program: a vertical preview and a vertical
// `marlune export` of a one-colour recording, shapes that do not exist, the default look of
// `marlune export`, and looks kept in the settings by two instances at once.

#include <gtest/gtest.h>

#include "integration/child_commands.h"
#include "support/ffmpeg_tool.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::BridgeProcess;
using test::TempDir;

// `marlune export ARGS`: the exit status, standard error and standard output.
std::tuple<int, std::string, std::string> runExport(const TempDir& home,
                                                    std::vector<std::string> args) {
    TempDir scratch;
    BridgeProcess p({.home = home.path(),
                     .extraArgs = std::move(args),
                     .stderrFile = scratch / "stderr",
                     .args = {"export"},
                     .unsetEnv = {"WAYLAND_DISPLAY"}});
    const int status = p.closeAndWait(std::chrono::seconds(180));
    std::string out;
    for (const auto& line : p.leftover) out += line + "\n";
    return {status, test::readFile(scratch / "stderr"), out};
}

// The middle column of the first picture of a 180 × 320 still or movie: `bars` (RGB) above row
// 100 and below row 220, the recording's blue between rows 115 and 205.
void expectVertical(const fs::path& picture, std::array<int, 3> bars) {
    const fs::path raw = picture.string() + ".rgb";
    ASSERT_TRUE(test::ffmpeg({"-i", picture.string(), "-frames:v", "1", "-vf",
                              "format=rgb24,crop=1:320:90:0", "-f", "rawvideo", "-pix_fmt", "rgb24",
                              raw.string()}));
    const std::string bytes = test::readFile(raw);
    ASSERT_EQ(bytes.size(), 320u * 3);
    auto expectRows = [&](std::initializer_list<int> rows, std::array<int, 3> rgb) {
        for (int y : rows) {
            for (int c = 0; c < 3; ++c) {
                EXPECT_NEAR(static_cast<unsigned char>(bytes[3 * y + c]), rgb[c], 12) << y;
            }
        }
    };
    expectRows({0, 50, 100, 220, 280, 319}, bars);
    expectRows({115, 160, 205}, {0x22, 0x66, 0xcc});
}

TEST(ShapesAndLooks, VerticalPreviewAndExportAndUnknownShapes) {
    TempDir home;
    const fs::path dir = test::recordings(home);
    ASSERT_TRUE(
        test::ffmpeg({"-f", "lavfi", "-i", "color=c=0x2266cc:s=320x180:r=30", "-t", "1", "-c:v",
                      "libx264", "-pix_fmt", "yuv420p", (dir / "Blue.mp4").string()}));
    {
        BridgeProcess p({.home = home.path()});
        ASSERT_TRUE(p.request("ready", "app.ready"));
        auto reply = p.request("one", "edit.previewFrame", Json::parse(R"({"name": "Blue.mp4",
            "startMs": 0, "endMs": 1000, "tMs": 500, "shape": "9:16", "frame": {"type": "color",
            "hex": "#ff8800", "paddingPct": 0, "radiusPct": 0, "shadowPct": 0}})"));
        ASSERT_TRUE(reply && (*reply)["ok"] == true) << (reply ? reply->dump() : "");
        const Json& result = (*reply)["result"];
        EXPECT_EQ(result["width"], 180);
        EXPECT_EQ(result["height"], 320);
        const std::string url = result["image"];
        ASSERT_TRUE(url.starts_with("data:image/jpeg;base64,"));
        ASSERT_TRUE(test::toolOutput({"sh", "-c", "printf %s \"$0\" | base64 -d > \"$1\"",
                                      url.substr(url.find(',') + 1), (home / "one.jpg").string()}));
        expectVertical(home / "one.jpg", {0xff, 0x88, 0x00});
        EXPECT_EQ(p.closeAndWait(), 0);
    }

    test::writeFile(home / "tall.json", R"({"shape": "tall"})");
    const std::pair<std::vector<std::string>, std::string> refusals[] = {
        {{"Blue.mp4", "--shape", "5:4"},
         "--shape takes original, 16:9, 9:16, 1:1 or 4:3, not “5:4”"},
        {{"Blue.mp4", "--edit", (home / "tall.json").string()},
         "“shape” must be \"original\", \"16:9\", \"9:16\", \"1:1\" or \"4:3\""},
    };
    for (const auto& [args, says] : refusals) {
        auto [status, err, out] = runExport(home, args);
        EXPECT_NE(status, 0);
        EXPECT_NE(err.find(says), std::string::npos) << err;
    }
    EXPECT_EQ(test::allNames(dir), std::vector<std::string>{"Blue.mp4"});

    // The recording alone (no frame) in 9:16: on black.
    test::writeFile(home / "alone.json", R"({"shape": "9:16"})");
    const fs::path movie = home / "Blue vertical.mp4";
    auto [status, err, out] = runExport(
        home, {"Blue.mp4", "--edit", (home / "alone.json").string(), "--out", movie.string()});
    ASSERT_EQ(status, 0) << err;
    EXPECT_TRUE(test::decodesCleanly(movie));
    expectVertical(movie, {0, 0, 0});

    // A recording without an edit of its own takes the default look, as the editor opens it.
    test::writeFile(home / ".config/marlune/defaults.json",
                    R"({"EditorDefaultLook": {"shape": "1:1", "frame": {"type": "color"}}})");
    auto [lookStatus, lookErr, edit] = runExport(home, {"Blue.mp4", "--print-edit"});
    ASSERT_EQ(lookStatus, 0) << lookErr;
    const Json printed = Json::parse(edit);
    EXPECT_EQ(printed["shape"], "1:1");
    EXPECT_EQ(printed["frame"]["type"], "color");
}

TEST(ShapesAndLooks, LooksKeptByTwoInstancesAtOnceAreAllThere) {
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
