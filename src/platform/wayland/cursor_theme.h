#pragma once

#include <optional>
#include <string_view>

#include "platform/desktop/x11_cursor_image.h"

namespace marlune::wayland {

// The picture the cursor theme has under `name`, read from the theme's files (no display is
// asked): the XCURSOR_THEME environment variable or the default theme, at XCURSOR_SIZE or 24
// pixels. Nothing when neither the theme nor the ones it inherits have it. Any thread.
std::optional<x11::CursorImage> themeCursorImage(std::string_view name);

}  // namespace marlune::wayland
