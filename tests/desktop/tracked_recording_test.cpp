// One recording through `marlune --stdio-bridge` with every tracker and the test camera on: the
// project file holds what was done on the screen, and its export draws the cursor where the
// pointer was and the camera's picture in the webcam box.

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

// One decoded picture at the export's size, RGB, row by row.
struct Picture {
    std::string rgb;

    struct Pixel {
        int r, g, b;
        int luma() const { return (r * 299 + g * 587 + b * 114) / 1000; }
        int chroma() const { return std::max({r, g, b}) - std::min({r, g, b}); }
    };
    Pixel at(int x, int y) const {
        const auto* p = reinterpret_cast<const unsigned char*>(rgb.data()) +
                        (std::size_t(y) * kOutWidth + x) * 3;
        return {p[0], p[1], p[2]};
    }
};

struct Region {
    int x0, y0, x1, y1;  // half-open
};

// The mean chroma (largest minus smallest channel) of a region: near 0 for greys, over 100 for
// the test camera's colour bars.
double meanChroma(const Picture& p, Region r) {
    double sum = 0;
    for (int y = r.y0; y < r.y1; ++y) {
        for (int x = r.x0; x < r.x1; ++x) sum += p.at(x, y).chroma();
    }
    return sum / ((r.x1 - r.x0) * (r.y1 - r.y0));
}

