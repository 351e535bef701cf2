#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.h"

namespace marlune {

namespace x11 {
class KeyWatch;
}

// What a key press shows as in the recording, or nothing when it is not kept. `key` is the X
// keysym name of the key's first level ("s", "Return", "F5"), `modifiers` the x11::KeyModifier
// bits held. Labels name the modifiers first, in the order Ctrl, Alt, Shift, Super, then the key
// ("Ctrl+Shift+S", "Enter", "Esc", "Left").
//
// Typing stays private: unless `recordAll`, only presses with Ctrl, Alt or Super held are kept,
// and on their own (or with Shift) only Enter, Esc, Tab, Backspace, Delete, the arrows and F1 to
// F12. Shift with a letter or a digit is typing. `recordAll` keeps every press.
std::optional<std::string> keystrokeLabel(std::string_view key, unsigned modifiers, bool recordAll);

// Records, during an X11 recording, the key presses keystrokeLabel keeps, on the recording's
// clock (the click track's time base). On Wayland the keyboard is not read at all: no other
// client's keys reach an application there, and keyboards are never opened; the recording keeps
// why instead.
//
// Main thread only: every member, the key callback and the clock.
class KeyTracker {
  public:
    struct Keystroke {
        std::int64_t tMs = 0;
        std::string label;
    };
    // The recording clock in milliseconds, or nothing when it is not running.
    using Clock = std::function<std::optional<std::int64_t>()>;

    KeyTracker();
    ~KeyTracker();
    KeyTracker(const KeyTracker&) = delete;
    KeyTracker& operator=(const KeyTracker&) = delete;

    // Ends any earlier run, empties the track and starts recording.
    void start(bool recordAll, Clock elapsed);
    // Safe when not started. The track stays until the next start.
    void stop();
    // Why this run records no keys.
    const std::optional<std::string>& missingReason() const { return missing_; }

    // [[ms, "Ctrl+S"], …] from keystroke `from` on.
    Json asJSON(std::size_t from = 0) const;

    std::vector<Keystroke> keys;

    static constexpr const char* kWaylandReason =
        "No keystrokes were recorded: on Wayland no application sees the keys typed into "
        "another, and Marlune does not open the keyboards.";

  private:
    void record(std::string_view key, unsigned modifiers);

    std::unique_ptr<x11::KeyWatch> watch_;
    bool watchTried_ = false;
    bool recordAll_ = false;
    Clock elapsed_;
    std::optional<std::string> missing_;
};

}  // namespace marlune
