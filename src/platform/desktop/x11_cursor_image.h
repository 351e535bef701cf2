#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace marlune::x11 {

// A cursor picture: premultiplied ARGB, one 32-bit word per pixel (alpha in the top byte), row
// by row from the top. The hot spot is in pixels from the top-left corner.
struct CursorImage {
    int width = 0;
    int height = 0;
    int hotX = 0;
    int hotY = 0;
    // The server's number for the cursor object showing (XFixes): the same cursor shown again
    // keeps it, a different cursor object gets another. 0 for pictures read from a theme.
    std::uint64_t serial = 0;
    std::vector<std::uint32_t> argb;
};

// The displayed cursor and the cursor theme, through a connection of its own to the X display.
// One thread owns it: create, use and destroy it there.
class CursorImages {
  public:
    // Connects to $DISPLAY. Fails without a display or without XFixes.
    static Result<std::unique_ptr<CursorImages>> open();
    ~CursorImages();
    CursorImages(const CursorImages&) = delete;
    CursorImages& operator=(const CursorImages&) = delete;

    // The cursor showing now, whichever client set it (one round trip, picture included).
    std::optional<CursorImage> current();

    // The picture the current cursor theme (Xcursor: the XCURSOR_THEME environment variable or
    // the Xcursor.theme resource, else the default theme) has under `name` at the display's
    // default cursor size; nothing when neither the theme nor the ones it inherits have it.
    std::optional<CursorImage> themeCursor(std::string_view name);

    struct Impl;

  private:
    explicit CursorImages(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace marlune::x11
