#include "platform/desktop/x11_capture.h"

// Xlib first: the extensions' headers rely on it.
#include <X11/Xlib.h>

#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xdamage.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/desktop/x11_internal.h"

// The one-off pictures: a part of the screen, and windows through XComposite.

namespace marlune::x11 {

using namespace detail;

namespace {

const char* const kWindowGone =
    "The selected window is no longer available (it may have been closed).";

// Rows of an XImage in the server's 32-bit layout into a BGRA picture. A depth-24 source has no
// alpha: its pixels are made opaque.
BgraImage toBgra(const XImage* image, bool opaque) {
    BgraImage out = BgraImage::blank(image->width, image->height);
    for (int y = 0; y < image->height; ++y) {
        const auto* src = reinterpret_cast<const std::uint8_t*>(image->data) +
                          std::size_t(y) * image->bytes_per_line;
        std::uint8_t* dst = out.row(y);
        std::memcpy(dst, src, std::size_t(image->width) * 4);
        if (opaque) {
            for (int x = 0; x < image->width; ++x) dst[x * 4 + 3] = 0xff;
        }
    }
    return out;
}

// XGetImage of a drawable into a BGRA picture.
Result<BgraImage> getImage(Display* dpy, Drawable d, const PixelRect& r, bool opaque) {
    XImage* image = XGetImage(dpy, d, r.x, r.y, r.width, r.height, AllPlanes, ZPixmap);
    if (!image) return fail("The picture could not be taken.");
    Result<BgraImage> out = usableImage(image)
                                ? Result<BgraImage>(toBgra(image, opaque))
                                : fail("This display's pixel format is not supported.");
    XDestroyImage(image);
    return out;
}

}  // namespace

Result<BgraImage> captureScreenRegion(const PixelRect& region) {
    DisplayPtr dpy = openDisplay();
    if (!dpy) return fail("Cannot connect to the X display.");
    Window root = DefaultRootWindow(dpy.get());
    const int screen = DefaultScreen(dpy.get());
    PixelRect screenRect{0, 0, DisplayWidth(dpy.get(), screen), DisplayHeight(dpy.get(), screen)};
    if (region.empty() || region.intersected(screenRect) != region) {
        return fail("The area is not on the screen.");
    }
    if (!isBgraVisual(DefaultVisual(dpy.get(), screen), DefaultDepth(dpy.get(), screen))) {
        return fail("This display's pixel format is not supported.");
    }
    return getImage(dpy.get(), root, region, true);
}

std::vector<Result<BgraImage>> captureWindows(std::span<const std::uint32_t> ids) {
    std::vector<Result<BgraImage>> out;
    DisplayPtr dpy = openDisplay();
    if (!dpy) {
        out.assign(ids.size(), fail("Cannot connect to the X display."));
        return out;
    }
    Display* d = dpy.get();
    if (!hasComposite(d)) {
        out.assign(ids.size(), fail("The X server cannot show covered windows (no Composite)."));
        return out;
    }
    // A compositing manager keeps every window's picture whole already. Without one, a window
    // is given its picture when it is redirected here: what showed of it is copied, and the
    // covered rest is drawn by the application when it hears of it, a moment later.
    const std::string cm = "_NET_WM_CM_S" + std::to_string(DefaultScreen(d));
    const bool composited = XGetSelectionOwner(d, atom(d, cm.c_str())) != None;
    int damageEvents = 0, damageErrors = 0;
    const bool canWatch = !composited && XDamageQueryExtension(d, &damageEvents, &damageErrors);

    struct Target {
        Window window = None;
        XWindowAttributes attrs{};
        Damage damage = None;
        bool drawn = false;
        std::optional<Error> error;
    };
    std::vector<Target> targets(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        Target& t = targets[i];
        t.window = ids[i];
        if (!XGetWindowAttributes(d, t.window, &t.attrs) || t.attrs.map_state != IsViewable) {
            t.error = Error{kWindowGone};
            continue;
        }
        if (!isBgraVisual(t.attrs.visual, t.attrs.depth)) {
            t.error = Error{"This window's pixel format is not supported."};
            continue;
        }
        XCompositeRedirectWindow(d, t.window, CompositeRedirectAutomatic);
        // Made after the redirect: it sees only what the application draws from now on.
        if (canWatch) t.damage = XDamageCreate(d, t.window, XDamageReportNonEmpty);
    }
    syncAndTakeError(d);

    if (canWatch) {
        // Until every window has drawn and nothing has been drawn for a short while, or long
        // enough for a busy application (then its picture is taken as it is).
        using Clock = std::chrono::steady_clock;
        const auto giveUp = Clock::now() + std::chrono::milliseconds(600);
        auto quietUntil = Clock::now() + std::chrono::milliseconds(150);
        const int fd = ConnectionNumber(d);
        while (Clock::now() < giveUp) {
            while (XPending(d) > 0) {
                XEvent e;
                XNextEvent(d, &e);
                if (e.type != damageEvents + XDamageNotify) continue;
                const auto* n = reinterpret_cast<const XDamageNotifyEvent*>(&e);
                for (Target& t : targets) {
                    if (t.damage != None && t.damage == n->damage) t.drawn = true;
                }
                XDamageSubtract(d, n->damage, None, None);
                quietUntil = Clock::now() + std::chrono::milliseconds(40);
            }
            bool allDrawn = true;
            for (const Target& t : targets) allDrawn = allDrawn && (t.damage == None || t.drawn);
            const auto now = Clock::now();
            if (allDrawn && now >= quietUntil) break;
            if (!allDrawn && now >= quietUntil) quietUntil = now + std::chrono::milliseconds(40);
            pollfd p{fd, POLLIN, 0};
            auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::min(quietUntil, giveUp) - now);
            XFlush(d);
            ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(1, wait.count())));
        }
    }

    for (Target& t : targets) {
        if (t.error) {
            out.push_back(std::unexpected(*t.error));
            continue;
        }
        Pixmap pixmap = XCompositeNameWindowPixmap(d, t.window);
        if (syncAndTakeError(d) != 0) {
            out.push_back(fail(kWindowGone));
        } else {
            out.push_back(getImage(d, pixmap, PixelRect{0, 0, t.attrs.width, t.attrs.height},
                                   t.attrs.depth == 24));
            XFreePixmap(d, pixmap);
        }
        if (t.damage != None) XDamageDestroy(d, t.damage);
        XCompositeUnredirectWindow(d, t.window, CompositeRedirectAutomatic);
    }
    syncAndTakeError(d);
    return out;
}

Result<BgraImage> captureWindow(std::uint32_t id) {
    return std::move(captureWindows(std::span<const std::uint32_t>(&id, 1)).front());
}

}  // namespace marlune::x11
