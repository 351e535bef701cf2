#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/error.h"
#include "recording/recording_options.h"
#include "recording/shareable_content.h"

namespace marlune {

// The content a screen stream captures.
struct CaptureFilter {
    enum class Kind { display, window };
    Kind kind = Kind::display;
    // The display's or the window's id.
    std::uint32_t id = 0;
    // For a display: its pixels on the X screen, or for an area of it the area's. For a window:
    // its size in pixels at planning time, at the origin (the window may move and resize while
    // it is recorded).
    PixelRect source;
    // For a display: windows that never appear in the frames (the application's own), and the
    // process whose windows are left out as they come and go.
    std::vector<std::uint32_t> excludedWindows;
    std::optional<int> excludedProcessID;
    // In a Wayland session, the granted stream the pictures come from (a display's or a window's,
    // as `kind` says); null on X11.
    std::shared_ptr<WaylandCapture> portal;

    bool operator==(const CaptureFilter&) const = default;
};

// How a screen stream runs. Frames are always 32-bit BGRA in sRGB.
struct CaptureConfiguration {
    int width = 0;  // frame size in pixels
    int height = 0;
    int fps = 30;              // at most one frame each 1/fps second
    bool showsCursor = false;  // draw the system cursor into the frames
    int queueDepth = 6;        // frames in flight at most
    bool capturesAudio = false;
    int sampleRate = 48000;
    int channelCount = 2;
    // Leave this program's own sound out. PulseAudio's monitor of the output cannot leave one
    // program out; the application plays nothing while it records, so nothing is lost by it.
    bool excludesCurrentProcessAudio = false;

    bool operator==(const CaptureConfiguration&) const = default;
};

// What a recording captures, at what size and rate, and what to tell the user when the size or
// rate had to be lowered.
struct CapturePlan {
    CaptureFilter filter;
    CaptureConfiguration configuration;
    int width = 0;   // even
    int height = 0;  // even
    int fps = 30;    // 30 or 60
    std::optional<std::string> notice;
};

// Largest pixel rate (width × height × frames per second) a recording is made at.
inline constexpr std::int64_t kMaxPixelsPerSecond = 230'000'000;

// The pixels on the X screen of `area` (points from the top-left of `display`, whose points are
// `scale` pixels), cut to the display; nothing when less than 2 × 2 pixels of it are on it.
std::optional<PixelRect> areaPixels(const ShareableDisplay& display, double scale,
                                    const RecordingOptions::Area& area);

// Plans the recording `options` ask for within `content`: finds the display or window, applies
// the requested height, rounds the size down to even, then keeps the pixel rate within
// kMaxPixelsPerSecond, first by lowering 60 fps to 30, then by scaling down. `processID` owns the
// windows left out of a display recording. Fails with the message the user sees when the source
// is gone or the size is below 2 pixels. Any thread.
Result<CapturePlan> makePlan(const ShareableContent& content, const RecordingOptions& options,
                             int processID = currentProcessID());

// What can be recorded for `options`: on X11 the displays and windows now; in a Wayland session
// the one source the desktop grants for the options' kind (its dialog may ask), streaming, under
// the id the options name. Blocking (the desktop's dialog waits for the person); never on the
// main thread.
Result<ShareableContent> recordableContent(const RecordingOptions& options);

}  // namespace marlune
