#include "platform/desktop/x11_internal.h"

#include <X11/extensions/Xcomposite.h>

#include <X11/Xatom.h>
#include <X11/extensions/XRes.h>

#include <map>
#include <mutex>

namespace marlune::x11::detail {

namespace {

// Our connections and the first error each has had since it was last asked. The handler is
// process-wide in Xlib, so it is installed once and passes other connections' errors on.
struct ErrorRegistry {
    std::mutex mutex;
    std::map<Display*, int> firstError;
    XErrorHandler previous = nullptr;
};

ErrorRegistry& registry() {
    static ErrorRegistry* r = new ErrorRegistry;  // outlives every connection, never destroyed
    return *r;
}

int onXError(Display* dpy, XErrorEvent* event) {
    ErrorRegistry& r = registry();
    XErrorHandler previous = nullptr;
    {
        std::lock_guard lock(r.mutex);
        auto it = r.firstError.find(dpy);
        if (it != r.firstError.end()) {
            if (it->second == 0) it->second = event->error_code;
            return 0;
        }
        previous = r.previous;
    }
    return previous ? previous(dpy, event) : 0;
}

void installHandlerOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        XErrorHandler previous = XSetErrorHandler(onXError);
        std::lock_guard lock(registry().mutex);
        registry().previous = previous;
    });
}

}  // namespace

void DisplayCloser::operator()(Display* d) const {
    {
        std::lock_guard lock(registry().mutex);
        registry().firstError.erase(d);
    }
    XCloseDisplay(d);
}

DisplayPtr openDisplay() {
    installHandlerOnce();
    Display* d = XOpenDisplay(nullptr);
    if (!d) return nullptr;
    std::lock_guard lock(registry().mutex);
    registry().firstError[d] = 0;
    return DisplayPtr(d);
}

int syncAndTakeError(Display* dpy) {
    XSync(dpy, False);
    return takeError(dpy);
}

int takeError(Display* dpy) {
    std::lock_guard lock(registry().mutex);
    auto it = registry().firstError.find(dpy);
    if (it == registry().firstError.end()) return 0;
    int code = it->second;
    it->second = 0;
    return code;
}

Atom atom(Display* dpy, const char* name) {
    return XInternAtom(dpy, name, False);
}

namespace {

// The raw property, or nothing. `format` receives its format (8, 16 or 32).
struct Property {
    unsigned char* data = nullptr;
    unsigned long count = 0;
    int format = 0;
    Atom type = None;
    ~Property() {
        if (data) XFree(data);
    }
};

bool readProperty(Display* dpy, Window w, Atom property, Atom type, Property& out) {
    unsigned long after = 0;
    if (XGetWindowProperty(dpy, w, property, 0, 1 << 20, False, type, &out.type, &out.format,
                           &out.count, &after, &out.data) != Success) {
        out.data = nullptr;
        return false;
    }
    return out.data && out.type != None && (type == AnyPropertyType || out.type == type);
}

}  // namespace

std::vector<unsigned long> cardinals(Display* dpy, Window w, Atom property, Atom type) {
    Property p;
    if (!readProperty(dpy, w, property, type, p) || p.format != 32) return {};
    // Format-32 data comes as longs, whatever their size on this machine.
    const auto* values = reinterpret_cast<const unsigned long*>(p.data);
    return std::vector<unsigned long>(values, values + p.count);
}

std::optional<unsigned long> cardinal(Display* dpy, Window w, Atom property, Atom type) {
    auto values = cardinals(dpy, w, property, type);
    if (values.empty()) return std::nullopt;
    return values.front();
}

std::optional<std::string> text(Display* dpy, Window w, Atom property, Atom type) {
    Property p;
    if (!readProperty(dpy, w, property, type, p) || p.format != 8) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(p.data), p.count);
}

namespace {

// Latin-1 (the encoding of a STRING property) to UTF-8.
std::string latin1ToUtf8(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xc0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3f));
        }
    }
    return out;
}

}  // namespace

std::string windowTitle(Display* dpy, Window w) {
    if (auto name = text(dpy, w, atom(dpy, "_NET_WM_NAME"), atom(dpy, "UTF8_STRING"))) {
        if (!name->empty()) return *name;
    }
    if (auto name = text(dpy, w, XA_WM_NAME, XA_STRING)) return latin1ToUtf8(*name);
    // Some clients set WM_NAME as COMPOUND_TEXT or UTF8_STRING; plain ASCII reads the same.
    if (auto name = text(dpy, w, XA_WM_NAME, AnyPropertyType)) return *name;
    return "";
}

std::optional<int> windowProcess(Display* dpy, Window w) {
    if (auto pid = cardinal(dpy, w, atom(dpy, "_NET_WM_PID"), XA_CARDINAL)) {
        if (*pid > 0) return static_cast<int>(*pid);
    }
    int eventBase = 0, errorBase = 0;
    if (!XResQueryExtension(dpy, &eventBase, &errorBase)) return std::nullopt;
    XResClientIdSpec spec{w, XRES_CLIENT_ID_PID_MASK};
    long count = 0;
    XResClientIdValue* ids = nullptr;
    std::optional<int> pid;
    if (XResQueryClientIds(dpy, 1, &spec, &count, &ids) == Success) {
        for (long i = 0; i < count; ++i) {
            if (XResGetClientIdType(&ids[i]) == XRES_CLIENT_ID_PID) {
                pid_t p = XResGetClientPid(&ids[i]);
                if (p > 0) pid = p;
            }
        }
        XResClientIdsDestroy(count, ids);
    }
    return pid;
}

bool hasProperty(Display* dpy, Window w, Atom property) {
    Property p;
    return readProperty(dpy, w, property, AnyPropertyType, p);
}

std::optional<Window> clientWindow(Display* dpy, Window w, int depth) {
    if (hasProperty(dpy, w, atom(dpy, "WM_STATE"))) return w;
    if (depth <= 0) return std::nullopt;
    Window root = None, parent = None;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(dpy, w, &root, &parent, &children, &count)) return std::nullopt;
    std::optional<Window> found;
    for (unsigned int i = count; i-- > 0 && !found;) {
        found = clientWindow(dpy, children[i], depth - 1);
    }
    if (children) XFree(children);
    return found;
}

bool isBgraVisual(const Visual* visual, int depth) {
    return visual && (depth == 24 || depth == 32) && visual->red_mask == 0xff0000 &&
           visual->green_mask == 0xff00 && visual->blue_mask == 0xff;
}

bool usableImage(const XImage* image) {
    return image && image->bits_per_pixel == 32 && image->byte_order == LSBFirst;
}

bool hasComposite(Display* dpy) {
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XCompositeQueryExtension(dpy, &eventBase, &errorBase)) return false;
    XCompositeQueryVersion(dpy, &major, &minor);
    return major > 0 || minor >= 2;  // NameWindowPixmap came with 0.2
}

}  // namespace marlune::x11::detail
