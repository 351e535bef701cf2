#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "core/json.h"
#include "platform/desktop/atspi_caret.h"
#include "recording/recorded_area.h"

namespace marlune {

// Records, during a display or window recording, where the text caret of the focused application
// is, eight times a second, so that an export can follow typing. It reads the caret through the
// accessibility bus, on a serial queue of its own (".caret"): an application that is slow to
// answer, or hung, delays only that queue, never the main thread. Without accessibility
// switched on it records nothing.
//
// `start`, `stop` and `pathJSON` are called on the main thread; sampling and the clock run on
// the ".caret" queue.
class CaretTracker {
  public:
    // The recording clock in milliseconds, or nothing when it is not running. Called on the
    // ".caret" queue: it must be safe to call from there.
    using Clock = std::function<std::optional<double>()>;

    // Where the caret is. Made, used and destroyed on the ".caret" queue, one per recording.
    class CaretSource {
      public:
        virtual ~CaretSource() = default;
        // The screen rectangle of the character before the caret, if any.
        virtual std::optional<atspi::ScreenRect> caretRect() = 0;
    };
    // Makes the source at the start of a recording, on the ".caret" queue; nothing means that
    // this recording has no caret track.
    using SourceFactory = std::function<std::unique_ptr<CaretSource>()>;

    static constexpr std::chrono::milliseconds kFirstSampleDelay{500};
    static constexpr std::chrono::milliseconds kSampleInterval{125};

    // The focused text of every application on the accessibility bus, when accessibility is on.
    CaretTracker();
    explicit CaretTracker(SourceFactory makeSource);
    ~CaretTracker();
    CaretTracker(const CaretTracker&) = delete;
    CaretTracker& operator=(const CaretTracker&) = delete;

    // Ends any earlier run, empties the samples and starts sampling the caret on `area` (asked
    // on the ".caret" queue): the first sample 0.5 s from now, then every 125 ms.
    void start(RecordedArea area, Clock elapsed);
    // On the monitor `displayID` (a RandR monitor id).
    void start(std::uint32_t displayID, Clock elapsed) {
        start(monitorArea(displayID), std::move(elapsed));
    }
    // Wayland: the accessibility interface gives positions relative to the application's own
    // window there, never its place on the screen, so `start` records nothing in a Wayland
    // session (missingReason says why). A window recording can use them as they are: this
    // samples like `start`, in fractions of the recorded window of `width` × `height` pixels.
    void startInWindow(int width, int height, Clock elapsed);
    // Why the current recording has no caret path when that was known at its start (a display
    // recording in a Wayland session), for the editor to show; nothing otherwise.
    std::optional<std::string> missingReason() const;
    static constexpr const char* kWaylandDisplayReason =
        "On Wayland the text caret's place on the screen is not known, so zooms cannot follow "
        "typing in a display recording; record a window to follow the caret.";
    // No sample is added once this returns; the samples stay until the next start.
    void stop();

    // [[t, fx, fy], …] from sample `from` on: t in whole milliseconds, fx and fy fractions of the
    // recorded area from its top-left corner, rounded to 4 decimals. Never waits for the caret
    // queue.
    Json pathJSON(std::size_t from = 0) const;
    std::size_t sampleCount() const;

    // Whether accessibility is switched on for the session (blocks up to a second: not on the
    // main thread).
    static bool trusted();

    struct State;

  private:
    void startSampling(RecordedArea area, Clock elapsed);
    std::shared_ptr<State> state_;
};

}  // namespace marlune
