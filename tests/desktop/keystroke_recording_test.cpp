// Key presses sent through XTest while `marlune --stdio-bridge` records the test desktop: the
// project file keeps the shortcuts and command keys (every key with "recordAllKeys"), on the
// click track's clock, and a recording killed after the keys were pressed still has them.

#include <fstream>

#include <gtest/gtest.h>

#include "support/recording_session.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Session;

// The labels of a "keys" track, in order.
std::vector<std::string> labels(const Json& keys) {
    std::vector<std::string> out;
    for (const auto& k : keys) out.push_back(k[1].get<std::string>());
    return out;
}

// The "keys" of the journal kept beside `movie` while it records.
Json journaledKeys(const fs::path& movie) {
    Json keys = Json::array();
    std::ifstream in(movie.parent_path() / ("." + movie.filename().string() + ".tracks"));
    for (std::string line; std::getline(in, line);) {
        Json batch = Json::parse(line, nullptr, false);
        if (batch.is_object() && batch.contains("keys")) {
            for (const auto& k : batch["keys"]) keys.push_back(k);
        }
    }
    return keys;
}

std::string startDisplay(Session& s, bool recordAll) {
    const std::uint32_t display = test::displayID(s);
    if (display == 0) return "";
    auto started = s.request("start", "recording.start",
                             {{"sourceKind", "display"},
                              {"sourceID", display},
                              {"mic", false},
                              {"systemAudio", false},
                              {"webcam", false},
                              {"recordAllKeys", recordAll}});
    if (!started || !(*started)["ok"].get<bool>()) return "";
    return (*started)["result"]["file"];
}

// Plain typing, a shortcut, command keys and Shift with a letter; what each setting keeps.
constexpr const char* kKeys = "key --delay 80 x ctrl+shift+k Escape shift+y F5 Return";
const std::vector<std::string> kShortcuts = {"Ctrl+Shift+K", "Esc", "F5", "Enter"};
const std::vector<std::string> kEverything = {"X", "Ctrl+Shift+K", "Esc", "Shift+Y", "F5", "Enter"};

TEST(KeystrokeRecording, KeptKeysReachTheProjectFileAndSurviveAKill) {
    test::TempDir home;
    const fs::path folder = home.path() / "Videos/Marlune";
    {
        SCOPED_TRACE("recorded and stopped, every key kept");
        Session s(home.path());
        ASSERT_TRUE(s.request("ready", "app.ready"));
        const std::string file = startDisplay(s, true);
        ASSERT_FALSE(file.empty());
        s.pumpFor(400ms);
        ASSERT_TRUE(test::xdotool(kKeys));
        s.pumpFor(400ms);
        auto stopped = s.request("stop", "recording.stop");
        ASSERT_TRUE(stopped && (*stopped)["ok"].get<bool>());
        const Json project = Json::parse(std::ifstream(folder / (file + ".marlune.json")));
        ASSERT_TRUE(project.contains("keys")) << project.dump();
        EXPECT_EQ(labels(project["keys"]), kEverything);
        // On the recording's clock: in order, after the start and within the recording.
        const int durationMs = (*stopped)["result"]["durationMs"];
        double last = 300;
        for (const auto& k : project["keys"]) {
            EXPECT_GE(k[0].get<double>(), last);
            last = k[0].get<double>();
        }
        EXPECT_LT(last, durationMs);
        s.closeAndWait();
    }
    std::string killed;
    {
        SCOPED_TRACE("killed while recording, the default keys kept");
        Session s(home.path());
        ASSERT_TRUE(s.request("ready", "app.ready"));
        killed = startDisplay(s, false);
        ASSERT_FALSE(killed.empty());
        s.pumpFor(400ms);
        ASSERT_TRUE(test::xdotool(kKeys));
        ASSERT_TRUE(s.pumpUntil([&] { return journaledKeys(folder / killed).size() == 4; }, 30s))
            << journaledKeys(folder / killed).dump();
        s.kill();
    }
    Session again(home.path());
    ASSERT_TRUE(again.request("ready", "app.ready"));
    const fs::path project = folder / (killed + ".marlune.json");
    ASSERT_TRUE(again.pumpUntil([&] { return fs::exists(project); }, 30s));
    EXPECT_EQ(labels(Json::parse(std::ifstream(project))["keys"]), kShortcuts);
}

}  // namespace
}  // namespace marlune
