#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/json.h"
#include "library/keystroke_fx.h"

namespace marlune {

// The edit document: what the page sends with an export request, decoded once into plain values.
// Nothing downstream (motion, composition, export) looks at the raw JSON again.
//
// Every `fromDict` below is lenient. A small set of required keys rejects the whole value when
// missing or of the wrong kind (the result is then nothing, never an error); every other key takes
// its default when missing or of the wrong kind; out-of-range numbers are clamped, never rejected.
// The kinds a value may have are looser than the command payload readers of core/json.h:
//
// - number: any finite JSON number, read as a double; true and false pass as 1 and 0.
// - integer: a number as above, truncated toward zero (used for the cursor shape index only).
// - boolean: true or false; the numbers 1 and 0 pass as true and false, no other number does.
// - string: a JSON string.
//
// Times are milliseconds on the recording's clock (time since the recording started with paused
// time removed, which is also the recorded movie's timeline). Positions `fx`/`fy` are fractions of
// the source frame's width and height, (0, 0) at the top-left, y growing downwards.
//
// All types are immutable in practice: built once by the request decoder, then only read, from any
// thread.

// One zoom region of the timeline.
struct ZoomSegment {
    static constexpr double defaultInMs = 1522.575;
    static constexpr double defaultOutMs = 1015.05;

    double startMs = 0;
    double endMs = 0;  // not compared with startMs: a region that ends before it starts never shows
    double scale = 1;  // magnification at full zoom, 1 to 6
    double fx = 0.5;   // focus point, 0 to 1
    double fy = 0.5;
    bool follow = false;  // the camera follows the caret or pointer instead of holding (fx, fy)
    double inMs = defaultInMs;    // ramp-in length, at least 100 when parsed
    double outMs = defaultOutMs;  // ramp-out length, at least 100 when parsed

    // Required: startMs, endMs, scale (numbers).
    static std::optional<ZoomSegment> fromDict(const Json& dict);

    bool operator==(const ZoomSegment&) const = default;
};

// Background and frame styling of the exported picture. Percentages are turned into pixels by the
// frame composition.
struct FrameSettings {
    std::string type;  // "wallpaper", "gradient", "color" or "live"
    // Wallpaper or live background name; only Unicode letters, marks, digits and "-" survive
    // parsing, so it is safe to splice into a file path.
    std::string id;
    std::string from = "#000000";  // gradient colours, "#rrggbb"; interpreted where used
    std::string to = "#000000";
    double angle = 160;           // gradient angle in degrees, not clamped
    std::string hex = "#000000";  // solid colour
    double paddingPct = 12;       // 0 to 40
    double radiusPct = 3;         // 0 to 20
    double shadowPct = 45;        // 0 to 100
    double outlinePct = 0;        // 0 to 4

    // Required: type, one of the four names (exact case).
    static std::optional<FrameSettings> fromDict(const Json& dict);

    bool operator==(const FrameSettings&) const = default;
};

// One recorded pointer sample.
struct CursorSample {
    double t = 0;
    double fx = 0;
    double fy = 0;
    int type = 0;  // cursor-shape index from cursor type detection; 0 when not recorded

    bool operator==(const CursorSample&) const = default;
};

// One caret sample or one click (mouse-down).
struct TrackPoint {
    double t = 0;
    double fx = 0;
    double fy = 0;

    bool operator==(const TrackPoint&) const = default;
};

// Cursor tracks and the cursor treatment of an export.
//
// The tracks keep the order in which they arrived; the parser neither sorts nor removes duplicates.
// The recorder writes them in time order, and the lookups below are binary searches over them;
// the order of each track is checked once when the value is built (fromDict, or prepareLookups()
// after building one by hand), and a track out of order gets a time index instead, so that its
// lookups give the same answers as a scan of the track in array order would.
struct CursorFX {
    std::vector<CursorSample> path;     // never empty when parsed
    std::vector<TrackPoint> caretPath;  // from the key "caret"
    std::vector<TrackPoint> clicks;
    double size = 2;      // drawn cursor height factor, 1 to 3
    double smooth = 0.5;  // 0 to 1
    bool ripple = true;
    std::string style = "arrow";
    double bounce = 0.5;      // 0 to 1
    double motionBlur = 0.4;  // 0 to 1
    double sway = 0.3;        // 0 to 1
    bool render = true;       // draw the synthetic cursor at all
    // The smoothed cursor looks ahead on the recorded path so that it is where each click happens
    // by the time it happens, and a following zoom's camera is steered without jumps (see
    // MotionSim). Off, the motion is the causal spring that only looks back. A value built by
    // hand starts off; a parsed one is on unless "lookAhead" is false or "off".
    bool lookAhead = false;

    // Required: a "path" that is an array of arrays with at least one sample of three leading
    // numbers. "path" and "caret" samples are arrays [t, fx, fy(, type)]; "clicks" are objects
    // {"t", "fx", "fy"}.
    static std::optional<CursorFX> fromDict(const Json& dict);

    // Checks the order of the caret and click tracks and indexes those out of order. Call it
    // after changing the tracks; without it the lookups scan the tracks (right, but slow).
    void prepareLookups();

    // Equal values: the same tracks and settings (the lookup indexes are derived from the tracks).
    bool operator==(const CursorFX& o) const {
        return path == o.path && caretPath == o.caretPath && clicks == o.clicks && size == o.size &&
               smooth == o.smooth && ripple == o.ripple && style == o.style && bounce == o.bounce &&
               motionBlur == o.motionBlur && sway == o.sway && render == o.render &&
               lookAhead == o.lookAhead;
    }

