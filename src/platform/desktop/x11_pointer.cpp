#include "platform/desktop/x11_pointer.h"

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

#include <array>

#include <glib.h>

namespace marlune::x11 {

namespace {

// Watches the connection's socket from a GLib main context. Xlib may already have read events
// into its own queue while answering a query (XQueryPointer reads whatever arrived before the
// reply), and then the socket is quiet although events wait: prepare and check look at that
// queue too, as GDK does for its own connection.
struct XEventSource {
    GSource base;
    Display* dpy;
    GPollFD poll;
    PointerWatch::Impl* owner;
};

}  // namespace

struct PointerWatch::Impl {
    Display* dpy = nullptr;
    Window root = 0;
    int xiOpcode = 0;
    std::array<unsigned char, 256> buttonMap{};
    int buttonCount = 0;
    GSource* source = nullptr;
    std::function<void()> onPress;

    ~Impl() {
        stop();
        if (dpy) XCloseDisplay(dpy);
    }

    void loadButtonMap() {
        buttonCount = XGetPointerMapping(dpy, buttonMap.data(), static_cast<int>(buttonMap.size()));
    }

    // The logical button a physical one stands for; raw events report the physical number.
    int logicalButton(int physical) const {
        if (physical >= 1 && physical <= buttonCount) return buttonMap[physical - 1];
        return physical;
    }

    void selectRawPresses(bool on) {
        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        if (on) XISetMask(bits, XI_RawButtonPress);
        XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof(bits)), bits};
        XISelectEvents(dpy, root, &mask, 1);
        XFlush(dpy);
    }

    void handlePending() {
        while (XPending(dpy) > 0) {
            XEvent ev;
            XNextEvent(dpy, &ev);
            if (ev.type == MappingNotify) {
                XRefreshKeyboardMapping(&ev.xmapping);
                if (ev.xmapping.request == MappingPointer) loadButtonMap();
                continue;
            }
            XGenericEventCookie* cookie = &ev.xcookie;
            if (ev.type != GenericEvent || cookie->extension != xiOpcode) continue;
            if (!XGetEventData(dpy, cookie)) continue;
            bool primary = false;
            if (cookie->evtype == XI_RawButtonPress) {
                auto* raw = static_cast<XIRawEvent*>(cookie->data);
                primary = logicalButton(raw->detail) == 1;
            }
            XFreeEventData(dpy, cookie);
            // The callback may stop the watch; it must not find this loop still reading.
            if (primary && onPress) {
                auto call = onPress;
                call();
                if (!source) return;
            }
        }
    }

    void stop() {
        if (!source) return;
        selectRawPresses(false);
        g_source_destroy(source);
        g_source_unref(source);
        source = nullptr;
        onPress = nullptr;
    }

    static gboolean prepare(GSource* s, gint* timeout) {
        *timeout = -1;
        return XQLength(reinterpret_cast<XEventSource*>(s)->dpy) > 0;
    }
    static gboolean check(GSource* s) {
        auto* xs = reinterpret_cast<XEventSource*>(s);
        return xs->poll.revents != 0 || XQLength(xs->dpy) > 0;
    }
    static gboolean dispatch(GSource* s, GSourceFunc, gpointer) {
        auto* xs = reinterpret_cast<XEventSource*>(s);
        // A connection the server closed would wake the loop forever: stop watching it.
        if (xs->poll.revents & (G_IO_HUP | G_IO_ERR)) return G_SOURCE_REMOVE;
        xs->owner->handlePending();
        return G_SOURCE_CONTINUE;
    }
    static inline GSourceFuncs funcs = {prepare, check, dispatch, nullptr, nullptr, nullptr};
};

PointerWatch::PointerWatch(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PointerWatch::~PointerWatch() = default;

Result<std::unique_ptr<PointerWatch>> PointerWatch::open() {
    auto impl = std::make_unique<Impl>();
    impl->dpy = XOpenDisplay(nullptr);
    if (!impl->dpy) return fail("Cannot connect to the X display.");
    int event = 0, error = 0;
    if (!XQueryExtension(impl->dpy, "XInputExtension", &impl->xiOpcode, &event, &error)) {
        return fail("The X display has no XInput extension.");
    }
    int major = 2, minor = 0;
    if (XIQueryVersion(impl->dpy, &major, &minor) != Success) {
        return fail("The X display does not support XInput 2.");
    }
    impl->root = DefaultRootWindow(impl->dpy);
    impl->loadButtonMap();
    return std::unique_ptr<PointerWatch>(new PointerWatch(std::move(impl)));
}

std::optional<RootPoint> PointerWatch::position() {
    Window root = 0, child = 0;
    int rootX = 0, rootY = 0, winX = 0, winY = 0;
    unsigned int buttons = 0;
    if (!XQueryPointer(impl_->dpy, impl_->root, &root, &child, &rootX, &rootY, &winX, &winY,
                       &buttons)) {
        return std::nullopt;  // the pointer is on another screen of this display
    }
    return RootPoint{rootX, rootY};
}

void PointerWatch::watchPrimaryPresses(Queue& queue, std::function<void()> onPress) {
    impl_->stop();
    impl_->onPress = std::move(onPress);
    GSource* s = g_source_new(&Impl::funcs, sizeof(XEventSource));
    auto* xs = reinterpret_cast<XEventSource*>(s);
    xs->dpy = impl_->dpy;
    xs->owner = impl_.get();
    xs->poll.fd = ConnectionNumber(impl_->dpy);
    xs->poll.events = G_IO_IN | G_IO_HUP | G_IO_ERR;
    xs->poll.revents = 0;
    g_source_add_poll(s, &xs->poll);
    g_source_set_priority(s, G_PRIORITY_DEFAULT);
    g_source_attach(s, queue.context());
    impl_->source = s;
    impl_->selectRawPresses(true);
}

void PointerWatch::stopWatching() {
    impl_->stop();
}

}  // namespace marlune::x11
