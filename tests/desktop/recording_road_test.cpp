// Recordings as the page makes them: events, refusals, window, area, quitting, a kill recovered.

#include <signal.h>

#include <algorithm>
#include <chrono>

#include <gtest/gtest.h>

#include "desktop/recording_checks.h"
#include "recording/movie_probe.h"
#include "recording/track_journal.h"
#include "support/recording_session.h"
#include "support/temp_dir.h"
#include "support/test_window.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::Seen;
using test::Session;
using test::webcamName;
using test::xdotool;

const Json kMicSmooth = {{"mic", true}, {"cursorMode", "smooth"}};

double msBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// The movie's visible length: from its first frame to the start of its last, in ms.
std::optional<double> frameSpanMs(const fs::path& movie) {
    auto packets = test::probeVideoPackets(movie);
    if (packets.size() < 2) return std::nullopt;
    auto [first, last] = std::ranges::minmax(packets, {}, &test::PacketInfo::time);
    return (last.time - first.time) * 1000.0;
}

// The events named `name` read since event `from`.
std::vector<const Seen*> named(const Session& s, const std::string& name, std::size_t from = 0) {
    std::vector<const Seen*> found;
    for (std::size_t i = from; i < s.events.size(); ++i) {
        if (s.events[i].name() == name) found.push_back(&s.events[i]);
    }
    return found;
}

std::vector<int> countdownNumbers(const Session& s, std::size_t from) {
    std::vector<int> numbers;
    for (const Seen* c : named(s, "countdown", from)) numbers.push_back(c->data()["n"]);
    return numbers;
}

// Plain typing, a shortcut, command keys and Shift with a letter; what each setting keeps.
constexpr const char* kKeys = "key --delay 80 x ctrl+shift+k Escape shift+y F5 Return";
const std::vector<std::string> kShortcuts = {"Ctrl+Shift+K", "Esc", "F5", "Enter"};
const std::vector<std::string> kEverything = {"X", "Ctrl+Shift+K", "Esc", "Shift+Y", "F5", "Enter"};

// The labels of a "keys" track, in order.
std::vector<std::string> labels(const Json& keys) {
    std::vector<std::string> out;
    for (const auto& k : keys) out.push_back(k[1].get<std::string>());
    return out;
}

