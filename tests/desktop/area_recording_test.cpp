// An area of a display recorded through `marlune --stdio-bridge` on the test desktop: the movie is
// the area's size and shows what was inside it.

#include <gtest/gtest.h>

#include "support/ffmpeg_tool.h"
#include "support/recording_session.h"
#include "support/temp_dir.h"
#include "support/test_window.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;
using test::displayID;
using test::Session;

Json areaPayload(std::uint32_t display, const Json& area) {
    return {{"sourceKind", "area"}, {"sourceID", display}, {"area", area},          {"fps", 30},
            {"mic", false},         {"webcam", false},     {"cursorMode", "smooth"}};
}

// The colour of the movie's picture at (x, y) one second in, as "r,g,b".
std::string colourAt(const std::filesystem::path& movie, int x, int y) {
    auto out = test::toolOutput(
        {"ffmpeg", "-v", "error", "-ss", "1", "-i", movie.string(), "-frames:v", "1", "-vf",
         "crop=4:4:" + std::to_string(x) + ":" + std::to_string(y) + ",scale=1:1", "-f", "rawvideo",
         "-pix_fmt", "rgb24", "-"});
    if (!out || out->size() < 3) return "";
    auto c = [&](int i) { return std::to_string(static_cast<unsigned char>((*out)[i]) / 64); };
    return c(0) + "," + c(1) + "," + c(2);
}

TEST(AreaRecording, RecordsOnlyTheArea) {
    test::TempDir home;
    Session s(home.path());
    const std::uint32_t display = displayID(s);
    ASSERT_NE(display, 0u);
    ASSERT_TRUE(s.request("ready", "app.ready"));

    // Without its area, a start is refused (areas off the display: tests/recording).
    Json bare = areaPayload(display, nullptr);
    bare.erase("area");
    auto refused = s.request("bare", "recording.start", bare);
    ASSERT_TRUE(refused);
    EXPECT_EQ((*refused)["error"]["message"], "Invalid recording options.");

    // A red window inside the area, near its top-left corner.
    test::TestWindow window(
        {.title = "area", .width = 300, .height = 200, .x = 300, .y = 200, .color = "#e02020"});
    s.send("start", "recording.start",
           areaPayload(display, {{"x", 250}, {"y", 150}, {"width", 640}, {"height", 360}}));
    auto started = s.reply("start", 30s);
    ASSERT_TRUE(started && started->line.value["ok"].get<bool>())
        << (started ? started->line.value.dump() : "");
    s.pumpFor(2000ms);
    s.send("stop", "recording.stop");
    auto stopped = s.reply("stop", 30s);
    ASSERT_TRUE(stopped && stopped->line.value["ok"].get<bool>());
    const auto movie = s.folder() / stopped->line.value["result"]["name"].get<std::string>();

    auto size =
        test::toolOutput({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "stream=width,height", "-of", "csv=p=0", movie.string()});
    ASSERT_TRUE(size);
    EXPECT_EQ(*size, "640,360\n");
    // The window's middle is at (200, 150) of the area; the area's far corner shows the desktop.
    EXPECT_EQ(colourAt(movie, 198, 148), "3,0,0");
    EXPECT_NE(colourAt(movie, 620, 340), "3,0,0");
}

}  // namespace
}  // namespace marlune
