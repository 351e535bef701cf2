// Every tracker and the camera reach the project file, and the camera's movie the export.

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>

#include <gtest/gtest.h>

#include "desktop/recording_checks.h"
#include "platform/desktop/accessibility.h"
#include "recording/cursor_type_detector.h"
#include "recording/movie_probe.h"
#include "support/child_process.h"
#include "support/recording_session.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Session;

constexpr int kScreenWidth = 1920;
constexpr int kScreenHeight = 1080;
// The export's size: half the screen's, so that it is made quickly.
constexpr int kOutWidth = 960;
constexpr int kOutHeight = 540;

// A window of two text entries, its first focused (tests/recording/data/text_entry.py), which
// tells where its entry is on the screen once it is up.
class EntryWindow : public test::ScriptWindow {
  public:
    EntryWindow() : ScriptWindow(MARLUNE_SOURCE_DIR "/tests/recording/data/text_entry.py") {
        if (ScriptWindow::ready() && info["entry"].is_array() && info["entry"].size() == 4) {
            for (int i = 0; i < 4; ++i) entry[i] = info["entry"][i].get<int>();
        }
    }
    bool ready() const { return ScriptWindow::ready() && entry[2] > 0; }
    int centreX() const { return entry[0] + entry[2] / 2; }
    int centreY() const { return entry[1] + entry[3] / 2; }

    int entry[4] = {0, 0, 0, 0};  // x, y, width, height in root-window pixels
};

// Assistive technologies on for the session while the object lives (the caret is read through
// them), as they were afterwards.
class AccessibilityOn {
  public:
    AccessibilityOn() : before_(desktop::accessibilityEnabled()) {
        ok = desktop::setAccessibilityEnabled(true).has_value();
    }
    ~AccessibilityOn() {
        if (before_ && !*before_) (void)desktop::setAccessibilityEnabled(false);
    }
    bool ok = false;

  private:
    std::optional<bool> before_;
};

// The mean chroma (largest minus smallest channel) of a square of an RGB picture `width` wide:
// near 0 for greys, over 100 for the test camera's colour bars.
double meanChroma(const std::string& rgb, int width, int x0, int y0, int side) {
    double sum = 0;
    for (int y = y0; y < y0 + side; ++y) {
        for (int x = x0; x < x0 + side; ++x) {
            const auto* p = reinterpret_cast<const unsigned char*>(rgb.data()) +
                            (std::size_t(y) * width + x) * 3;
            sum += std::max({p[0], p[1], p[2]}) - std::min({p[0], p[1], p[2]});
        }
    }
    return sum / (side * side);
}

