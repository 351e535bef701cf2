// The countdown length and the microphone chosen on the record screen are what a recording
// started through `marlune --stdio-bridge` on the test desktop uses.

#include <gtest/gtest.h>

#include "support/ffmpeg_tool.h"
#include "support/recording_session.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

using test::Session;

TEST(CountdownChoice, AStartCountsWhatTheSettingsOrItsPayloadSay) {
    test::TempDir home;
    Session s(home.path());
    ASSERT_TRUE(s.request("ready", "app.ready"));
    ASSERT_TRUE(s.request("set", "settings.set", {{"countdown", 0}, {"micInput", "gone.source"}}));
    const std::uint32_t display = test::displayID(s);
    ASSERT_NE(display, 0u);
    // {the start's own countdown (-1: none, the stored 0 holds), the numbers the page is told}
    const std::pair<int, std::vector<int>> cases[] = {{-1, {0}}, {3, {3, 2, 1, 0}}};
    int run = 0;
    for (const auto& [asked, told] : cases) {
        SCOPED_TRACE(asked);
        Json payload = {{"sourceKind", "display"},
                        {"sourceID", display},
                        {"mic", true},
                        {"webcam", false},
                        {"systemAudio", false}};
        if (asked >= 0) payload["countdown"] = asked;
        const std::size_t from = s.events.size();
        const std::string n = std::to_string(++run);
        auto started = s.request("start" + n, "recording.start", payload);
        ASSERT_TRUE(started && (*started)["ok"] == true) << (started ? started->dump() : "none");
        std::vector<int> numbers;
        for (std::size_t i = from; i < s.events.size(); ++i) {
            if (s.events[i].name() == "countdown") numbers.push_back(s.events[i].data()["n"]);
        }
        EXPECT_EQ(numbers, told);
        s.pumpFor(std::chrono::milliseconds(1500));
        auto stopped = s.request("stop" + n, "recording.stop");
        ASSERT_TRUE(stopped && (*stopped)["ok"] == true);
        // An input that is gone falls back on the default one: the movie has its sound.
        const auto movie = s.folder() / (*stopped)["result"]["name"].get<std::string>();
        auto streams = test::toolOutput({"ffprobe", "-v", "error", "-show_entries",
                                         "stream=codec_type", "-of", "csv=p=0", movie.string()});
        EXPECT_EQ(streams.value_or(""), "video\naudio\n");
    }
    EXPECT_EQ(s.closeAndWait(), 0);
}

}  // namespace
}  // namespace marlune
