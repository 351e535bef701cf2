#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/json.h"

namespace marlune {

// The user's settings that a recording falls back on when its command leaves a key out. A value
// copied from the settings store when a recording starts, so that parsing needs no store.
// The lengths of countdown a recording can have, in seconds: 0, 3 or 5; `fallback` for anything
// else (nothing, another number).
int countdownLength(std::optional<std::int64_t> asked, int fallback);

struct RecordingDefaults {
    int fps = 30;
    std::int64_t capHeight = 1440;
    bool micEnabled = true;
    bool systemAudioEnabled = false;
    bool webcamEnabled = false;
    bool hideWindow = false;
    bool showCursor = true;
    std::string cursorMode = "smooth";
    std::string micInput;  // the sound server's source to record; "" for its default
    int countdownSeconds = 3;
    bool recordAllKeys = false;

    // Reads the settings of any store with the settings' accessors (fps(), capHeight(), …).
    template <class Settings>
    static RecordingDefaults from(const Settings& s) {
        RecordingDefaults d;
        d.fps = s.fps();
        d.capHeight = s.capHeight();
        d.micEnabled = s.micEnabled();
        d.systemAudioEnabled = s.systemAudioEnabled();
        d.webcamEnabled = s.webcamEnabled();
        d.hideWindow = s.hideWindow();
        d.showCursor = s.showCursor();
        d.cursorMode = s.cursorMode();
        d.micInput = s.micInput();
        d.countdownSeconds = s.countdownSeconds();
        d.recordAllKeys = s.recordAllKeys();
        return d;
    }
};

// What one recording captures and how, as its start command asked for it.
struct RecordingOptions {
    // "display" records a whole display, "area" a part of one; any other text records one window.
    std::string sourceKind;
    // The display's id (a RandR monitor's) or the window's X id.
    std::uint32_t sourceID = 0;
    // For "area": the part of the display recorded, in its points from its top-left corner.
    struct Area {
        double x = 0, y = 0, width = 0, height = 0;
        bool operator==(const Area&) const = default;
    };
    std::optional<Area> area;
    int fps = 30;  // 30 or 60
    // Requested height in pixels; 0 or less, or not below the source's own height, means the
    // source's own size.
    std::int64_t capHeight = 0;
    bool mic = false;
    bool systemAudio = false;
    bool webcam = false;
    bool hideWindow = false;
    // Draw the system cursor into the frames (unless smoothCursor).
    bool showCursor = true;
    // The cursor is drawn again at export time from the recorded path: frames carry no cursor.
    bool smoothCursor = false;
    // The microphone's source ("" for the sound server's default) and how many seconds are
    // counted down before capture starts (0, 3 or 5).
    std::string micInput;
    int countdownSeconds = 3;
    // Keystrokes: every key press is kept, not only shortcuts and command keys.
    bool recordAllKeys = false;

    // An area is recorded from its display: what holds for a display (the countdown on it, its
    // pointer and caret tracked) holds for it too.
    bool isDisplay() const { return sourceKind == "display" || sourceKind == "area"; }
    bool isArea() const { return sourceKind == "area"; }
    // Whether the frames carry the system cursor.
    bool capturesCursor() const { return showCursor && !smoothCursor; }

    // Reads a start command's payload. "sourceKind" (a string) and "sourceID" (a whole number
    // from 0 to 2^32 - 1) are required: nothing when either is missing. Every other key falls
    // back on `defaults` when missing or of another type; "showCursor" always comes from them.
    // "micInput" is a source name; "countdown" is 0, 3 or 5 (any other value means the default).
    // "area" needs "area": {"x", "y", "width", "height"}, numbers: nothing without it.
    static std::optional<RecordingOptions> parse(const Json& payload,
                                                 const RecordingDefaults& defaults);

    bool operator==(const RecordingOptions&) const = default;
};

}  // namespace marlune
