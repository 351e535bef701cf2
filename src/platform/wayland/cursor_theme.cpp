#include "platform/wayland/cursor_theme.h"

#include <X11/Xcursor/Xcursor.h>

#include <cstdlib>
#include <string>

namespace marlune::wayland {

std::optional<x11::CursorImage> themeCursorImage(std::string_view name) {
    const char* theme = std::getenv("XCURSOR_THEME");
    const char* sizeText = std::getenv("XCURSOR_SIZE");
    const int size = sizeText && std::atoi(sizeText) > 0 ? std::atoi(sizeText) : 24;
    XcursorImage* x = XcursorLibraryLoadImage(std::string(name).c_str(), theme, size);
    if (!x) return std::nullopt;
    x11::CursorImage img;
    img.width = static_cast<int>(x->width);
    img.height = static_cast<int>(x->height);
    img.hotX = static_cast<int>(x->xhot);
    img.hotY = static_cast<int>(x->yhot);
    img.argb.assign(x->pixels, x->pixels + static_cast<std::size_t>(x->width) * x->height);
    XcursorImageDestroy(x);
    return img;
}

}  // namespace marlune::wayland