// The recorded pointer sample at or just before `t`.
const Json* sampleAt(const Json& path, double t) {
    const Json* found = nullptr;
    for (const auto& s : path) {
        if (s[0].get<double>() > t) break;
        found = &s;
    }
    return found;
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
    constexpr int kRestX = 1200, kRestY = 700;
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

    // The pointer: the text cursor over the entry, the arrow at rest on the desktop.
    const Json& path = project["cursorPath"];
    ASSERT_GT(path.size(), 2u);
    std::vector<double> gaps;
    for (std::size_t i = 1; i < path.size(); ++i) {
        gaps.push_back(path[i][0].get<double>() - path[i - 1][0].get<double>());
    }
    EXPECT_TRUE(std::ranges::all_of(gaps, [](double g) { return g > 0; })) << path.dump();
    // Spread over the whole recording, with no long hole; a loaded machine may drop some.
    EXPECT_LT(path[0][0].get<double>(), 1000) << path.dump();
    EXPECT_GT(path.back()[0].get<double>(), durationMs - 1000.0) << path.dump();
    EXPECT_LT(std::ranges::max(gaps), 1500) << path.dump();
    EXPECT_GT(double(path.size()), 0.25 * durationMs * 30 / 1000) << "samples went missing";
    // Sampled 30 times a second: a busy machine only lengthens gaps, so the shorter ones show it.
    std::ranges::nth_element(gaps, gaps.begin() + gaps.size() / 4);
    EXPECT_NEAR(gaps[gaps.size() / 4], 1000.0 / 30, 10);
    const auto types = CursorTypeDetector::types;
    const int text = static_cast<int>(std::ranges::find(types, "text") - types.begin());
    const int arrow = static_cast<int>(std::ranges::find(types, "arrow") - types.begin());
    // The samples from `from` to `to` (ms), all at the pointer's place (x, y), take `type` within
    // a second of `from` (the program under the pointer sets its cursor when it gets to it) and
    // keep it: over the entry the text cursor stays while GTK hides the pointer for typing.
    auto settlesOn = [&](double from, double to, int x, int y, int type) {
        int taken = 0, kept = 0;
        std::optional<double> since;
        for (const auto& sample : path) {
            ASSERT_EQ(sample.size(), 4u) << sample.dump();
            const double t = sample[0].get<double>();
            if (t < from || t > to) continue;
            ++taken;
            EXPECT_NEAR(sample[1].get<double>(), frac(x, kScreenWidth), 0.002) << "at " << t;
            EXPECT_NEAR(sample[2].get<double>(), frac(y, kScreenHeight), 0.002) << "at " << t;
            if (!since && sample[3] == type) since = t;
            if (since) {
                ++kept;
                EXPECT_EQ(sample[3], type) << "at " << t;
            }
        }
        ASSERT_TRUE(since) << "never type " << type << ": " << path.dump();
        EXPECT_LT(*since, from + 1000);
        EXPECT_GE(kept, 10);
        EXPECT_GE(taken, 15);
    };
    {
        SCOPED_TRACE("over the entry");
        settlesOn(typingFrom, typingTo - 100, ex, ey, text);
    }
    std::optional<double> restFrom;
    for (const auto& sample : path) {
        if (sample[0].get<double>() > clicks[2]["t"].get<double>() &&
            std::abs(sample[1].get<double>() - frac(kRestX, kScreenWidth)) < 0.002 &&
            std::abs(sample[2].get<double>() - frac(kRestY, kScreenHeight)) < 0.002) {
            restFrom = sample[0].get<double>();
            break;
        }
    }
    ASSERT_TRUE(restFrom) << path.dump();
    {
        SCOPED_TRACE("at rest on the desktop");
        settlesOn(*restFrom, durationMs, kRestX, kRestY, arrow);
    }

    // The caret moving right through the entry as the text was typed, on one line.
    const Json& caret = project["caretPath"];
    std::vector<Json> typed;
    for (const auto& sample : caret) {
        const double t = sample[0].get<double>();
        if (t >= typingFrom && t <= typingTo) typed.push_back(sample);
    }
    ASSERT_GE(typed.size(), 4u) << caret.dump();
    for (std::size_t i = 0; i < typed.size(); ++i) {
        const double fx = typed[i][1].get<double>();
        EXPECT_GE(fx, frac(window.entry[0], kScreenWidth) - 0.002);
        EXPECT_LE(fx, frac(window.entry[0] + window.entry[2], kScreenWidth) + 0.002);
        if (i == 0) continue;
        EXPECT_GT(fx, typed[i - 1][1].get<double>()) << caret.dump();
        EXPECT_EQ(typed[i][2], typed[0][2]) << caret.dump();
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
    // webcam moved to the top right, away from the entry and the pointer.
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
    EXPECT_EQ(exportStreams[0].width, kOutWidth);
    EXPECT_EQ(exportStreams[0].height, kOutHeight);

    // A moment of the still pointer, long enough after it came to rest for the drawn cursor to
    // have caught up with it; the recording's own picture of that moment, without a cursor.
    const double checkMs = *restFrom + 1200;
    ASSERT_LT(checkMs, durationMs - 200);
    const Json* atCheck = sampleAt(path, checkMs);
    ASSERT_TRUE(atCheck);
    const std::string size =
        "scale=" + std::to_string(kOutWidth) + ":" + std::to_string(kOutHeight);
    const Picture shown{test::rgbFrame(exportMovie, checkMs / 1000, size)};
    const Picture source{test::rgbFrame(movie, checkMs / 1000, size)};
    ASSERT_EQ(shown.rgb.size(), std::size_t(kOutWidth) * kOutHeight * 3);
    ASSERT_EQ(source.rgb.size(), shown.rgb.size());

    // The webcam box, top right (a 40 % square of the picture's height, 24/1080 of it from the
    // edges), without its rounded corners: the camera's colour bars, where the recording shows
    // the plain desktop.
    const int side = kOutHeight * 40 / 100, margin = kOutHeight * 24 / 1080;
    const Region box{kOutWidth - margin - side, margin, kOutWidth - margin, margin + side};
    const Region inner{box.x0 + side / 6, box.y0 + side / 6, box.x1 - side / 6, box.y1 - side / 6};
    EXPECT_GT(meanChroma(shown, inner), 100) << "no camera picture in the webcam box";
    // The box is the export's own drawing, not something the recording showed there.
    double changed = 0;
    for (int y = inner.y0; y < inner.y1; ++y) {
        for (int x = inner.x0; x < inner.x1; ++x) {
            const auto a = shown.at(x, y), b = source.at(x, y);
            changed += std::abs(a.r - b.r) + std::abs(a.g - b.g) + std::abs(a.b - b.b);
        }
    }
    changed /= 3.0 * (inner.x1 - inner.x0) * (inner.y1 - inner.y0);
    EXPECT_GT(changed, 40) << "the recording's own chroma there: " << meanChroma(source, inner);

    // The drawn cursor: the pixels the export made much brighter than the recording are the
    // arrow's white outline, just right of and below the pointer's tip; elsewhere on the plain
    // desktop the two pictures agree.
    const double tipX = (*atCheck)[1].get<double>() * (kOutWidth - 1);
    const double tipY = (*atCheck)[2].get<double>() * (kOutHeight - 1);
    struct Brightened {
        int count = 0;
        double x = 0, y = 0;  // their centre
    };
    auto brightened = [&](double cx, double cy) {
        Brightened b;
        for (int y = std::max(0, int(cy) - 60); y < std::min(kOutHeight, int(cy) + 60); ++y) {
            for (int x = std::max(0, int(cx) - 60); x < std::min(kOutWidth, int(cx) + 60); ++x) {
                if (shown.at(x, y).luma() - source.at(x, y).luma() < 100) continue;
                ++b.count;
                b.x += x;
                b.y += y;
            }
        }
        if (b.count > 0) b.x /= b.count, b.y /= b.count;
        return b;
    };
    const Brightened cursor = brightened(tipX, tipY);
    ASSERT_GE(cursor.count, 20) << "no cursor drawn at " << tipX << ", " << tipY;
    EXPECT_LT(cursor.count, 600) << "more changed than a cursor";
    // The arrow is about 31 × 22 pixels at this size (28 units of 0.55 × its height factor 2).
    EXPECT_GT(cursor.x, tipX - 4);
    EXPECT_LT(cursor.x, tipX + 24);
    EXPECT_GT(cursor.y, tipY - 4);
    EXPECT_LT(cursor.y, tipY + 32);
    EXPECT_LT(brightened(150, 470).count, 5) << "the export differs from the recording elsewhere";

    EXPECT_EQ(s.closeAndWait(), 0);
}

}  // namespace
}  // namespace marlune
