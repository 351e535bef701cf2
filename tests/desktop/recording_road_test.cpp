// Recordings made through `marlune --stdio-bridge` on the test desktop, as the page makes them:
// the events and their timing, the refusals, an area of a display, the stream ending on its own,
// quitting during a recording, and a kill followed by a new launch.

#include <signal.h>

#include <algorithm>
#include <chrono>

#include <gtest/gtest.h>

#include "recording/movie_probe.h"
#include "recording/track_journal.h"
#include "support/ffmpeg_tool.h"
#include "support/recording_session.h"
#include "support/temp_dir.h"
#include "support/test_window.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kCalledOff = "The recording was called off: Marlune is quitting.";

using test::displayID;
using test::kTestCamera;
using test::Seen;
using test::Session;
using test::webcamName;
using test::xdotool;

double msBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

Json displayPayload(std::uint32_t id) {
    // clang-format off
    return {{"sourceKind", "display"}, {"sourceID", id}, {"fps", 30}, {"mic", true},
            {"systemAudio", false}, {"webcam", false}, {"cursorMode", "smooth"}};
    // clang-format on
}

// The movie's visible length: from its first frame to the start of its last, in ms.
std::optional<double> frameSpanMs(const fs::path& movie) {
    auto packets = test::probeVideoPackets(movie);
    if (packets.size() < 2) return std::nullopt;
    double first = packets.front().time, last = packets.front().time;
    for (const auto& p : packets) {
        first = std::min(first, p.time);
        last = std::max(last, p.time);
    }
    return (last - first) * 1000.0;
}

// The events named `name` read since event `from`.
std::vector<const Seen*> named(const Session& s, const std::string& name, std::size_t from = 0) {
    std::vector<const Seen*> found;
    for (std::size_t i = from; i < s.events.size(); ++i) {
        if (s.events[i].name() == name) found.push_back(&s.events[i]);
    }
    return found;
}

// The colour of the movie's picture at (x, y) one second in, as "r,g,b" in quarters of 256.
std::string colourAt(const fs::path& movie, int x, int y) {
    auto out = test::toolOutput(
        {"ffmpeg", "-v", "error", "-ss", "1", "-i", movie.string(), "-frames:v", "1", "-vf",
         "crop=4:4:" + std::to_string(x) + ":" + std::to_string(y) + ",scale=1:1", "-f", "rawvideo",
         "-pix_fmt", "rgb24", "-"});
    if (!out || out->size() < 3) return "";
    auto c = [&](int i) { return std::to_string(static_cast<unsigned char>((*out)[i]) / 64); };
    return c(0) + "," + c(1) + "," + c(2);
}

