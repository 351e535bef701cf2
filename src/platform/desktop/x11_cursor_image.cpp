#include "platform/desktop/x11_cursor_image.h"

#include <X11/Xcursor/Xcursor.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

#include <string>

namespace marlune::x11 {

struct CursorImages::Impl {
    Display* dpy = nullptr;

    ~Impl() {
        if (dpy) XCloseDisplay(dpy);
    }
};

CursorImages::CursorImages(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
CursorImages::~CursorImages() = default;

Result<std::unique_ptr<CursorImages>> CursorImages::open() {
    auto impl = std::make_unique<Impl>();
    impl->dpy = XOpenDisplay(nullptr);
    if (!impl->dpy) return fail("Cannot connect to the X display.");
    int event = 0, error = 0;
    if (!XFixesQueryExtension(impl->dpy, &event, &error)) {
        return fail("The X display has no XFixes extension.");
    }
    // The cursor picture needs XFixes 2 or later; asking also tells the server which we speak.
    int major = 4, minor = 0;
    if (!XFixesQueryVersion(impl->dpy, &major, &minor) || major < 2) {
        return fail("The X display's XFixes extension is too old.");
    }
    return std::unique_ptr<CursorImages>(new CursorImages(std::move(impl)));
}

std::optional<CursorImage> CursorImages::current() {
    XFixesCursorImage* x = XFixesGetCursorImage(impl_->dpy);
    if (!x) return std::nullopt;
    CursorImage img;
    img.width = x->width;
    img.height = x->height;
    img.hotX = x->xhot;
    img.hotY = x->yhot;
    img.serial = x->cursor_serial;
    // Xlib hands the 32-bit pixels over as unsigned long, 64 bits each on this platform.
    std::size_t n = static_cast<std::size_t>(x->width) * x->height;
    img.argb.resize(n);
    for (std::size_t i = 0; i < n; ++i) img.argb[i] = static_cast<std::uint32_t>(x->pixels[i]);
    XFree(x);
    return img;
}

std::optional<CursorImage> CursorImages::themeCursor(std::string_view name) {
    const char* theme = XcursorGetTheme(impl_->dpy);  // owned by Xcursor; may be null
    int size = XcursorGetDefaultSize(impl_->dpy);
    XcursorImage* x = XcursorLibraryLoadImage(std::string(name).c_str(), theme, size);
    if (!x) return std::nullopt;
    CursorImage img;
    img.width = static_cast<int>(x->width);
    img.height = static_cast<int>(x->height);
    img.hotX = static_cast<int>(x->xhot);
    img.hotY = static_cast<int>(x->yhot);
    img.argb.assign(x->pixels, x->pixels + static_cast<std::size_t>(x->width) * x->height);
    XcursorImageDestroy(x);
    return img;
}

}  // namespace marlune::x11
