#pragma once

#include <chrono>
#include <optional>

#include "core/error.h"

namespace marlune::desktop {

// Whether assistive technologies are switched on for the session: the property IsEnabled of
// org.a11y.Status on the accessibility bus launcher (org.a11y.Bus, /org/a11y/bus) of the session
// bus. While it is false, applications keep their accessible objects to themselves and no text
// caret can be read. Nothing when there is no session bus or no accessibility bus launcher to ask.
// Waits at most `timeout` (the launcher may be started on demand). Any thread; it blocks.
std::optional<bool> accessibilityEnabled(
    std::chrono::milliseconds timeout = std::chrono::seconds(2));

// Switches assistive technologies on (or off) for the session. Applications started later expose
// their accessible objects at once; running GTK applications follow within a moment. The desktop
// remembers the choice in its own settings. Fails with the bus's text. Any thread.
Result<void> setAccessibilityEnabled(bool enabled);

}  // namespace marlune::desktop