    struct RawPosition {
        double fx;
        double fy;
        int type;
    };
    // The pointer at time `t` (ms): linear interpolation between the two samples around it, the
    // first or last sample outside the track, nothing for an empty path. The type is the earlier
    // sample's, never interpolated. The path is searched by halving, as a track in time order.
    std::optional<RawPosition> raw(double t) const;

    struct Position {
        double fx;
        double fy;
    };
    // The caret at `t` (ms): nothing when the track is empty or its first sample is later than
    // `t`; otherwise the last sample in the track (array order) with a time at or before `t`,
    // when it is at most 900 ms old.
    std::optional<Position> caret(double t) const;

    // The first click in the track (array order) with 0 <= t - click.t <= withinMs, if any.
    const TrackPoint* recentClick(double t, double withinMs) const;

    // Calls `fn` for every click with fromMs <= click.t <= toMs, in array order.
    void forEachClickBetween(double fromMs, double toMs,
                             const std::function<void(const TrackPoint&)>& fn) const;

    // What prepareLookups() worked out; shared by the copies of one value.
    struct Lookups;
    std::shared_ptr<const Lookups> lookups;
};

// Webcam overlay of an export. It exists exactly when the overlay is wanted. No number is clamped:
// the composition applies its own limits.
struct WebcamFX {
    std::string file;     // companion movie in the recordings folder, always ends in ".webcam.mp4"
    double offsetMs = 0;  // webcam time = source time - offsetMs
    bool mirror = true;
    std::string positionPreset = "bottom-right";  // or "custom", which uses positionX/Y
    double positionX = 1.0;                       // anchor fractions of the canvas for "custom"
    double positionY = 1.0;
    double width = 40;  // box size, percent of the canvas measure
    double height = 40;
    double cornerRadius = 90;  // 1/1080 units of the canvas measure
    double shadow = 0.67;      // shadow opacity factor
    double margin = 24;        // 1/1080 units of the canvas measure
    bool reactToZoom = true;
    std::string shape = "squircle";

    // Required: "enabled" true and a "file" ending in ".webcam.mp4". "size" (default 40) is the
    // default of both width and height and is not stored.
    static std::optional<WebcamFX> fromDict(const Json& dict);

    bool operator==(const WebcamFX&) const = default;
};

// A stretch of the recording removed from the export ("cuts"), or played faster ("speeds").
// Inverted or empty stretches change nothing; overlaps are settled by the time map.
struct TimeStretch {
    std::int64_t startMs = 0;
    std::int64_t endMs = 0;
    double rate = 1;  // speeds only: kMinRate to kMaxRate

    static constexpr double kMinRate = 1.25;
    static constexpr double kMaxRate = 8;

    // Required: startMs and endMs (numbers, truncated to whole ms); for a speed, "rate" (a
    // number, clamped to kMinRate..kMaxRate).
    static std::optional<TimeStretch> fromDict(const Json& dict, bool speed);

    bool operator==(const TimeStretch&) const = default;
};

// The file an export writes.
enum class ExportFormat { mp4, gif, webm };

// An animated GIF's picture rate and width.
struct GifSettings {
    static constexpr int kMinFps = 10;
    static constexpr int kMaxFps = 30;
    int fps = 15;     // kMinFps to kMaxFps
    int width = 960;  // pixels, 120 to 3840; never wider than the exported picture

    bool operator==(const GifSettings&) const = default;
};

// The shape of the exported picture: the recording's own, or a canvas of a fixed aspect with the
// recording framed inside it ("shape": "original", "16:9", "9:16", "1:1", "4:3").
enum class OutputShape { original, wide, tall, square, classic };

// The shape named `name`, or nothing for any other text.
std::optional<OutputShape> outputShapeNamed(std::string_view name);

// The decoded payload of an export request, in the order the export pipeline takes it.
struct ExportRequest {
    std::string name;  // recording file name, resolved later through the recordings folder
    std::int64_t startMs = 0;
    std::int64_t endMs = 0;
    std::vector<ZoomSegment> zooms;  // rejected elements dropped, order kept
    std::optional<FrameSettings> frame;
    std::optional<CursorFX> cursor;
    std::optional<WebcamFX> webcam;
    // Linear gains, kept within 0 to kMaxGain: beyond that the mix is only distortion, and
    // numbers like 1e39 overflow the audio filters.
    static constexpr double kMaxGain = 8.0;
    double micGain = 1.0;           // gain of the first audio track
    double systemGain = 1.0;        // gain of every other audio track
    std::int64_t targetHeight = 0;  // wanted output height in pixels; 0 keeps the source's
    // Stretches removed and stretches sped up, as given (rejected elements dropped).
    std::vector<TimeStretch> cuts;
    std::vector<TimeStretch> speeds;
    ExportFormat format = ExportFormat::mp4;    // "format": "mp4", "gif" or "webm"
    GifSettings gif;                            // "gif": {"fps", "width"}
    OutputShape shape = OutputShape::original;  // "shape"; an unknown name keeps the original
    std::optional<KeystrokeFX> keys;            // "keys": the keystroke overlay, when enabled

    // Fails with "Missing export parameters" when "name" (a string) or "startMs" / "endMs"
    // (numbers with an integral value) are missing or of another kind; nothing else fails.
    static Result<ExportRequest> fromPayload(const Json& payload);
};

}  // namespace marlune
