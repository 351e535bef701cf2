#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/json.h"

namespace marlune {

// One recorded key press as the overlay shows it.
struct Keystroke {
    double t = 0;       // ms on the recording's clock
    std::string label;  // "Ctrl+S"

    bool operator==(const Keystroke&) const = default;
};

// The keystroke overlay of an export ("keys"): the newest key press shown in a rounded pill over
// the picture, held for kHoldMs and faded out over kFadeMs; a newer press replaces it at once.
// It exists exactly when the overlay is wanted.
struct KeystrokeFX {
    static constexpr double kHoldMs = 1200;
    static constexpr double kFadeMs = 300;
    static constexpr std::size_t kMaxLabel = 40;  // longer labels are cut to this many bytes

    std::vector<Keystroke> events;           // in time order (sorted when parsed)
    std::string position = "bottom-center";  // "top-"/"bottom-" + "left"/"center"/"right"
    double size = 1;                         // text height factor, 0.5 to 2
    std::string style = "dark";              // "dark": white on black; "light": black on white

    // Required: "enabled" true. "events" are [t, "label"] arrays (others dropped); "position" and
    // "style" of another value take their defaults; "size" is clamped.
    static std::optional<KeystrokeFX> fromDict(const Json& dict);

    struct Shown {
        const Keystroke* key;
        double alpha;  // 0 to 1
    };
    // The keystroke on screen at `ms` (the events' clock), if any.
    std::optional<Shown> shownAt(double ms) const;

    bool operator==(const KeystrokeFX&) const = default;
};

}  // namespace marlune
