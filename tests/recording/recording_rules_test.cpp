// A recording's start command, name, clock, kept keys and webcam project entry.

#include <ctime>
#include <tuple>

#include <gtest/gtest.h>

#include "platform/desktop/x11_keys.h"
#include "recording/key_tracker.h"
#include "recording/recording_clock.h"
#include "recording/recording_controller.h"
#include "recording/recording_options.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;

// Reading a recording's start command, with the user's settings behind every optional key.
RecordingDefaults settings() {
    RecordingDefaults d;
    d.fps = 60;
    d.capHeight = 720;
    d.micEnabled = false;
    d.systemAudioEnabled = true;
    d.webcamEnabled = true;
    d.hideWindow = true;
    d.showCursor = false;
    d.cursorMode = "system";
    return d;
}

// Right-typed keys override the settings, wrong types count as missing, IDs are whole 32-bit.
TEST(RecordingOptions, OptionalKeysFallBackOnSettings) {
    // Read: kind, display, id, fps, capHeight, mic, system audio, webcam, hide window, smooth
    // cursor, show cursor.
    using Read = std::tuple<std::string, bool, std::uint32_t, int, std::int64_t, bool, bool, bool,
                            bool, bool, bool>;
    struct Case {
        const char* payload;
        std::optional<Read> read;  // nothing: refused
        int settingsFps = 60;
        const char* settingsCursor = "system";
    };
    const Case cases[] = {
        {R"({"sourceKind": "window", "sourceID": 9, "fps": 60, "capHeight": 1080, "mic": true,
             "systemAudio": false, "webcam": false, "hideWindow": false, "cursorMode": "smooth",
             "showCursor": true})",
         Read{"window", false, 9, 60, 1080, true, false, false, false, true, false}},
        {R"({"sourceKind": "display", "sourceID": 1, "fps": "60", "capHeight": 1080.5, "mic": 1,
             "systemAudio": "no", "webcam": null, "hideWindow": 0, "cursorMode": true})",
         Read{"display", true, 1, 60, 720, false, true, true, true, false, false}},
        {R"({"sourceKind": "window", "sourceID": 4294967295})",
         Read{"window", false, 4294967295u, 60, 720, false, true, true, true, false, false}},
        {R"({"sourceKind": "display", "sourceID": 5.5})", std::nullopt},
        {R"(null)", std::nullopt},
        // Only 30 and 60 frames a second; the cursor mode is "smooth" exactly.
        {R"({"sourceKind": "display", "sourceID": 1, "fps": 45})",
         Read{"display", true, 1, 30, 720, false, true, true, true, true, false}, 60, "smooth"},
        {R"({"sourceKind": "display", "sourceID": 1, "cursorMode": "Smooth"})",
         Read{"display", true, 1, 30, 720, false, true, true, true, false, false}, 30, "smooth"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload);
        RecordingDefaults d = settings();
        d.fps = c.settingsFps;
        d.cursorMode = c.settingsCursor;
        auto o = RecordingOptions::parse(Json::parse(c.payload), d);
        ASSERT_EQ(o.has_value(), c.read.has_value());
        if (!o) continue;
        EXPECT_EQ(Read(o->sourceKind, o->isDisplay(), o->sourceID, o->fps, o->capHeight, o->mic,
                       o->systemAudio, o->webcam, o->hideWindow, o->smoothCursor, o->showCursor),
                  *c.read);
    }
}

// The names recordings get, and the project entry of a webcam movie.

std::chrono::system_clock::time_point localTime(int y, int mo, int d, int h, int mi, int s) {
    std::tm t{};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    t.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&t));
}

TEST(RecordingController, RecordingsAreNamedAfterTheirLocalStartTimeWithoutOverwriting) {
    const auto when = localTime(2026, 12, 5, 19, 27, 30) + 700ms;  // seconds truncated
    const auto taken = [](const std::string& name) {
        return name == "Marlune 2026-12-05 at 19.27.30.mp4";
    };
    EXPECT_EQ(RecordingController::outputName(when, taken),
              "Marlune 2026-12-05 at 19.27.30 (2).mp4");
    EXPECT_EQ(RecordingController::outputName(localTime(2027, 1, 2, 3, 4, 5), nullptr),
              "Marlune 2027-01-02 at 03.04.05.mp4");
}