std::vector<std::string> filesIn(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(RecordingRoad, OneLaunchRefusesThenRecordsTheDisplayAWindowAndAnArea) {
    test::TempDir home;
    Session s(home.path());
    const std::uint32_t display = test::displayID(s);
    ASSERT_NE(display, 0u);
    ASSERT_TRUE(s.request("ready", "app.ready"));
    const Json displayWithMic = test::displayStart(display, kMicSmooth);
    {
        SCOPED_TRACE("refused, with the phases each causes and no \"error\" event");
        struct Case {
            const char* cmd;
            Json payload;
            const char* error;
            std::vector<std::string> phases;
        };
        // The options' rules and the capture size are tests/recording's, a closed window the page's
        // (tests/webdriver). An unknown kind used to be answered as a closed window.
        // clang-format off
        const Case cases[] = {
            {"recording.start", {{"sourceKind", "display"}, {"sourceID", display + 1000}},
             "The selected display is no longer available.", {"preparing", "idle"}},
            {"recording.stop", nullptr, "No recording is in progress.", {}},
            {"recording.start", {{"sourceKind", "area"}, {"sourceID", display}},
             "Invalid recording options.", {}},
            {"recording.start", {{"sourceKind", "bogus"}, {"sourceID", display}},
             "Unknown source kind “bogus”: it is \"display\", \"window\" or \"area\".", {}},
        };
        // clang-format on
        int n = 0;
        for (const auto& c : cases) {
            SCOPED_TRACE(c.payload.dump());
            const std::size_t from = s.events.size();
            EXPECT_EQ(test::errorText(s.request("r" + std::to_string(n++), c.cmd, c.payload)),
                      c.error);
            s.pumpFor(100ms);
            EXPECT_EQ(s.phases(from), c.phases);
            EXPECT_TRUE(named(s, "error", from).empty());
        }
        EXPECT_TRUE(filesIn(s.folder()).empty());
    }
    {
        SCOPED_TRACE("a whole recording, paused once, from the start to the saved movie");
        const std::size_t first = s.events.size();
        Json payload = displayWithMic;
        payload["recordAllKeys"] = true;
        s.send("start", "recording.start", payload);
        auto started = s.reply("start");
        ASSERT_TRUE(started && started->line.value["ok"].get<bool>())
            << (started ? started->line.value.dump() : "no reply");
        const std::string file = started->line.value["result"]["file"];
        EXPECT_TRUE(file.starts_with("Marlune ") && file.ends_with(".mp4")) << file;

        // preparing, then 3, 2, 1, 0 a second apart, then recording; the reply about 3 s after
        // the command, once capture runs.
        auto countdown = named(s, "countdown", first);
        ASSERT_EQ(countdownNumbers(s, first), (std::vector<int>{3, 2, 1, 0}));
        for (int i = 1; i < 4; ++i) {
            EXPECT_NEAR(msBetween(countdown[i - 1]->at, countdown[i]->at), 1000, 400) << i;
        }
        EXPECT_NEAR(msBetween(countdown[0]->at, started->at), 3000, 600);
        EXPECT_EQ(s.phases(first),
                  (std::vector<std::string>{"preparing", "countdown", "recording"}));
        auto recordingAt = s.events[*s.event("state", first)].at;
        for (const Seen* e : named(s, "state", first)) {
            if (e->data()["phase"] != "recording") continue;
            recordingAt = e->at;
            EXPECT_EQ(e->data()["elapsedMs"], 0);
        }
        // The tracks are kept safe beside the movie while recording.
        EXPECT_TRUE(fs::exists(s.folder() / ("." + file + ".tracks")));

        // Clicks and keys on the recorded display.
        ASSERT_TRUE(xdotool("mousemove 480 270 click 1 sleep 0.3 mousemove 1440 810 click 1"));
        ASSERT_TRUE(xdotool(kKeys));
        s.pumpFor(2200ms);

        // A 2 s pause: the clock stands still, and the movie leaves it out.
        const std::size_t pauseFrom = s.events.size();
        ASSERT_EQ(s.request("pause", "recording.pause").value_or(Json())["ok"], true);
        auto pausedState = s.event("state", pauseFrom);
        ASSERT_TRUE(pausedState);
        EXPECT_EQ(s.events[*pausedState].data()["phase"], "paused");
        const std::int64_t frozen = s.events[*pausedState].data()["elapsedMs"];
        const auto pausedAt = s.events[*pausedState].at;
        s.pumpFor(2000ms);
        auto ticksWhilePaused = named(s, "tick", *pausedState);
        for (const Seen* t : ticksWhilePaused) EXPECT_EQ(t->data()["elapsedMs"], frozen);
        EXPECT_GE(ticksWhilePaused.size(), 2u);
        const std::size_t resumeFrom = s.events.size();
        ASSERT_TRUE(s.request("resume", "recording.resume"));
        auto resumedState = s.event("state", resumeFrom);
        ASSERT_TRUE(resumedState);
        EXPECT_EQ(s.events[*resumedState].data()["phase"], "recording");
        const double pausedFor = msBetween(pausedAt, s.events[*resumedState].at);
        EXPECT_GE(pausedFor, 1900);

        s.pumpFor(800ms);
        const std::size_t stopFrom = s.events.size();
        s.send("stop", "recording.stop");
        auto stopped = s.reply("stop", 30s);
        ASSERT_TRUE(stopped && stopped->line.value["ok"].get<bool>())
            << (stopped ? stopped->line.value.dump() : "no reply");
        const Json& result = stopped->line.value["result"];
        EXPECT_EQ(result["name"], file);
        EXPECT_EQ(s.phases(stopFrom), (std::vector<std::string>{"stopping", "idle"}));
        auto saved = s.event("saved", stopFrom);
        ASSERT_TRUE(saved);
        EXPECT_EQ(s.events[*saved].data(), result);
        auto stopping = s.event("state", stopFrom);
        ASSERT_TRUE(stopping);
        EXPECT_GT(*saved, *s.event("state", *stopping + 1)) << "saved once torn down";

        // The movie (without the pause) with its sound, its project file, and no journal left.
        const fs::path movie = s.folder() / file;
        const int durationMs = result["durationMs"];
        EXPECT_NEAR(durationMs, msBetween(recordingAt, s.events[*stopping].at) - pausedFor, 1000);
        auto span = frameSpanMs(movie);
        ASSERT_TRUE(span);
        EXPECT_NEAR(*span, durationMs, 1000.0 / 30 + 1);
        EXPECT_TRUE(test::decodesCleanly(movie));
        EXPECT_EQ(test::probeStreams(movie).size(), 2u);  // the picture and the microphone
        const Json project = test::projectOf(movie);
        test::expectClicks(project, {{0.25, 0.25}, {0.75, 0.75}}, 0.002);
        // Every key kept, on the recording's clock: in order, after the start and within it.
        EXPECT_EQ(labels(project["keys"]), kEverything);
        double last = 300;
        for (const auto& k : project["keys"]) {
            EXPECT_GE(k[0].get<double>(), last);
            last = k[0].get<double>();
        }
        EXPECT_LT(last, durationMs);
        EXPECT_EQ(filesIn(s.folder()), (std::vector<std::string>{file, file + ".marlune.json"}));
    }
    {
        SCOPED_TRACE("during the countdown a second start and a stop are refused");
        const std::size_t from = s.events.size();
        s.send("start2", "recording.start", displayWithMic);
        ASSERT_TRUE(s.event("countdown", from));
        EXPECT_EQ(test::errorText(s.request("again", "recording.start", displayWithMic)),
                  "A recording is already in progress.");
        EXPECT_EQ(test::errorText(s.request("early", "recording.stop")),
                  "No recording is in progress.");
        auto started = s.reply("start2");
        ASSERT_TRUE(started);
        EXPECT_TRUE(started->line.value["ok"].get<bool>());
        EXPECT_EQ(countdownNumbers(s, from), (std::vector<int>{3, 2, 1, 0}));
        EXPECT_EQ(s.phases(from),
                  (std::vector<std::string>{"preparing", "countdown", "recording"}));
        // Resume where it does not apply changes nothing.
        ASSERT_TRUE(s.request("resume2", "recording.resume"));
        s.pumpFor(1000ms);
        EXPECT_EQ(s.phases(from).back(), "recording");
        EXPECT_EQ(s.request("stop2", "recording.stop").value_or(Json())["ok"], true);
        EXPECT_EQ(test::errorText(s.request("stop3", "recording.stop")),
                  "No recording is in progress.");
    }
    {
        SCOPED_TRACE("a window followed after it moved, until it closes");
        // The clicks relative to the window wherever it is; closing it ends the recording,
        // which is saved.
        test::TestWindow window({.title = "Recorded",
                                 .width = 400,
                                 .height = 300,
                                 .x = 300,
                                 .y = 200,
                                 .color = "#c03090"});
        ASSERT_NE(window.id(), 0u);
        auto windowStart = s.request("wstart", "recording.start",
                                     {{"sourceKind", "window"},
                                      {"sourceID", window.id()},
                                      {"mic", false},
                                      {"cursorMode", "smooth"}});
        ASSERT_EQ(windowStart.value_or(Json())["ok"], true) << windowStart.value_or(Json()).dump();
        const std::string file = (*windowStart)["result"]["file"];
        auto pointAt = [&](int x, int y) {
            return xdotool("mousemove --window " + std::to_string(window.id()) + " " +
                           std::to_string(x) + " " + std::to_string(y) + " click 1");
        };
        ASSERT_TRUE(pointAt(100, 75));
        s.pumpFor(500ms);
        ASSERT_TRUE(window.command("move 900 500"));
        s.pumpFor(300ms);
        ASSERT_TRUE(pointAt(300, 225));
        s.pumpFor(1500ms);

        const std::size_t closedFrom = s.events.size();
        window.close();
        ASSERT_TRUE(s.event("saved", closedFrom, 30s));
        std::vector<std::string> sequence;
        for (std::size_t i = closedFrom; i < s.events.size(); ++i) {
            const auto& e = s.events[i];
            if (e.name() == "tick") continue;
            sequence.push_back(e.name() == "state" ? "state " + e.data()["phase"].get<std::string>()
                                                   : e.name());
        }
        EXPECT_EQ(sequence,
                  (std::vector<std::string>{"error", "state stopping", "state idle", "saved"}));
        EXPECT_EQ(s.events[*s.event("error", closedFrom)].data()["message"],
                  "Capture stopped unexpectedly: The recorded window was closed.");
        const Json saved = s.events[*s.event("saved", closedFrom)].data();
        EXPECT_EQ(saved["name"], file);
        EXPECT_GT(saved["durationMs"].get<int>(), 1000);
        EXPECT_TRUE(test::decodesCleanly(s.folder() / file));
        EXPECT_FALSE(fs::exists(s.folder() / ("." + file + ".tracks")));
        const Json project = test::projectOf(s.folder() / file);
        test::expectClicks(project, {{100.0 / 399, 75.0 / 299}, {300.0 / 399, 225.0 / 299}}, 0.004);
    }
    {
        SCOPED_TRACE("an area: the movie is its size and shows what was inside it");
        // A red window near the area's top-left corner; its middle is at (200, 150) of the area,
        // and the area's far corner shows the desktop.
        test::TestWindow red(
            {.title = "area", .width = 300, .height = 200, .x = 300, .y = 200, .color = "#e02020"});
        s.send("area", "recording.start",
               {{"sourceKind", "area"},
                {"sourceID", display},
                {"area", {{"x", 250}, {"y", 150}, {"width", 640}, {"height", 360}}},
                {"mic", false}});
        auto areaStarted = s.reply("area", 30s);
        ASSERT_TRUE(areaStarted && areaStarted->line.value["ok"].get<bool>());
        s.pumpFor(2000ms);
        auto areaStopped = s.request("areaStop", "recording.stop");
        ASSERT_EQ(areaStopped.value_or(Json())["ok"], true);
        const fs::path movie = s.folder() / (*areaStopped)["result"]["name"].get<std::string>();
        auto streams = test::probeStreams(movie);
        ASSERT_FALSE(streams.empty());
        EXPECT_EQ(std::pair(streams[0].width, streams[0].height), std::pair(640, 360));
        auto colourAt = [&](int x, int y) {  // in quarters of 256
            const std::string c = test::rgbFrame(
                movie, 1, "crop=4:4:" + std::to_string(x) + ":" + std::to_string(y) + ",scale=1:1");
            if (c.size() < 3) return std::string();
            auto q = [&](int i) { return std::to_string(static_cast<unsigned char>(c[i]) / 64); };
            return q(0) + "," + q(1) + "," + q(2);
        };
        EXPECT_EQ(colourAt(198, 148), "3,0,0");
        EXPECT_NE(colourAt(620, 340), "3,0,0");
    }
    // The stored countdown holds unless the start gives its own; a microphone that is gone falls
    // back on the default one, so the movie has its sound.
    ASSERT_TRUE(s.request("set", "settings.set", {{"countdown", 0}, {"micInput", "gone.source"}}));
    const std::pair<int, std::vector<int>> countdowns[] = {{-1, {0}}, {3, {3, 2, 1, 0}}};
    for (const auto& [asked, told] : countdowns) {
        SCOPED_TRACE("countdown " + std::to_string(asked));
        Json payload = displayWithMic;
        if (asked >= 0) payload["countdown"] = asked;
        const std::size_t from = s.events.size();
        auto counted = s.request("c" + std::to_string(asked), "recording.start", payload);
        ASSERT_EQ(counted.value_or(Json())["ok"], true) << counted.value_or(Json()).dump();
        EXPECT_EQ(countdownNumbers(s, from), told);
        s.pumpFor(1500ms);
        auto done = s.request("cstop" + std::to_string(asked), "recording.stop");
        ASSERT_EQ(done.value_or(Json())["ok"], true);
        EXPECT_EQ(
            test::probeStreams(s.folder() / (*done)["result"]["name"].get<std::string>()).size(),
            2u);
    }
    EXPECT_EQ(s.closeAndWait(), 0);
}

TEST(RecordingRoad, QuittingDuringARecordingSavesIt) {
    const struct {
        const char* what;
        bool bySignal;         // SIGTERM, else the end of the input
        bool duringCountdown;  // quit before capture starts
        bool webcam;
    } cases[] = {
        {"SIGTERM while recording", true, false, false},
        {"end of input while recording with the webcam", false, false, true},
        {"SIGTERM during the countdown", true, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir home;
        Session s(home.path(), test::kTestCamera);
        const std::uint32_t display = test::displayID(s);
        ASSERT_NE(display, 0u);
        ASSERT_TRUE(s.request("ready", "app.ready"));
        Json payload = test::displayStart(display, kMicSmooth);
        payload["webcam"] = c.webcam;
        s.send("start", "recording.start", payload);
        if (c.duringCountdown) {
            ASSERT_TRUE(s.event("countdown"));
            EXPECT_EQ(s.signalAndWait(SIGTERM), 0);
            auto start = s.reply("start", 1s);
            ASSERT_TRUE(start);
            EXPECT_EQ(start->line.value["error"]["message"],
                      "The recording was called off: Marlune is quitting.");
            EXPECT_EQ(s.phases().back(), "idle");
            EXPECT_TRUE(filesIn(s.folder()).empty()) << "nothing captured, nothing left behind";
            continue;
        }
        auto started = s.reply("start");
        ASSERT_TRUE(started && started->line.value["ok"].get<bool>());
        const std::string file = started->line.value["result"]["file"];
        ASSERT_TRUE(xdotool("mousemove 100 100 click 1"));
        s.pumpFor(1500ms);
        const fs::path webcamMovie = s.folder() / webcamName(file);
        // The camera's first pictures may come late on a loaded machine.
        if (c.webcam) {
            ASSERT_TRUE(s.pumpUntil([&] { return test::probeDuration(webcamMovie) > 0.5; }, 20s));
        }
        EXPECT_EQ(c.bySignal ? s.signalAndWait(SIGTERM) : s.closeAndWait(), 0);
        auto saved = s.event("saved", 0, 1s);
        ASSERT_TRUE(saved);
        EXPECT_EQ(s.events[*saved].data()["name"], file);
        EXPECT_EQ(s.phases().back(), "idle");
        EXPECT_TRUE(test::decodesCleanly(s.folder() / file));
        auto span = frameSpanMs(s.folder() / file);
        ASSERT_TRUE(span);
        EXPECT_NEAR(*span, s.events[*saved].data()["durationMs"].get<double>(), 1000.0 / 30 + 1);
        const Json project = test::projectOf(s.folder() / file);
        EXPECT_EQ(project["clicks"].size(), 1u);
        std::vector<std::string> files = {file, file + ".marlune.json"};
        if (c.webcam) {
            files.push_back(webcamName(file));
            EXPECT_TRUE(test::decodesCleanly(webcamMovie));
            EXPECT_EQ(project["webcam"]["file"], webcamName(file));
        } else {
            EXPECT_FALSE(project.contains("webcam"));
        }
        EXPECT_EQ(filesIn(s.folder()), files);
    }
}

// A kill loses at most about the last second; the next launch recovers it with its tracks, once.
TEST(RecordingRoad, AKilledRecordingIsRecoveredWithItsTracksAtTheNextLaunch) {
    test::TempDir home;
    const fs::path folder = home.path() / "Videos/Marlune";
    std::string file;
    {
        Session s(home.path(), test::kTestCamera);
        const std::uint32_t display = test::displayID(s);
        ASSERT_NE(display, 0u);
        ASSERT_TRUE(s.request("ready", "app.ready"));
        // With both sound tracks, as recordings are usually made.
        s.send("start", "recording.start",
               test::displayStart(display, {{"mic", true},
                                            {"systemAudio", true},
                                            {"webcam", true},
                                            {"cursorMode", "smooth"}}));
        auto started = s.reply("start");
        ASSERT_TRUE(started && started->line.value["ok"].get<bool>());
        file = started->line.value["result"]["file"];
        // The first part on disk ends before the second's key frame, due a second in: its last
        // picture is under 1.5 s whatever the machine's load (the sound may run further ahead).
        ASSERT_TRUE(
            s.pumpUntil([&] { return test::lengthOnDisk(folder / file).has_value(); }, 30s));
        const auto pictures = test::probeVideoPackets(folder / file);
        ASSERT_FALSE(pictures.empty());
        const double lastPicture = std::ranges::max(pictures, {}, &test::PacketInfo::time).time;
        EXPECT_LT(lastPicture, 1.5);
        ASSERT_TRUE(
            xdotool("mousemove 192 108 click 1 sleep 0.2 mousemove 960 540 click 1 "
                    "sleep 0.2 mousemove 1727 971 click 1"));
        ASSERT_TRUE(xdotool(kKeys));
        // Killed once the tracks are safe beside the movie and more than a second of both movies
        // is on disk (a loaded machine encodes and writes later than it captures).
        auto safe = [&] {
            auto tracks = TrackJournal::read(TrackJournal::pathFor(folder / file));
            return tracks && tracks->clicks.size() == 3 && tracks->keys.size() == 4 &&
                   tracks->webcam && test::probeDuration(folder / file) > 1.5 &&
                   test::probeDuration(folder / webcamName(file)) > 1.5;
        };
        ASSERT_TRUE(s.pumpUntil(safe, 30s));
        s.kill();
    }
    EXPECT_FALSE(fs::exists(folder / (file + ".marlune.json")));
    EXPECT_TRUE(fs::exists(folder / ("." + file + ".tracks")));

    Session s(home.path());
    ASSERT_TRUE(s.request("ready", "app.ready"));
    auto notice = s.event("notice", 0, 5s);
    ASSERT_TRUE(notice);
    EXPECT_EQ(s.events[*notice].data()["message"], "Recovered an interrupted recording: " + file);
    EXPECT_GT(s.events[*notice].at, s.replies.front().at);  // after the page is ready
    s.pumpFor(300ms);
    EXPECT_EQ(named(s, "notice").size(), 1u);

    EXPECT_TRUE(test::decodesCleanly(folder / file));
    EXPECT_GT(test::probeDuration(folder / file).value_or(0), 1.0);
    const Json project = test::projectOf(folder / file);
    test::expectClicks(project, {{0.1, 0.1}, {0.5, 0.5}, {0.9, 0.9}}, 0.002);
    EXPECT_FALSE(project["cursorPath"].empty());
    EXPECT_EQ(labels(project["keys"]), kShortcuts);
    EXPECT_TRUE(test::decodesCleanly(folder / webcamName(file)));
    EXPECT_EQ(project["webcam"]["file"], webcamName(file));
    EXPECT_EQ(filesIn(folder),
              (std::vector<std::string>{file, file + ".marlune.json", webcamName(file)}));
    // The listing shows it like any other recording.
    auto items = s.request("list", "library.list").value_or(Json())["result"]["items"];
    ASSERT_EQ(items.size(), 1u);
    EXPECT_GT(items[0]["durationMs"].get<int>(), 1000);
    EXPECT_EQ(s.closeAndWait(), 0);

    Session later(home.path());
    ASSERT_TRUE(later.request("ready", "app.ready"));
    later.pumpFor(500ms);
    EXPECT_TRUE(named(later, "notice").empty()) << "recovered once";
    EXPECT_EQ(later.closeAndWait(), 0);
}

}  // namespace
}  // namespace marlune
