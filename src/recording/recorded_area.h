#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "platform/image/bgra_image.h"

namespace marlune {

// Where the recorded picture lies on the X screen, in root-window pixels: what the cursor,
// click and caret trackers measure their fractions against. Asked at every sample, since a
// recorded window moves; nothing while it is not known (a monitor or window that has gone).
// Each one is used by one thread at a time.
using RecordedArea = std::function<std::optional<PixelRect>()>;

// A RandR monitor (as the capture sources list them), read once, when first asked.
RecordedArea monitorArea(std::uint32_t displayID);
// A window's own area (as the window capture records it), read at every question.
RecordedArea windowArea(std::uint32_t windowID);
// A fixed rectangle of the screen.
RecordedArea fixedArea(PixelRect rect);

}  // namespace marlune
