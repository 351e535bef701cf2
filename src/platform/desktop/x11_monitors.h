#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"

namespace marlune::x11 {

// One monitor of the X screen, as RandR describes it, in root-window pixels.
struct Monitor {
    // Stable for the life of the X server: the atom of the monitor's name, which the server
    // never reuses for another name.
    std::uint32_t id = 0;
    // The screen's product name from its EDID ("DELL U2720Q"), else RandR's name for it ("DP-1",
    // "screen"); may be empty.
    std::string name;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool primary = false;
};

// The active monitors in RandR's order, primary or not. Without RandR (or with no active
// monitor) the whole screen is one monitor named "" with id 0. Opens its own short connection to
// $DISPLAY; fails when there is no display. Any thread.
Result<std::vector<Monitor>> listMonitors();

// The product name an EDID block carries in its monitor-name descriptor, trimmed; nothing when
// the block is not an EDID or names no product.
std::optional<std::string> edidProductName(std::span<const std::uint8_t> edid);

// The monitor with `id`, if it is still there.
std::optional<Monitor> findMonitor(const std::vector<Monitor>& monitors, std::uint32_t id);

}  // namespace marlune::x11
