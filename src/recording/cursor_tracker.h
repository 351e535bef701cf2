#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/json.h"
#include "core/steady_timer.h"
#include "recording/cursor_type_detector.h"
#include "recording/recorded_area.h"

namespace marlune {

namespace x11 {
class PointerWatch;
struct RootPoint;
}  // namespace x11
namespace wayland {
class PointerButtons;
}  // namespace wayland
class WaylandCapture;

// Records, during a display or window recording, where the primary button was pressed and, in
// smooth-cursor mode, the pointer's path and cursor type 30 times a second. Positions are
// fractions of the recorded area (0 at its left and top pixel, 1 at its right and bottom pixel),
// measured against where that area is at each sample, so a moved window keeps its pointer in
// place; times come from the recording's clock, which stands still while the recording is
// paused, so the tracks line up with the movie.
//
// Main thread only: every member, the click callbacks, the sampling timer and the clock.
class CursorTracker {
  public:
    struct Click {
        std::int64_t tMs = 0;
        double fx = 0;
        double fy = 0;
    };
    struct Sample {
        std::int64_t tMs = 0;
        double fx = 0;
        double fy = 0;
        int type = 0;  // CursorTypeDetector index
    };
    // The recording clock in milliseconds, or nothing when it is not running.
    using Clock = std::function<std::optional<std::int64_t>()>;

    // Watches the X display named by $DISPLAY, connecting at the first start.
    CursorTracker();
    ~CursorTracker();
    CursorTracker(const CursorTracker&) = delete;
    CursorTracker& operator=(const CursorTracker&) = delete;

    // Ends any earlier run, empties both tracks and starts recording on `area` (asked on the
    // main thread). While the area is unknown (a monitor or window that is gone, no display at
    // all) nothing is recorded.
    void start(RecordedArea area, bool trackPath, Clock elapsed);
    // On the monitor `displayID` (a RandR monitor id, as the capture sources list them).
    void start(std::uint32_t displayID, bool trackPath, Clock elapsed) {
        start(monitorArea(displayID), trackPath, std::move(elapsed));
    }
    // Safe when not started. The tracks stay until the next start.
    void stop();
    bool isRunning() const { return running_; }
    // Why this run records no clicks (Wayland without access to the pointer devices).
    const std::optional<std::string>& clicksMissingReason() const { return clicksMissing_; }

    // [{"t": ms, "fx": …, "fy": …}, …] from click `from` on, values rounded to 3 decimals.
    Json asJSON(std::size_t from = 0) const;
    // [[ms, fx, fy, type], …] from sample `from` on, values rounded to 3 decimals.
    Json pathJSON(std::size_t from = 0) const;

    std::vector<Click> clicks;
    std::vector<Sample> path;

    // The interval between path samples.
    static constexpr std::chrono::nanoseconds kSampleInterval{1'000'000'000 / 30};

  private:
    bool connectPointer();
    // In a Wayland session: positions from the recorded screen-cast stream's cursor metadata,
    // and the click presses.
    void startFromPortalStream();
    void watchWaylandClicks();
    // Where the pointer is, in the pixels the recorded area is given in.
    std::optional<x11::RootPoint> pointerPosition() const;
    void recordClick();
    void takeSample();
    std::optional<std::int64_t> now() const;

    CursorTypeDetector typeDetector_;
    std::unique_ptr<x11::PointerWatch> pointer_;
    bool pointerTried_ = false;
    SteadyTimer pathTimer_;
    RecordedArea area_;
    Clock elapsed_;
    bool running_ = false;
    // The stream whose cursor metadata stands in for the pointer (Wayland); null on X11. Its
    // cursor pictures are told apart by a detector of their own.
    std::shared_ptr<WaylandCapture> portal_;
    std::unique_ptr<CursorTypeDetector> portalTypes_;
    // Wayland: the pointer devices' presses, or why there are none.
    std::unique_ptr<wayland::PointerButtons> buttons_;
    std::optional<std::string> clicksMissing_;
};

}  // namespace marlune
