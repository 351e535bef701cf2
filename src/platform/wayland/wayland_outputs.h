#pragma once

#include <string>
#include <vector>

#include "core/error.h"
#include "platform/image/bgra_image.h"

namespace marlune::wayland {

// One monitor of the Wayland session, as the compositor announces it (wl_output).
struct WaylandOutput {
    std::string name;  // the connector's name ("HDMI-A-1", "Meta-0"); may be empty
    // Where it lies in the compositor's space and its current mode, in pixels.
    PixelRect pixels;
};

// The session's monitors, in the order the compositor announced them, through a short
// connection of its own to $WAYLAND_DISPLAY. Fails without a Wayland display. Blocking (two
// round trips); any thread.
Result<std::vector<WaylandOutput>> listOutputs();

}  // namespace marlune::wayland
