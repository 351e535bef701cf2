#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "library/edit_document.h"
#include "render/spring.h"

namespace marlune {

// Turns the edit's zoom segments and the recorded cursor tracks into per-frame camera and cursor
// motion. The export creates one simulator per export and calls tick() once per source frame, in
// presentation order, with the frame's source time. Everything is driven by springs.
//
// With the cursor's lookAhead off nothing looks ahead in time, so the result for a frame depends
// only on the frames before it. With it on (the edit's default), two things change, both reading
// the recorded tracks, which are known whole at export:
// - the smoothed cursor chases the recorded path lookAheadMs() ahead of the frame, but never past
//   the next click: from lookAheadMs() before a click it heads for the click's place and settles
//   there by the time the click happens, so its ripple shows under it;
// - a following zoom's camera target moves only as far as it takes to keep the pointer inside the
//   central half of the view (instead of jumping onto the pointer), and stays where the current
//   zoom can show it, so the camera's speed changes only as fast as its spring allows.
//
// Coordinates are normalised to the source frame: 0 to 1 from the left and from the top. Times are
// milliseconds on the recording's clock (the tracks' `t`, the segments' startMs/endMs).
//
// Not thread-safe: the owner ticks it from one queue (the export's video queue). Construction keeps
// its arguments and builds a small index of the segments (and of cursor tracks that are out of
// time order); tick() never allocates and looks tracks up by binary search, so it costs the same
// on an hour-long recording as on a short one.
class MotionSim {
  public:
    // The cursor of one frame, present whenever the edit has cursor tracks, whether or not the
    // cursor is to be drawn (CursorFX::render is the composition's to check).
    struct CursorOut {
        double x;  // smoothed position, normalised
        double y;
        double rot;      // tilt in radians, clockwise positive; 0 with no sway
        double bounceK;  // size factor for the click bounce: 1 normally, 0.72 to 1 after a click
        // Motion-blur vector in source pixels: the cursor's velocity (pixels per second) scaled by
        // the motion-blur setting. Its direction is the blur direction; (0, 0) means no blur.
        double blurVX;
        double blurVY;
        int typeIdx;  // cursor-shape index of the current pointer sample
    };

    // The motion of one frame.
    struct Out {
        double scale;  // camera zoom, 1 (none) up to the segment's scale (at most 6)
        // Camera focus, normalised: the point of the source brought to the centre of the picture.
        // Once settled it keeps the zoomed window inside the frame, i.e. within [h, 1 - h] with
        // h = 1 / (2 x segment scale); the composition still clamps the translation itself.
        double fx;
        double fy;
        std::optional<CursorOut> cursor;  // none without cursor tracks
    };

    // `width` and `height` are the source frame's size in pixels; they convert the cursor's
    // normalised motion into pixels for tilt and blur. Pass the cursor by value and move it in: the
    // simulator keeps it, and the composition can read clicks and styling through cursor().
    MotionSim(std::vector<ZoomSegment> zooms, std::optional<CursorFX> cursor, double width,
              double height);

    // Advances every spring to time `ms` and returns the frame's motion. The first tick, a step
    // back of more than 0.5 ms or a step forward of more than 400 ms restarts the motion from rest
    // (as after a seek). A time that is not finite returns the resting camera with no cursor and
    // changes nothing.
    Out tick(double ms);

    // The segment that sets the camera at `ms`: the first in `zooms` with startMs <= ms <= endMs.
    std::optional<std::size_t> activeSegment(double ms) const;

    // The zoom strength (0 to 1) that the segment at `index` asks for at `ms`, before spring
    // smoothing: a linear ramp in from startMs over min(inMs, half the segment) and out towards
    // endMs over min(outMs, half the segment); a ramp of no length is immediate. Two segments
    // adjacent in `zooms` are chained when the second starts less than 120 ms after the first ends:
    // the zoom then holds across the join (no ramp out, no ramp in, held in the gap).
    double targetStrength(std::size_t index, double ms) const;

    // How far ahead of the frame the smoothed cursor looks with lookAhead on: the time its spring
    // takes to settle within 1 % of a step, at most 3 s. 0 with lookAhead off.
    double lookAheadMs() const { return lookAheadMs_; }

    const std::vector<ZoomSegment>& zooms() const { return zooms_; }
    const std::optional<CursorFX>& cursor() const { return cursor_; }
    double width() const { return w_; }
    double height() const { return h_; }

  private:
    struct RawPrev {
        double fx, fy, t;
    };

    void reset();
    bool chainsIntoNext(std::size_t index) const;
    // Focus target for the current segment at strength k; updates the follow camera.
    void focusTarget(const ZoomSegment& seg, double hv, double k, double ms, double& tx,
                     double& ty);

    // Inputs, fixed.
    std::vector<ZoomSegment> zooms_;
    std::optional<CursorFX> cursor_;
    double w_;
    double h_;
    SpringConfig cursorCfg_;
    SpringConfig swayCfg_;
    double lookAheadMs_ = 0;
    std::vector<std::size_t> timeline_;  // indexes of segments with startMs <= endMs, edit order
    bool ordered_ = true;                // timeline_ segments follow one another in time

    // Motion state.
    std::optional<double> lastMs_;
    SpringState cx_{0.5}, cy_{0.5};
    std::optional<RawPrev> rawPrev_;
    SpringState sway_;
    std::optional<double> lastPx_, lastPy_;  // previous smoothed cursor position, pixels
    SpringState strength_;                   // zoom strength, 0 to 1
    SpringState focusX_{0.5}, focusY_{0.5};
    std::optional<std::size_t> seg_;              // index of the most recently active segment
    bool camInit_ = false;                        // the follow camera has a position
    bool camReachedFull_ = false;                 // the current zoom has reached full strength
    double camFx_ = 0.5, camFy_ = 0.5;            // follow-camera target
    double camFrozenX_ = 0.5, camFrozenY_ = 0.5;  // kept while the zoom goes out
};

}  // namespace marlune