// The length of the movie as it stands on disk; nothing before its first part is there.
std::optional<double> lengthOnDisk(const fs::path& movie) {
    auto d = test::probeDuration(movie);
    return d && *d > 0 ? d : std::nullopt;
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

TEST(RecordingRoad, AFullRecordingFromStartToSaved) {
    test::TempDir home;
    Session s(home.path());
    const std::uint32_t display = displayID(s);
    ASSERT_NE(display, 0u);
    ASSERT_TRUE(s.request("ready", "app.ready"));

    const std::size_t first = s.events.size();
    const auto sentAt = Clock::now();
    Json payload = displayPayload(display);
    payload["recordAllKeys"] = true;
    s.send("start", "recording.start", payload);
    auto started = s.reply("start");
    ASSERT_TRUE(started);
    ASSERT_TRUE(started->line.value["ok"].get<bool>()) << started->line.value.dump();
    const std::string file = started->line.value["result"]["file"];
    EXPECT_TRUE(file.starts_with("Marlune ") && file.ends_with(".mp4")) << file;

    // preparing, then 3, 2, 1, 0 a second apart, then recording; the reply about 3 s after the
    // command, once capture runs.
    auto countdown = named(s, "countdown", first);
    ASSERT_EQ(countdown.size(), 4u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(countdown[i]->data()["n"], 3 - i);
    for (int i = 1; i < 4; ++i) {
        EXPECT_NEAR(msBetween(countdown[i - 1]->at, countdown[i]->at), 1000, 400) << i;
    }
    EXPECT_NEAR(msBetween(countdown[0]->at, started->at), 3000, 600);
    EXPECT_LT(msBetween(sentAt, started->at), 6000);
    EXPECT_EQ(s.phases(first), (std::vector<std::string>{"preparing", "countdown", "recording"}));
    auto recordingAt = s.events[*s.event("state", first)].at;
    for (std::size_t i = first; i < s.events.size(); ++i) {
        if (s.events[i].name() == "state" && s.events[i].data()["phase"] == "recording") {
            recordingAt = s.events[i].at;
            EXPECT_EQ(s.events[i].data()["elapsedMs"], 0);
        }
    }
    // The tracks are kept safe beside the movie while recording.
    EXPECT_TRUE(fs::exists(s.folder() / ("." + file + ".tracks")));

    // Clicks and keys on the recorded display, and ticks every half second meanwhile.
    ASSERT_TRUE(xdotool("mousemove 480 270 click 1 sleep 0.3 mousemove 1440 810 click 1"));
    ASSERT_TRUE(xdotool(kKeys));
    const std::size_t ticksFrom = s.events.size();
    s.pumpFor(2200ms);
    std::vector<std::int64_t> ticks;
    for (const Seen* t : named(s, "tick", ticksFrom)) ticks.push_back(t->data()["elapsedMs"]);
    // Half a second apart as a rule; a busy moment of the machine may delay one, and the next
    // keeps the schedule.
    ASSERT_GE(ticks.size(), 3u);
    std::vector<std::int64_t> gaps;
    for (std::size_t i = 1; i < ticks.size(); ++i) gaps.push_back(ticks[i] - ticks[i - 1]);
    EXPECT_TRUE(std::ranges::all_of(gaps, [](auto g) { return g > 0; }));
    std::ranges::nth_element(gaps, gaps.begin() + gaps.size() / 2);
    EXPECT_NEAR(gaps[gaps.size() / 2], 500, 100);

    // A 2 s pause: the clock stands still, then runs on 2 s behind the wall clock.
    const std::size_t pauseFrom = s.events.size();
    auto paused = s.request("pause", "recording.pause");
    ASSERT_TRUE(paused && (*paused)["ok"].get<bool>());
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
    auto tickAfter = s.event("tick", *resumedState + 1, 3s);
    ASSERT_TRUE(tickAfter);
    const Seen& tick = s.events[*tickAfter];
    EXPECT_NEAR(tick.data()["elapsedMs"].get<double>(), msBetween(recordingAt, tick.at) - pausedFor,
                300);

    s.pumpFor(800ms);
    const std::size_t stopFrom = s.events.size();
    s.send("stop", "recording.stop");
    auto stopped = s.reply("stop", 30s);
    ASSERT_TRUE(stopped);
    ASSERT_TRUE(stopped->line.value["ok"].get<bool>()) << stopped->line.value.dump();
    const Json& result = stopped->line.value["result"];
    EXPECT_EQ(result["name"], file);
    EXPECT_EQ(s.phases(stopFrom), (std::vector<std::string>{"stopping", "idle"}));
    auto saved = s.event("saved", stopFrom);
    ASSERT_TRUE(saved);
    EXPECT_EQ(s.events[*saved].data(), result);
    auto stopping = s.event("state", stopFrom);
    ASSERT_TRUE(stopping);
    EXPECT_GT(*saved, *s.event("state", *stopping + 1)) << "saved once the recording is torn down";

    // The movie (without the pause) and its project file, and no journal left.
    const fs::path movie = s.folder() / file;
    const int durationMs = result["durationMs"];
    EXPECT_NEAR(durationMs, msBetween(recordingAt, s.events[*stopping].at) - pausedFor, 1000);
    auto span = frameSpanMs(movie);
    ASSERT_TRUE(span);
    EXPECT_NEAR(*span, durationMs, 1000.0 / 30 + 1);
    EXPECT_TRUE(test::decodesCleanly(movie));
    auto streams = test::probeStreams(movie);
    ASSERT_EQ(streams.size(), 2u);  // the picture and the microphone

    Json project = Json::parse(test::readFile(s.folder() / (file + ".marlune.json")));
    EXPECT_EQ(project["version"], 1);
    ASSERT_EQ(project["clicks"].size(), 2u) << project["clicks"].dump();
    for (int i = 0; i < 2; ++i) {
        EXPECT_NEAR(project["clicks"][i]["fx"].get<double>(), 0.25 + 0.5 * i, 0.002);
        EXPECT_NEAR(project["clicks"][i]["fy"].get<double>(), 0.25 + 0.5 * i, 0.002);
    }
    EXPECT_GT(project["cursorPath"].size(), 60u);  // 30 a second
    // Every key kept, on the recording's clock: in order, after the start and within it.
    EXPECT_EQ(labels(project["keys"]), kEverything);
    double last = 300;
    for (const auto& k : project["keys"]) {
        EXPECT_GE(k[0].get<double>(), last);
        last = k[0].get<double>();
    }
    EXPECT_LT(last, durationMs);
    EXPECT_EQ(filesIn(s.folder()), (std::vector<std::string>{file, file + ".marlune.json"}));

    EXPECT_EQ(s.closeAndWait(), 0);
}

TEST(RecordingRoad, RefusalsLeaveTheRecordingAloneAndAWindowIsFollowedUntilItCloses) {
    test::TempDir home;
    Session s(home.path());
    const std::uint32_t display = displayID(s);
    ASSERT_NE(display, 0u);
    ASSERT_TRUE(s.request("ready", "app.ready"));

    struct Case {
        const char* what;
        const char* cmd;
        Json payload;
        const char* error;
        std::vector<std::string> phases;  // the "state" events it causes
    };
    // clang-format off
    const Case cases[] = {
        // Which options are valid is recording_options_test.cpp's; here the reply and no phase.
        {"an id given as text", "recording.start",
         {{"sourceKind", "display"}, {"sourceID", std::to_string(display)}},
         "Invalid recording options.", {}},
        {"a window that does not exist", "recording.start",
         {{"sourceKind", "window"}, {"sourceID", 0x7ffffff1}},
         "The selected window is no longer available (it may have been closed).",
         {"preparing", "idle"}},
        {"a display that does not exist", "recording.start",
         {{"sourceKind", "display"}, {"sourceID", display + 1000}},
         "The selected display is no longer available.", {"preparing", "idle"}},
        {"stop while idle", "recording.stop", nullptr, "No recording is in progress.", {}},
        // (Areas off the display: tests/recording.)
        {"an area without its rectangle", "recording.start",
         {{"sourceKind", "area"}, {"sourceID", display}},
         "Invalid recording options.", {}},
        // Options that used to make nonsense: an unknown kind was answered as a closed window,
        // and a height of 3 recorded a 4 × 2 movie.
        {"an unknown source kind", "recording.start",
         {{"sourceKind", "bogus"}, {"sourceID", display}},
         "Unknown source kind “bogus”: it is \"display\", \"window\" or \"area\".", {}},
        {"a height of 3", "recording.start",
         {{"sourceKind", "display"}, {"sourceID", display}, {"capHeight", 3}},
         "Capture size is too small.", {"preparing", "idle"}},
        {"a height of 15", "recording.start",
         {{"sourceKind", "display"}, {"sourceID", display}, {"capHeight", 15}},
         "Capture size is too small.", {"preparing", "idle"}},
    };
    // clang-format on
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::size_t from = s.events.size();
        auto r = s.request("r" + std::to_string(n++), c.cmd, c.payload);
        ASSERT_TRUE(r);
        EXPECT_EQ((*r)["ok"], false);
        EXPECT_EQ((*r)["error"]["message"], c.error);
        s.pumpFor(100ms);
        EXPECT_EQ(s.phases(from), c.phases);
        for (std::size_t i = from; i < s.events.size(); ++i) EXPECT_NE(s.events[i].name(), "error");
    }
    EXPECT_TRUE(filesIn(s.folder()).empty());

    // During the countdown: a second start and a stop are refused, and the countdown runs on.
    const std::size_t from = s.events.size();
    s.send("start", "recording.start", displayPayload(display));
    ASSERT_TRUE(s.event("countdown", from));
    auto again = s.request("again", "recording.start", displayPayload(display));
    ASSERT_TRUE(again);
    EXPECT_EQ((*again)["error"]["message"], "A recording is already in progress.");
    auto early = s.request("early", "recording.stop");
    ASSERT_TRUE(early);
    EXPECT_EQ((*early)["error"]["message"], "No recording is in progress.");
    auto started = s.reply("start");
    ASSERT_TRUE(started);
    EXPECT_TRUE(started->line.value["ok"].get<bool>());
    std::vector<int> numbers;
    for (const Seen* c : named(s, "countdown", from)) numbers.push_back(c->data()["n"]);
    EXPECT_EQ(numbers, (std::vector<int>{3, 2, 1, 0}));
    EXPECT_EQ(s.phases(from), (std::vector<std::string>{"preparing", "countdown", "recording"}));
    // Pause and resume where they do not apply change nothing.
    ASSERT_TRUE(s.request("resume", "recording.resume"));
    s.pumpFor(1000ms);
    EXPECT_EQ(s.phases(from).back(), "recording");
    auto stopped = s.request("stop", "recording.stop");
    ASSERT_TRUE(stopped);
    EXPECT_TRUE((*stopped)["ok"].get<bool>()) << stopped->dump();
    auto twice = s.request("stop2", "recording.stop");
    ASSERT_TRUE(twice);
    EXPECT_EQ((*twice)["error"]["message"], "No recording is in progress.");

    // A window recording keeps the pointer and the clicks relative to the window, also after the
    // window has moved; closing the window ends the recording, which is saved.
    test::TestWindow window(
        {.title = "Recorded", .width = 400, .height = 300, .x = 300, .y = 200, .color = "#c03090"});
    ASSERT_NE(window.id(), 0u);
    auto windowStart = s.request("wstart", "recording.start",
                                 {{"sourceKind", "window"},
                                  {"sourceID", window.id()},
                                  {"mic", false},
                                  {"cursorMode", "smooth"}});
    ASSERT_TRUE(windowStart);
    ASSERT_TRUE((*windowStart)["ok"].get<bool>()) << windowStart->dump();
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
    // The clicks and the pointer's path on the window are the project's; nothing is left
    // unfinished.
    EXPECT_FALSE(fs::exists(s.folder() / ("." + file + ".tracks")));
    const Json windowProject = Json::parse(test::readFile(s.folder() / (file + ".marlune.json")));
    const Json& clicks = windowProject["clicks"];
    ASSERT_EQ(clicks.size(), 2u) << clicks.dump();
    const double expected[2][2] = {{100.0 / 399, 75.0 / 299}, {300.0 / 399, 225.0 / 299}};
    for (int i = 0; i < 2; ++i) {
        EXPECT_NEAR(clicks[i]["fx"].get<double>(), expected[i][0], 0.004) << i;
        EXPECT_NEAR(clicks[i]["fy"].get<double>(), expected[i][1], 0.004) << i;
    }
    // The smoothed cursor rests where the second click was.
    const Json& path = windowProject["cursorPath"];
    ASSERT_GT(path.size(), 30u);
    EXPECT_NEAR(path.back()[1].get<double>(), expected[1][0], 0.004);
    EXPECT_NEAR(path.back()[2].get<double>(), expected[1][1], 0.004);

    // Idle again.
    EXPECT_EQ((*s.request("stop3", "recording.stop"))["error"]["message"],
              "No recording is in progress.");

    // An area of the display: the movie is the area's size and shows what was inside it, a red
    // window near the area's top-left corner.
    test::TestWindow red(
        {.title = "area", .width = 300, .height = 200, .x = 300, .y = 200, .color = "#e02020"});
    s.send("area", "recording.start",
           {{"sourceKind", "area"},
            {"sourceID", display},
            {"area", {{"x", 250}, {"y", 150}, {"width", 640}, {"height", 360}}},
            {"mic", false}});
    auto areaStarted = s.reply("area", 30s);
    ASSERT_TRUE(areaStarted && areaStarted->line.value["ok"].get<bool>())
        << (areaStarted ? areaStarted->line.value.dump() : "");
    s.pumpFor(2000ms);
    auto areaStopped = s.request("areaStop", "recording.stop");
    ASSERT_TRUE(areaStopped && (*areaStopped)["ok"].get<bool>());
    const fs::path areaMovie = s.folder() / (*areaStopped)["result"]["name"].get<std::string>();
    auto streams = test::probeStreams(areaMovie);
    ASSERT_FALSE(streams.empty());
    EXPECT_EQ(std::pair(streams[0].width, streams[0].height), std::pair(640, 360));
    // The window's middle is at (200, 150) of the area; the area's far corner shows the desktop.
    EXPECT_EQ(colourAt(areaMovie, 198, 148), "3,0,0");
    EXPECT_NE(colourAt(areaMovie, 620, 340), "3,0,0");

    // The stored countdown holds unless the start gives its own; a microphone that is gone falls
    // back on the default one, so the movie has its sound.
    ASSERT_TRUE(s.request("set", "settings.set", {{"countdown", 0}, {"micInput", "gone.source"}}));
    const std::pair<int, std::vector<int>> countdowns[] = {{-1, {0}}, {3, {3, 2, 1, 0}}};
    for (const auto& [asked, told] : countdowns) {
        SCOPED_TRACE("countdown " + std::to_string(asked));
        Json payload = displayPayload(display);
        if (asked >= 0) payload["countdown"] = asked;
        const std::size_t countdownFrom = s.events.size();
        auto counted = s.request("c" + std::to_string(asked), "recording.start", payload);
        ASSERT_TRUE(counted && (*counted)["ok"] == true) << (counted ? counted->dump() : "none");
        std::vector<int> shown;
        for (const Seen* c : named(s, "countdown", countdownFrom)) shown.push_back(c->data()["n"]);
        EXPECT_EQ(shown, told);
        s.pumpFor(1500ms);
        auto done = s.request("cstop" + std::to_string(asked), "recording.stop");
        ASSERT_TRUE(done && (*done)["ok"] == true);
        EXPECT_EQ(
            test::probeStreams(s.folder() / (*done)["result"]["name"].get<std::string>()).size(),
            2u);
    }
    EXPECT_EQ(s.closeAndWait(), 0);
}

TEST(RecordingRoad, QuittingDuringARecordingSavesIt) {
    struct Case {
        const char* what;
        bool bySignal;         // SIGTERM, else the end of the input
        bool duringCountdown;  // quit before capture starts
        bool webcam = false;
    };
    const Case cases[] = {
        {"SIGTERM while recording", true, false},
        {"end of input while recording with the webcam", false, false, true},
        {"SIGTERM during the countdown", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir home;
        Session s(home.path(), kTestCamera);
        const std::uint32_t display = displayID(s);
        ASSERT_NE(display, 0u);
        ASSERT_TRUE(s.request("ready", "app.ready"));
        Json payload = displayPayload(display);
        payload["webcam"] = c.webcam;
        s.send("start", "recording.start", payload);
        if (c.duringCountdown) {
            ASSERT_TRUE(s.event("countdown"));
            EXPECT_EQ(s.signalAndWait(SIGTERM), 0);
            auto start = s.reply("start", 1s);
            ASSERT_TRUE(start);
            EXPECT_EQ(start->line.value["error"]["message"], kCalledOff);
            EXPECT_EQ(s.phases().back(), "idle");
            // Nothing had been captured: nothing is left behind.
            EXPECT_TRUE(filesIn(s.folder()).empty());
            continue;
        }
        auto started = s.reply("start");
        ASSERT_TRUE(started && started->line.value["ok"].get<bool>());
        const std::string file = started->line.value["result"]["file"];
        ASSERT_TRUE(xdotool("mousemove 100 100 click 1"));
        s.pumpFor(1500ms);
        const fs::path webcamMovie = s.folder() / webcamName(file);
        if (c.webcam) {
            // The camera's first pictures may come late on a loaded machine.
            const auto deadline = Clock::now() + 20s;
            auto recorded = [&] {
                auto length = test::probeDuration(webcamMovie);
                return length && *length > 0.5;
            };
            while (!recorded() && Clock::now() < deadline) s.pumpFor(250ms);
            ASSERT_TRUE(recorded());
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
        Json project = Json::parse(test::readFile(s.folder() / (file + ".marlune.json")));
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

// A kill early in a recording loses at most about its last second, and the next launch recovers
// it whole: the first part reaches the disk holding about a second of pictures (it used to hold
// two, written only after them), and the clicks, the kept keys and the webcam movie are kept.
TEST(RecordingRoad, AKilledRecordingIsRecoveredWithItsTracksAtTheNextLaunch) {
    test::TempDir home;
    const fs::path folder = home.path() / "Videos/Marlune";
    std::string file;
    {
        Session s(home.path(), kTestCamera);
        const std::uint32_t display = displayID(s);
        ASSERT_NE(display, 0u);
        ASSERT_TRUE(s.request("ready", "app.ready"));
        // With both sound tracks, as recordings are usually made.
        Json payload = displayPayload(display);
        payload["webcam"] = payload["systemAudio"] = true;
        s.send("start", "recording.start", payload);
        auto started = s.reply("start");
        ASSERT_TRUE(started && started->line.value["ok"].get<bool>());
        file = started->line.value["result"]["file"];
        std::optional<double> firstPart;
        ASSERT_TRUE(s.pumpUntil(
            [&] { return (firstPart = lengthOnDisk(folder / file)).has_value(); }, 30s));
        EXPECT_LT(*firstPart, 1.5);
        ASSERT_TRUE(
            xdotool("mousemove 192 108 click 1 sleep 0.2 mousemove 960 540 click 1 "
                    "sleep 0.2 mousemove 1727 971 click 1"));
        ASSERT_TRUE(xdotool(kKeys));
        // Killed once the tracks are safe beside the movie and more than a second of both movies
        // is, as the files on disk show (a loaded machine encodes and writes later than it
        // captures).
        auto safe = [&] {
            auto tracks = TrackJournal::read(TrackJournal::pathFor(folder / file));
            auto length = test::probeDuration(folder / file);
            auto webcamLength = test::probeDuration(folder / webcamName(file));
            return tracks && tracks->clicks.size() == 3 && tracks->keys.size() == 4 &&
                   tracks->webcam && length && *length > 1.5 && webcamLength && *webcamLength > 1.5;
        };
        ASSERT_TRUE(s.pumpUntil(safe, 30s));
        s.kill();
    }
    EXPECT_FALSE(fs::exists(folder / (file + ".marlune.json")));
    EXPECT_TRUE(fs::exists(folder / ("." + file + ".tracks")));

    Session s(home.path());
    auto ready = s.request("ready", "app.ready");
    ASSERT_TRUE(ready);
    auto notice = s.event("notice", 0, 5s);
    ASSERT_TRUE(notice);
    EXPECT_EQ(s.events[*notice].data()["message"], "Recovered an interrupted recording: " + file);
    EXPECT_GT(s.events[*notice].at, s.replies.front().at);  // after the page is ready
    s.pumpFor(300ms);
    EXPECT_EQ(named(s, "notice").size(), 1u);

    const fs::path movie = folder / file;
    EXPECT_TRUE(test::decodesCleanly(movie));
    EXPECT_GT(test::probeDuration(movie).value_or(0), 1.0);
    Json project = Json::parse(test::readFile(folder / (file + ".marlune.json")));
    ASSERT_EQ(project["clicks"].size(), 3u) << project.dump();
    const double expected[3][2] = {{0.1, 0.1}, {0.5, 0.5}, {0.9, 0.9}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(project["clicks"][i]["fx"].get<double>(), expected[i][0], 0.002) << i;
        EXPECT_NEAR(project["clicks"][i]["fy"].get<double>(), expected[i][1], 0.002) << i;
    }
    EXPECT_FALSE(project["cursorPath"].empty());
    EXPECT_EQ(labels(project["keys"]), kShortcuts);
    // The webcam movie is recovered with it, and the project places it.
    EXPECT_TRUE(test::decodesCleanly(folder / webcamName(file)));
    EXPECT_EQ(project["webcam"]["file"], webcamName(file));
    EXPECT_EQ(filesIn(folder),
              (std::vector<std::string>{file, file + ".marlune.json", webcamName(file)}));
    // The listing shows it like any other recording.
    auto list = s.request("list", "library.list");
    ASSERT_TRUE(list);
    ASSERT_EQ((*list)["result"]["items"].size(), 1u);
    EXPECT_GT((*list)["result"]["items"][0]["durationMs"].get<int>(), 1000);
    EXPECT_EQ(s.closeAndWait(), 0);

    // Recovered once: the next launch has nothing to say.
    Session later(home.path());
    ASSERT_TRUE(later.request("ready", "app.ready"));
    later.pumpFor(500ms);
    EXPECT_TRUE(named(later, "notice").empty());
    EXPECT_EQ(later.closeAndWait(), 0);
}

}  // namespace
}  // namespace marlune