TEST(RecordingController, TheWebcamEntryPlacesTheWebcamMovieAgainstTheScreenMovie) {
    struct Case {
        const char* what;
        double webcamFirst, screenFirst;  // seconds on the capture clock
        const char* shape;
        int offsetMs, cornerRadius;
    };
    const Case cases[] = {
        {"later camera, wide and sized", 100.25, 100.0, "wide", 250, 40},
        {"half a millisecond rounds away from zero", 10.0625, 10.0, "squircle", 63, 90},
        {"the same below zero", 10.0, 10.0625, "circle", -63, 999},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Json expected = {{"file", "A.webcam.mp4"},
                         {"offsetMs", c.offsetMs},
                         {"enabled", true},
                         {"shape", c.shape},
                         {"cornerRadius", c.cornerRadius}};
        if (std::string_view(c.shape) == "wide") {
            expected["width"] = 40;
            expected["height"] = 22.5;
        }
        EXPECT_EQ(webcamProjectEntry("A.mp4", c.webcamFirst, c.screenFirst, c.shape), expected);
    }
}

// The recording clock and how the tray shows it.

TEST(RecordingClock, PausesComeOffTheElapsedTime) {
    using Step = std::pair<char, std::chrono::milliseconds>;  // what happens, and when
    struct Case {
        const char* what;
        std::vector<Step> steps;
        std::chrono::microseconds readAt;
        std::int64_t expected;
    };
    // 's' start, 'p' pause, 'r' resume, 'x' reset.
    const Case cases[] = {
        {"stands still while paused", {{'s', 0ms}, {'p', 3s}}, 13s, 3000},
        {"a 10 s pause leaves it 10 s behind", {{'s', 0ms}, {'p', 3s}, {'r', 13s}}, 20s, 10000},
        {"a second pause does not restart the first",
         {{'s', 0ms}, {'p', 2s}, {'p', 5s}, {'r', 6s}},
         8s,
         4000},
        {"a pause before any start does nothing", {{'p', 0ms}, {'s', 1s}}, 3s, 2000},
        {"a new start forgets the old pauses",
         {{'s', 0ms}, {'p', 1s}, {'r', 5s}, {'s', 10s}},
         11s,
         1000},
        {"never below 0", {{'s', 5s}}, 1s, 0},
    };
    const auto t0 = std::chrono::steady_clock::time_point{} + 1000s;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingClock clock;
        for (auto [op, at] : c.steps) {
            switch (op) {
                case 's':
                    clock.start(t0 + at);
                    break;
                case 'p':
                    clock.pause(t0 + at);
                    break;
                case 'r':
                    clock.resume(t0 + at);
                    break;
                default:
                    clock.reset();
            }
        }
        EXPECT_EQ(clock.elapsedMs(t0 + c.readAt), c.expected);
    }
}

// Which key presses a recording keeps, and their labels (the X11 capture: tests/desktop).
TEST(Keystrokes, OnlyShortcutsAndCommandKeysUnlessAllAreAsked) {
    constexpr unsigned ctrl = x11::kModCtrl, alt = x11::kModAlt, shift = x11::kModShift,
                       super = x11::kModSuper;
    struct Case {
        const char* key;  // keysym name of the key's first level
        unsigned modifiers;
        const char* kept;  // by default; nullptr: dropped
        const char* keptWithAll;
    };
    const Case cases[] = {
        // Typing stays private.
        {"a", shift, nullptr, "Shift+A"},
        {"space", 0, nullptr, "Space"},
        {"F13", 0, nullptr, "F13"},
        // Shortcuts, in the order Ctrl, Alt, Shift, Super.
        {"s", ctrl, "Ctrl+S", "Ctrl+S"},
        {"Tab", alt, "Alt+Tab", "Alt+Tab"},
        {"Left", super | alt | ctrl, "Ctrl+Alt+Super+Left", "Ctrl+Alt+Super+Left"},
        {"minus", ctrl, "Ctrl+-", "Ctrl+-"},
        // Keys that do something rather than type something, with or without Shift.
        {"KP_Enter", 0, "Enter", "Enter"},
        {"ISO_Left_Tab", shift, "Shift+Tab", "Shift+Tab"},
        {"F1", 0, "F1", "F1"},
        {"", ctrl, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " " + std::to_string(c.modifiers));
        auto label = keystrokeLabel(c.key, c.modifiers, false);
        EXPECT_EQ(label.value_or("(dropped)"), c.kept ? c.kept : "(dropped)");
        auto all = keystrokeLabel(c.key, c.modifiers, true);
        EXPECT_EQ(all.value_or("(dropped)"), c.keptWithAll ? c.keptWithAll : "(dropped)");
    }
}

}  // namespace
}  // namespace marlune
