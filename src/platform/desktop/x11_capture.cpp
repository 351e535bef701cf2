#include "platform/desktop/x11_capture.h"

// Xlib first: the extensions' headers rely on it.
#include <X11/Xlib.h>

#include <X11/Xatom.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>

#include "core/recycler.h"
#include "platform/desktop/x11_internal.h"

namespace marlune::x11 {

using namespace detail;

namespace {

const char* const kWindowGone =
    "The selected window is no longer available (it may have been closed).";

}  // namespace

// ---- ScreenGrabber ----

namespace {

// One piece of picture memory: a shared-memory segment the server writes into, or plain memory
// when the server cannot share memory (a remote display).
struct Segment {
    std::size_t size = 0;
    XShmSegmentInfo shm{};  // shm.shmaddr is null for plain memory
    std::unique_ptr<std::uint8_t[]> heap;

    std::uint8_t* data() {
        return heap ? heap.get() : reinterpret_cast<std::uint8_t*>(shm.shmaddr);
    }
    // The client's mapping only: the server's attachment ends with XShmDetach or when the
    // connection closes, and the segment itself was removed when it was made.
    ~Segment() {
        if (shm.shmaddr) shmdt(shm.shmaddr);
    }
};

std::unique_ptr<Segment> makeShmSegment(Display* dpy, std::size_t size) {
    auto s = std::make_unique<Segment>();
    s->size = size;
    s->shm.shmid = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (s->shm.shmid < 0) return nullptr;
    void* addr = shmat(s->shm.shmid, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) {
        shmctl(s->shm.shmid, IPC_RMID, nullptr);
        return nullptr;
    }
    s->shm.shmaddr = static_cast<char*>(addr);
    s->shm.readOnly = False;
    bool attached = XShmAttach(dpy, &s->shm) && syncAndTakeError(dpy) == 0;
    // Gone from the system as soon as both sides have let go of it.
    shmctl(s->shm.shmid, IPC_RMID, nullptr);
    if (!attached) return nullptr;
    return s;
}

}  // namespace

struct ScreenGrabber::Impl {
    DisplayPtr dpy;
    Window root = None;
    // The source: a rectangle of the root window, or a window through its composite pixmap.
    bool isWindow = false;
    Window window = None;
    Pixmap pixmap = None;
    bool pixmapStale = false;  // resized while unmapped: name a new pixmap once it maps
    PixelRect region;          // the root rectangle, or the window's size at the origin
    Visual* visual = nullptr;
    int depth = 24;
    bool gone = false;
    bool useShm = false;
    std::shared_ptr<Recycler<Segment>> pool;

    // Cursor.
    bool cursorSelected = false;
    bool cursorDirty = true;
    BgraImage cursorImage;
    int cursorHotX = 0;
    int cursorHotY = 0;

    // Top-level windows for leaving a process's windows out: root child → its frame rectangle
    // (in root pixels, border included), whether it is mapped and whether `scannedFor` owns it;
    // owners are read once per window.
    bool watchingTopLevels = false;
    bool topLevelsDirty = true;
    int scannedFor = -1;
    struct TopLevel {
        PixelRect rect;
        bool mapped = false;
        bool own = false;
        bool drawable = false;  // has pixels we can read (not input-only, a BGRA visual)
        bool opaque = true;     // depth 24: its alpha byte means nothing
    };
    std::map<Window, TopLevel> topLevels;
    std::map<Window, std::optional<int>> ownerOf;
    int fixesEventBase = 0;
    // Every top-level window redirected, so that what lies beneath ours can be read.
    bool redirectedAll = false;
    Pixmap background = None;  // the desktop's background picture, when the desktop set one

    ~Impl() {
        if (!dpy) return;
        if (pool) {
            pool->drain([this](std::unique_ptr<Segment> s) { detach(std::move(s)); });
        }
        if (pixmap != None) XFreePixmap(dpy.get(), pixmap);
        if (isWindow) XCompositeUnredirectWindow(dpy.get(), window, CompositeRedirectAutomatic);
        if (redirectedAll)
            XCompositeUnredirectSubwindows(dpy.get(), root, CompositeRedirectAutomatic);
        syncAndTakeError(dpy.get());
        // Closing the connection ends the server's hold on segments still out with pictures.
    }

    void detach(std::unique_ptr<Segment> s) {
        if (s && s->shm.shmaddr) XShmDetach(dpy.get(), &s->shm);
    }