TEST(TrackedRecording, TypingPointerAndCameraReachTheProjectAndTheExport) {
    AccessibilityOn accessibility;
    ASSERT_TRUE(accessibility.ok);
    EntryWindow window;
    ASSERT_TRUE(window.ready()) << "the text entry window did not start";
    test::TempDir home;
    Session s(home.path(), test::kTestCamera);
    const std::uint32_t display = test::displayID(s);
    ASSERT_NE(display, 0u);
    ASSERT_TRUE(s.request("ready", "app.ready"));

    auto started =
        s.request("start", "recording.start",
                  test::displayStart(display, {{"webcam", true}, {"cursorMode", "smooth"}}));
    ASSERT_EQ(started.value_or(Json())["ok"], true) << started.value_or(Json()).dump();
    const std::string file = (*started)["result"]["file"];
    const fs::path movie = s.folder() / file;

    // The caret's first sample is taken half a second in.
    s.pumpFor(600ms);
    // Into the entry and typing there; then clicks on the desktop, and the pointer left still.
    const int ex = window.centreX(), ey = window.centreY();
    ASSERT_TRUE(test::xdotool("mousemove " + std::to_string(ex) + " " + std::to_string(ey) +
                              " click 1 sleep 0.3 type --delay 100 'tracked text'"));
    s.pumpFor(300ms);
    ASSERT_TRUE(
        test::xdotool("mousemove 480 810 click 1 sleep 0.3 mousemove 960 540 click 1 "
                      "sleep 0.3 mousemove 1200 700"));
    s.pumpFor(1800ms);
    // The camera's first pictures may come late on a loaded machine: stopped once both movies
    // hold a few seconds.
    const fs::path webcamMovie = s.folder() / test::webcamName(file);
    ASSERT_TRUE(s.pumpUntil(
        [&] { return test::probeDuration(movie) > 3.0 && test::probeDuration(webcamMovie) > 2.5; },
        30s));
    s.send("stop", "recording.stop");
    auto stopped = s.reply("stop", 60s);
    ASSERT_TRUE(stopped && stopped->line.value["ok"].get<bool>());
    const int durationMs = stopped->line.value["result"]["durationMs"];
    ASSERT_TRUE(s.event("saved"));

    // ---- The project file ----
    const Json project = test::projectOf(movie);
    const auto frac = [](int p, int size) { return double(p) / (size - 1); };
    const Json& clicks = project["clicks"];
    test::expectClicks(project,
                       {{frac(ex, kScreenWidth), frac(ey, kScreenHeight)},
                        {frac(480, kScreenWidth), frac(810, kScreenHeight)},
                        {frac(960, kScreenWidth), frac(540, kScreenHeight)}},
                       0.002);
    ASSERT_EQ(clicks.size(), 3u);
    const double typingFrom = clicks[0]["t"].get<double>(), typingTo = clicks[1]["t"].get<double>();

    // The pointer's type: the text cursor over the entry, still once GTK has hidden the pointer
    // for typing; the arrow at rest on the desktop at the end.
    const Json& path = project["cursorPath"];
    ASSERT_GT(path.size(), 2u);
    // Sampled 30 times a second over the whole recording: a busy machine only lengthens gaps, so
    // the shorter ones show the rate, and no hole is long.
    std::vector<double> gaps;
    for (std::size_t i = 1; i < path.size(); ++i) {
        gaps.push_back(path[i][0].get<double>() - path[i - 1][0].get<double>());
    }
    EXPECT_TRUE(std::ranges::all_of(gaps, [](double g) { return g > 0; })) << path.dump();
    EXPECT_LT(path[0][0].get<double>(), 1000) << path.dump();
    EXPECT_GT(path.back()[0].get<double>(), durationMs - 1000.0) << path.dump();
    EXPECT_LT(std::ranges::max(gaps), 1500) << path.dump();
    std::ranges::nth_element(gaps, gaps.begin() + gaps.size() / 4);
    EXPECT_NEAR(gaps[gaps.size() / 4], 1000.0 / 30, 10);
    const auto types = CursorTypeDetector::types;
    const int text = static_cast<int>(std::ranges::find(types, "text") - types.begin());
    const int arrow = static_cast<int>(std::ranges::find(types, "arrow") - types.begin());
    // {sample, x, y, type}: the last sample before the second click and the last of all.
    const auto typed =
        std::ranges::find_if(path, [&](const Json& p) { return p[0] > typingTo - 100; });
    ASSERT_NE(typed, path.begin());
    const std::tuple<const Json&, int, int, int> expected[] = {{*std::prev(typed), ex, ey, text},
                                                               {path.back(), 1200, 700, arrow}};
    for (const auto& [sample, x, y, type] : expected) {
        EXPECT_NEAR(sample[1].get<double>(), frac(x, kScreenWidth), 0.002) << sample.dump();
        EXPECT_NEAR(sample[2].get<double>(), frac(y, kScreenHeight), 0.002) << sample.dump();
        EXPECT_EQ(sample[3], type) << path.dump();
    }

    // The caret moving right through the entry as the text was typed, on one line.
    const Json& caret = project["caretPath"];
    std::vector<Json> carets;
    for (const auto& sample : caret) {
        const double t = sample[0].get<double>();
        if (t >= typingFrom && t <= typingTo) carets.push_back(sample);
    }
    ASSERT_GE(carets.size(), 4u) << caret.dump();
    for (std::size_t i = 0; i < carets.size(); ++i) {
        const double fx = carets[i][1].get<double>();
        EXPECT_GE(fx, frac(window.entry[0], kScreenWidth) - 0.002);
        EXPECT_LE(fx, frac(window.entry[0] + window.entry[2], kScreenWidth) + 0.002);
        if (i == 0) continue;
        EXPECT_GT(fx, carets[i - 1][1].get<double>()) << caret.dump();
        EXPECT_EQ(carets[i][2], carets[0][2]) << caret.dump();
    }

    // The webcam movie beside the recording, picture only, and where it starts on the
    // recording's clock: it ends with the recording, so its length and its offset make up the
    // recording's length.
    const Json& webcam = project["webcam"];
    ASSERT_TRUE(webcam.is_object()) << project.dump();
    EXPECT_EQ(webcam["file"], test::webcamName(file));
    EXPECT_EQ(webcam["enabled"], true);
    ASSERT_TRUE(webcam["offsetMs"].is_number_integer()) << webcam.dump();
    const int offsetMs = webcam["offsetMs"];
    ASSERT_EQ(test::probeStreams(webcamMovie).size(), 1u);
    EXPECT_TRUE(test::decodesCleanly(webcamMovie));
    auto cameraLength = test::probeDuration(webcamMovie);
    ASSERT_TRUE(cameraLength);
    EXPECT_NEAR(*cameraLength * 1000 + offsetMs, durationMs, 1000)
        << "offsetMs " << offsetMs << ", webcam movie " << *cameraLength << " s";

    // ---- The export, as the editor asks for it with the recording's tracks ----
    // No frame (the editor's "none" background): the recording fills the picture, and the
    // webcam's movie is drawn in a box at the top right, where the desktop is plain.
    Json payload = Json::parse(R"({"startMs": 0, "zooms": [], "audio": {"mic": 1, "system": 1},
        "cursor": {"caret": [], "size": 2, "smooth": 0.5, "ripple": true, "style": "arrow",
                   "bounce": 0.5, "motionBlur": 0.4, "sway": 0.3, "render": true},
        "webcam": {"enabled": true, "mirror": true, "positionPreset": "top-right",
                   "positionX": 1, "positionY": 1, "width": 40, "height": 40, "cornerRadius": 90,
                   "shadow": 0.67, "margin": 24, "reactToZoom": true, "shape": "squircle"}})");
    payload["name"] = file;
    payload["endMs"] = durationMs;
    payload["cursor"]["path"] = path;
    payload["cursor"]["clicks"] = clicks;
    payload["webcam"]["file"] = webcam["file"];
    payload["webcam"]["offsetMs"] = offsetMs;
    payload["targetHeight"] = kOutHeight;
    const std::size_t exportFrom = s.events.size();
    s.send("export", "edit.exportRender", payload);
    auto exported = s.reply("export", 300s);
    ASSERT_TRUE(exported);
    ASSERT_TRUE(exported->line.value["ok"].get<bool>()) << exported->line.value.dump();
    const std::string exportName = exported->line.value["result"]["name"];
    auto saved = s.event("saved", exportFrom, 1s);
    ASSERT_TRUE(saved);
    EXPECT_EQ(s.events[*saved].data()["name"], exportName);
    const fs::path exportMovie = s.folder() / exportName;
    auto exportStreams = test::probeStreams(exportMovie);
    ASSERT_FALSE(exportStreams.empty());
    EXPECT_EQ(std::pair(exportStreams[0].width, exportStreams[0].height),
              std::pair(kOutWidth, kOutHeight));

    // Inside the box (a 40 % square of the picture's height, 24/1080 of it from the edges, less
    // its rounded corners): the camera's colour bars, where the recording shows grey desktop.
    const double checkMs = durationMs - 1000;
    const std::string size =
        "scale=" + std::to_string(kOutWidth) + ":" + std::to_string(kOutHeight);
    const std::string shown = test::rgbFrame(exportMovie, checkMs / 1000, size);
    const std::string source = test::rgbFrame(movie, checkMs / 1000, size);
    ASSERT_EQ(shown.size(), std::size_t(kOutWidth) * kOutHeight * 3);
    ASSERT_EQ(source.size(), shown.size());
    const int side = kOutHeight * 40 / 100, margin = kOutHeight * 24 / 1080;
    const int x0 = kOutWidth - margin - side + side / 6, y0 = margin + side / 6;
    EXPECT_GT(meanChroma(shown, kOutWidth, x0, y0, side * 2 / 3), 100) << "no camera picture";
    EXPECT_LT(meanChroma(source, kOutWidth, x0, y0, side * 2 / 3), 30);

    EXPECT_EQ(s.closeAndWait(), 0);
}

}  // namespace
}  // namespace marlune
