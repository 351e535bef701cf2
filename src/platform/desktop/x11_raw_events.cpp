#include "platform/desktop/x11_raw_events.h"

#include <X11/extensions/XInput2.h>

namespace marlune::x11 {

Result<std::unique_ptr<RawEventConnection>> RawEventConnection::open() {
    std::unique_ptr<RawEventConnection> c(new RawEventConnection());
    c->dpy_ = XOpenDisplay(nullptr);
    if (!c->dpy_) return fail("Cannot connect to the X display.");
    int event = 0, error = 0;
    if (!XQueryExtension(c->dpy_, "XInputExtension", &c->xiOpcode_, &event, &error)) {
        return fail("The X display has no XInput extension.");
    }
    int major = 2, minor = 0;
    if (XIQueryVersion(c->dpy_, &major, &minor) != Success) {
        return fail("The X display does not support XInput 2.");
    }
    c->root_ = DefaultRootWindow(c->dpy_);
    return c;
}

RawEventConnection::~RawEventConnection() {
    stop();
    if (dpy_) XCloseDisplay(dpy_);
}

void RawEventConnection::select(std::initializer_list<int> evtypes) {
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    for (int type : evtypes) XISetMask(bits, type);
    XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof(bits)), bits};
    XISelectEvents(dpy_, root_, &mask, 1);
    XFlush(dpy_);
}

void RawEventConnection::watch(Queue& queue, std::initializer_list<int> evtypes,
                               std::function<void(int, int)> onRaw,
                               std::function<void(int)> onMapping) {
    stop();
    onRaw_ = std::move(onRaw);
    onMapping_ = std::move(onMapping);
    GSource* s = g_source_new(&funcs, sizeof(Source));
    auto* xs = reinterpret_cast<Source*>(s);
    xs->owner = this;
    xs->poll.fd = ConnectionNumber(dpy_);
    xs->poll.events = G_IO_IN | G_IO_HUP | G_IO_ERR;
    xs->poll.revents = 0;
    g_source_add_poll(s, &xs->poll);
    g_source_set_priority(s, G_PRIORITY_DEFAULT);
    g_source_attach(s, queue.context());
    source_ = s;
    select(evtypes);
}

void RawEventConnection::stop() {
    if (!source_) return;
    select({});
    g_source_destroy(source_);
    g_source_unref(source_);
    source_ = nullptr;
    onRaw_ = nullptr;
    onMapping_ = nullptr;
}

void RawEventConnection::handlePending() {
    while (XPending(dpy_) > 0) {
        XEvent ev;
        XNextEvent(dpy_, &ev);
        if (ev.type == MappingNotify) {
            XRefreshKeyboardMapping(&ev.xmapping);
            if (onMapping_) onMapping_(ev.xmapping.request);
            continue;
        }
        XGenericEventCookie* cookie = &ev.xcookie;
        if (ev.type != GenericEvent || cookie->extension != xiOpcode_) continue;
        if (!XGetEventData(dpy_, cookie)) continue;
        const int type = cookie->evtype;
        const int detail = static_cast<XIRawEvent*>(cookie->data)->detail;
        XFreeEventData(dpy_, cookie);
        // The handler may stop the watch; it must not find this loop still reading.
        if (onRaw_) {
            auto call = onRaw_;
            call(type, detail);
            if (!source_) return;
        }
    }
}

gboolean RawEventConnection::prepare(GSource* s, gint* timeout) {
    *timeout = -1;
    return XQLength(reinterpret_cast<Source*>(s)->owner->dpy_) > 0;
}

gboolean RawEventConnection::check(GSource* s) {
    auto* xs = reinterpret_cast<Source*>(s);
    return xs->poll.revents != 0 || XQLength(xs->owner->dpy_) > 0;
}

gboolean RawEventConnection::dispatch(GSource* s, GSourceFunc, gpointer) {
    auto* xs = reinterpret_cast<Source*>(s);
    // A connection the server closed would wake the loop forever: stop watching it.
    if (xs->poll.revents & (G_IO_HUP | G_IO_ERR)) return G_SOURCE_REMOVE;
    xs->owner->handlePending();
    return G_SOURCE_CONTINUE;
}

}  // namespace marlune::x11