    bool namePixmap() {
        Display* d = dpy.get();
        XWindowAttributes attrs;
        if (!XGetWindowAttributes(d, window, &attrs)) {
            syncAndTakeError(d);
            return false;
        }
        region = PixelRect{0, 0, attrs.width, attrs.height};
        if (attrs.map_state != IsViewable) {
            pixmapStale = true;  // an unmapped window has no pixmap: keep the last one
            return true;
        }
        Pixmap fresh = XCompositeNameWindowPixmap(d, window);
        if (syncAndTakeError(d) != 0) {
            pixmapStale = true;
            return pixmap != None;
        }
        if (pixmap != None) XFreePixmap(d, pixmap);
        pixmap = fresh;
        pixmapStale = false;
        return true;
    }
};

ScreenGrabber::ScreenGrabber(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ScreenGrabber::~ScreenGrabber() = default;

namespace {

std::unique_ptr<ScreenGrabber::Impl> openImpl(int poolSize) {
    auto impl = std::make_unique<ScreenGrabber::Impl>();
    impl->dpy = openDisplay();
    if (!impl->dpy) return nullptr;
    impl->root = DefaultRootWindow(impl->dpy.get());
    impl->useShm = XShmQueryExtension(impl->dpy.get());
    impl->pool = Recycler<Segment>::make(static_cast<std::size_t>(std::max(1, poolSize)));
    int errorBase = 0;
    if (XFixesQueryExtension(impl->dpy.get(), &impl->fixesEventBase, &errorBase)) {
        XFixesSelectCursorInput(impl->dpy.get(), impl->root, XFixesDisplayCursorNotifyMask);
        impl->cursorSelected = true;
    }
    return impl;
}

}  // namespace

Result<std::unique_ptr<ScreenGrabber>> ScreenGrabber::forScreenRegion(const PixelRect& region,
                                                                      int poolSize) {
    auto impl = openImpl(poolSize);
    if (!impl) return fail("Cannot connect to the X display.");
    Display* d = impl->dpy.get();
    const int screen = DefaultScreen(d);
    PixelRect screenRect{0, 0, DisplayWidth(d, screen), DisplayHeight(d, screen)};
    if (region.empty() || region.intersected(screenRect) != region) {
        return fail("The selected display is no longer available.");
    }
    impl->visual = DefaultVisual(d, screen);
    impl->depth = DefaultDepth(d, screen);
    if (!isBgraVisual(impl->visual, impl->depth)) {
        return fail("This display's pixel format is not supported.");
    }
    impl->region = region;
    return std::unique_ptr<ScreenGrabber>(new ScreenGrabber(std::move(impl)));
}

Result<std::unique_ptr<ScreenGrabber>> ScreenGrabber::forWindow(std::uint32_t id, int poolSize) {
    auto impl = openImpl(poolSize);
    if (!impl) return fail("Cannot connect to the X display.");
    Display* d = impl->dpy.get();
    impl->isWindow = true;
    impl->window = id;
    XWindowAttributes attrs;
    if (!XGetWindowAttributes(d, impl->window, &attrs) || attrs.map_state != IsViewable) {
        return fail(kWindowGone);
    }
    if (!isBgraVisual(attrs.visual, attrs.depth)) {
        return fail("This window's pixel format is not supported.");
    }
    if (!hasComposite(d)) return fail("The X server cannot show covered windows (no Composite).");
    impl->visual = attrs.visual;
    impl->depth = attrs.depth;
    // Size changes and the window's end arrive as events on this connection.
    XSelectInput(d, impl->window, StructureNotifyMask);
    XCompositeRedirectWindow(d, impl->window, CompositeRedirectAutomatic);
    if (syncAndTakeError(d) != 0 || !impl->namePixmap() || impl->pixmap == None) {
        impl->isWindow = false;  // nothing to undo on the server
        return fail(kWindowGone);
    }
    return std::unique_ptr<ScreenGrabber>(new ScreenGrabber(std::move(impl)));
}

void ScreenGrabber::update() {
    Impl& s = *impl_;
    Display* d = s.dpy.get();
    if (s.gone) return;
    bool resized = false;
    while (XPending(d) > 0) {
        XEvent e;
        XNextEvent(d, &e);
        if (s.cursorSelected && e.type == s.fixesEventBase + XFixesCursorNotify) {
            s.cursorDirty = true;
            continue;
        }
        switch (e.type) {
            case DestroyNotify:
                if (s.isWindow && e.xdestroywindow.window == s.window) s.gone = true;
                s.topLevels.erase(e.xdestroywindow.window);
                s.ownerOf.erase(e.xdestroywindow.window);
                break;
            case ConfigureNotify: {
                const XConfigureEvent& c = e.xconfigure;
                if (s.isWindow && c.window == s.window) {
                    resized = resized || c.width != s.region.width || c.height != s.region.height;
                } else if (c.event == s.root) {
                    auto it = s.topLevels.find(c.window);
                    if (it != s.topLevels.end()) {
                        it->second.rect = PixelRect{c.x, c.y, c.width + 2 * c.border_width,
                                                    c.height + 2 * c.border_width};
                    }
                }
                break;
            }
            case MapNotify:
                if (s.isWindow && e.xmap.window == s.window && s.pixmapStale) resized = true;
                if (e.xmap.event == s.root) s.topLevelsDirty = true;
                break;
            case UnmapNotify:
                if (e.xunmap.event == s.root) {
                    auto it = s.topLevels.find(e.xunmap.window);
                    if (it != s.topLevels.end()) it->second.mapped = false;
                }
                break;
            case CreateNotify:
                s.topLevelsDirty = true;
                break;
            case ReparentNotify:
                // A client moved into (or out of) a manager's frame: the frame's owner changes.
                s.ownerOf.erase(e.xreparent.parent);
                s.topLevelsDirty = true;
                break;
            default:
                break;
        }
    }
    if (resized && !s.gone && !s.namePixmap()) s.gone = true;
}

bool ScreenGrabber::sourceGone() const {
    return impl_->gone;
}
int ScreenGrabber::sourceWidth() const {
    return impl_->region.width;
}
int ScreenGrabber::sourceHeight() const {
    return impl_->region.height;
}

std::optional<GrabbedPicture> ScreenGrabber::grab(const PixelRect& area, Failure* failure) {
    Impl& s = *impl_;
    Display* d = s.dpy.get();
    auto failWith = [&](Failure f) -> std::optional<GrabbedPicture> {
        if (failure) *failure = f;
        return std::nullopt;
    };
    if (s.gone) return failWith(Failure::sourceGone);
    PixelRect whole{0, 0, s.region.width, s.region.height};
    if (area.empty() || area.intersected(whole) != area) return failWith(Failure::captureFailed);
    const std::size_t bytes = std::size_t(area.width) * area.height * 4;
    auto segment = s.pool->take(
        [bytes](const Segment& seg) { return seg.size >= bytes && seg.size <= bytes * 2; },
        [&]() -> std::unique_ptr<Segment> {
            if (!s.useShm) {
                auto seg = std::make_unique<Segment>();
                seg->size = bytes;
                seg->heap.reset(new (std::nothrow) std::uint8_t[bytes]);
                return seg->heap ? std::move(seg) : nullptr;
            }
            return makeShmSegment(d, bytes);
        },
        [&s](std::unique_ptr<Segment> seg) { s.detach(std::move(seg)); });
    if (!segment) return failWith(Failure::poolExhausted);

    const Drawable drawable = s.isWindow ? s.pixmap : s.root;
    const int x = s.isWindow ? area.x : s.region.x + area.x;
    const int y = s.isWindow ? area.y : s.region.y + area.y;
    int stride = area.width * 4;
    if (segment->shm.shmaddr) {
        XImage* image = XShmCreateImage(d, s.visual, s.depth, ZPixmap, segment->shm.shmaddr,
                                        &segment->shm, area.width, area.height);
        if (!image) return failWith(Failure::captureFailed);
        bool ok = usableImage(image) && XShmGetImage(d, drawable, image, x, y, AllPlanes);
        stride = image->bytes_per_line;
        image->data = nullptr;  // the segment is not the image's to free
        XDestroyImage(image);
        // A failed request has had its error by the time its reply was awaited.
        takeError(d);
        if (!ok) return failWith(Failure::captureFailed);
    } else {
        XImage* image = XGetImage(d, drawable, x, y, area.width, area.height, AllPlanes, ZPixmap);
        if (!usableImage(image)) {
            if (image) XDestroyImage(image);
            takeError(d);
            return failWith(Failure::captureFailed);
        }
        for (int row = 0; row < area.height; ++row) {
            std::memcpy(segment->data() + std::size_t(row) * stride,
                        image->data + std::size_t(row) * image->bytes_per_line,
                        std::size_t(stride));
        }
        XDestroyImage(image);
    }
    GrabbedPicture picture;
    picture.width = area.width;
    picture.height = area.height;
    picture.stride = stride;
    picture.pixels = std::shared_ptr<std::uint8_t>(segment, segment->data());
    return picture;
}

std::optional<CursorSprite> ScreenGrabber::cursor() {
    Impl& s = *impl_;
    Display* d = s.dpy.get();
    if (s.gone || !s.cursorSelected) return std::nullopt;
    if (s.cursorDirty) {
        XFixesCursorImage* c = XFixesGetCursorImage(d);
        if (!c) return std::nullopt;
        s.cursorImage = BgraImage::blank(c->width, c->height);
        for (int y = 0; y < c->height; ++y) {
            auto* row = reinterpret_cast<std::uint32_t*>(s.cursorImage.row(y));
            // Premultiplied ARGB, one pixel in each (64-bit) unsigned long.
            for (int x = 0; x < c->width; ++x) {
                row[x] = static_cast<std::uint32_t>(c->pixels[std::size_t(y) * c->width + x]);
            }
        }
        s.cursorHotX = c->xhot;
        s.cursorHotY = c->yhot;
        XFree(c);
        s.cursorDirty = false;
    }
    if (s.cursorImage.empty()) return std::nullopt;
    Window rootReturn = None, child = None;
    int rootX = 0, rootY = 0, winX = 0, winY = 0;
    unsigned int mask = 0;
    Window relativeTo = s.isWindow ? s.window : s.root;
    if (!XQueryPointer(d, relativeTo, &rootReturn, &child, &rootX, &rootY, &winX, &winY, &mask)) {
        return std::nullopt;  // the pointer is on another screen
    }
    CursorSprite sprite;
    sprite.x = winX - s.cursorHotX - (s.isWindow ? 0 : s.region.x);
    sprite.y = winY - s.cursorHotY - (s.isWindow ? 0 : s.region.y);
    PixelRect spriteRect{sprite.x, sprite.y, s.cursorImage.width, s.cursorImage.height};
    if (spriteRect.intersected(PixelRect{0, 0, s.region.width, s.region.height}).empty()) {
        return std::nullopt;
    }
    sprite.image = s.cursorImage;
    return sprite;
}

std::vector<PixelRect> ScreenGrabber::windowsOfProcess(int pid) {
    Impl& s = *impl_;
    Display* d = s.dpy.get();
    if (s.gone) return {};
    if (!s.watchingTopLevels) {
        // Windows appearing, mapping and moving at the top level arrive as events from now on.
        XSelectInput(d, s.root, SubstructureNotifyMask);
        s.watchingTopLevels = true;
        s.topLevelsDirty = true;
    }
    if (s.topLevelsDirty || s.scannedFor != pid) {
        s.topLevelsDirty = false;
        s.scannedFor = pid;
        s.topLevels.clear();
        Window rootReturn = None, parent = None;
        Window* children = nullptr;
        unsigned int count = 0;
        if (XQueryTree(d, s.root, &rootReturn, &parent, &children, &count)) {
            for (unsigned int i = 0; i < count; ++i) {
                Window w = children[i];
                XWindowAttributes attrs;
                if (!XGetWindowAttributes(d, w, &attrs)) continue;
                Impl::TopLevel t;
                t.rect = PixelRect{attrs.x, attrs.y, attrs.width + 2 * attrs.border_width,
                                   attrs.height + 2 * attrs.border_width};
                t.mapped = attrs.map_state == IsViewable;
                t.drawable =
                    attrs.c_class == InputOutput && isBgraVisual(attrs.visual, attrs.depth);
                t.opaque = attrs.depth == 24;
                if (t.mapped) {
                    std::optional<int> owner;
                    if (auto known = s.ownerOf.find(w); known != s.ownerOf.end()) {
                        owner = known->second;
                    } else if (auto client = clientWindow(d, w)) {
                        // The application inside a manager's frame: known for good.
                        owner = s.ownerOf[w] = windowProcess(d, *client);
                    } else {
                        // Popups, overlays, windows without a manager, and frames not filled
                        // yet carry their owner themselves; asked again next time.
                        owner = windowProcess(d, w);
                    }
                    t.own = owner == pid;
                }
                s.topLevels[w] = t;
            }
            if (children) XFree(children);
        }
        syncAndTakeError(d);
    }
    std::vector<PixelRect> out;
    const PixelRect source{0, 0, s.region.width, s.region.height};
    for (const auto& [w, t] : s.topLevels) {
        if (!t.mapped || !t.own) continue;
        PixelRect r{t.rect.x - s.region.x, t.rect.y - s.region.y, t.rect.width, t.rect.height};
        r = r.intersected(source);
        if (!r.empty()) out.push_back(r);
    }
    return out;
}

namespace {

// Draws `image` (a window's pixels) at (x, y) of `picture`, over what is there: a depth-24
// window covers it, a depth-32 one is premultiplied and lets it show through.
void composeOver(GrabbedPicture& picture, const XImage* image, int x, int y, bool opaque) {
    for (int row = 0; row < image->height; ++row) {
        const auto* src = reinterpret_cast<const std::uint32_t*>(
            image->data + std::size_t(row) * image->bytes_per_line);
        auto* dst = reinterpret_cast<std::uint32_t*>(
            picture.pixels.get() + std::size_t(y + row) * picture.stride + std::size_t(x) * 4);
        for (int i = 0; i < image->width; ++i) {
            const std::uint32_t p = src[i];
            const std::uint32_t a = p >> 24;
            if (opaque || a == 0xff) {
                dst[i] = p | 0xff000000u;
            } else if (a != 0) {
                const std::uint32_t q = dst[i];
                const std::uint32_t keep = 255 - a;
                auto channel = [&](int shift) {
                    const std::uint32_t c =
                        ((p >> shift) & 0xff) + (((q >> shift) & 0xff) * keep + 127) / 255;
                    return std::min<std::uint32_t>(c, 255) << shift;
                };
                dst[i] = channel(0) | channel(8) | channel(16) | 0xff000000u;
            }
        }
    }
}

}  // namespace

void ScreenGrabber::leaveOutProcess(int pid, GrabbedPicture& picture) {
    Impl& s = *impl_;
    Display* d = s.dpy.get();
    const std::vector<PixelRect> areas = windowsOfProcess(pid);
    if (areas.empty() || s.isWindow) return;
    if (!s.redirectedAll) {
        // Automatic redirection: the server still draws the screen, and each window keeps a
        // whole picture of its own that can be read where ours covers it.
        XCompositeRedirectSubwindows(d, s.root, CompositeRedirectAutomatic);
        if (auto bg = cardinal(d, s.root, atom(d, "_XROOTPMAP_ID"), XA_PIXMAP)) {
            s.background = static_cast<Pixmap>(*bg);
        }
        syncAndTakeError(d);
        s.redirectedAll = true;
    }
    // Bottom to top, as the server stacks them now.
    std::vector<Window> order;
    {
        Window rootReturn = None, parent = None;
        Window* children = nullptr;
        unsigned int count = 0;
        if (XQueryTree(d, s.root, &rootReturn, &parent, &children, &count)) {
            order.assign(children, children + count);
            if (children) XFree(children);
        }
    }
    const PixelRect whole{0, 0, picture.width, picture.height};
    for (PixelRect area : areas) {
        area = area.intersected(whole);
        if (area.empty()) continue;
        const PixelRect onRoot{area.x + s.region.x, area.y + s.region.y, area.width, area.height};
        // The desktop's background first (black where it has none).
        for (int row = 0; row < area.height; ++row) {
            auto* px = reinterpret_cast<std::uint32_t*>(picture.pixels.get() +
                                                        std::size_t(area.y + row) * picture.stride +
                                                        std::size_t(area.x) * 4);
            for (int i = 0; i < area.width; ++i) px[i] = 0xff000000u;
        }
        if (s.background != None) {
            XImage* image = XGetImage(d, s.background, onRoot.x, onRoot.y, onRoot.width,
                                      onRoot.height, AllPlanes, ZPixmap);
            if (usableImage(image)) composeOver(picture, image, area.x, area.y, true);
            if (image) XDestroyImage(image);
            if (takeError(d) != 0) s.background = None;  // smaller than the screen, or gone
        }
        for (Window w : order) {
            auto it = s.topLevels.find(w);
            if (it == s.topLevels.end()) continue;
            const Impl::TopLevel& t = it->second;
            if (!t.mapped || t.own || !t.drawable) continue;
            const PixelRect part = t.rect.intersected(onRoot);
            if (part.empty()) continue;
            Pixmap pixmap = XCompositeNameWindowPixmap(d, w);
            XImage* image = XGetImage(d, pixmap, part.x - t.rect.x, part.y - t.rect.y, part.width,
                                      part.height, AllPlanes, ZPixmap);
            if (usableImage(image)) {
                composeOver(picture, image, part.x - s.region.x, part.y - s.region.y, t.opaque);
            }
            if (image) XDestroyImage(image);
            XFreePixmap(d, pixmap);
            // A window that went away meanwhile only leaves its part as it was.
            syncAndTakeError(d);
        }
    }
}

}  // namespace marlune::x11
