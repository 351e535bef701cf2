#include "platform/desktop/x11_keys.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>

#include <bitset>
#include <optional>

#include <glib.h>

namespace marlune::x11 {

namespace {

// Watches the connection's socket from a GLib main context; prepare and check also look at
// Xlib's own queue, which a reply may have filled while the socket stays quiet.
struct XEventSource {
    GSource base;
    Display* dpy;
    GPollFD poll;
    KeyWatch::Impl* owner;
};

// The modifier a modifier key stands for; 0 for other modifier keys (Caps Lock, AltGr), which
// are not reported either; nothing for a key that is no modifier.
std::optional<unsigned> modifierOf(KeySym sym) {
    switch (sym) {
        case XK_Control_L:
        case XK_Control_R:
            return kModCtrl;
        case XK_Alt_L:
        case XK_Alt_R:
        case XK_Meta_L:
        case XK_Meta_R:
            return kModAlt;
        case XK_Shift_L:
        case XK_Shift_R:
            return kModShift;
        case XK_Super_L:
        case XK_Super_R:
        case XK_Hyper_L:
        case XK_Hyper_R:
            return kModSuper;
        case XK_Caps_Lock:
        case XK_Shift_Lock:
        case XK_Num_Lock:
        case XK_ISO_Level3_Shift:
        case XK_ISO_Level5_Shift:
        case XK_Mode_switch:
            return 0u;
        default:
            return std::nullopt;
    }
}

}  // namespace

struct KeyWatch::Impl {
    Display* dpy = nullptr;
    Window root = 0;
    int xiOpcode = 0;
    GSource* source = nullptr;
    std::function<void(const PressedKey&)> onPress;
    // Keys down now (by keycode): a press of a key already down is the keyboard's repeat.
    std::bitset<256> down;
    // For each modifier bit, the keycodes holding it.
    std::bitset<256> held[4];

    ~Impl() {
        stop();
        if (dpy) XCloseDisplay(dpy);
    }

    unsigned modifiers() const {
        unsigned m = 0;
        for (unsigned bit = 0; bit < 4; ++bit) {
            if (held[bit].any()) m |= 1u << bit;
        }
        return m;
    }

    void selectRawKeys(bool on) {
        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        if (on) {
            XISetMask(bits, XI_RawKeyPress);
            XISetMask(bits, XI_RawKeyRelease);
        }
        XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof(bits)), bits};
        XISelectEvents(dpy, root, &mask, 1);
        XFlush(dpy);
    }

    // The press to report for keycode `code` going down or up; nothing for releases, repeats and
    // modifier keys.
    std::optional<PressedKey> keyEvent(int code, bool press) {
        if (code < 0 || code > 255) return std::nullopt;
        const KeySym sym = XkbKeycodeToKeysym(dpy, static_cast<KeyCode>(code), 0, 0);
        const bool repeat = press && down[code];
        down[code] = press;
        if (auto mod = modifierOf(sym)) {
            for (unsigned bit = 0; bit < 4; ++bit) {
                if (*mod == (1u << bit)) held[bit][code] = press;
            }
            return std::nullopt;
        }
        if (!press || repeat || sym == NoSymbol) return std::nullopt;
        const char* name = XKeysymToString(sym);
        if (!name) return std::nullopt;
        return PressedKey{name, modifiers()};
    }

    void handlePending() {
        while (XPending(dpy) > 0) {
            XEvent ev;
            XNextEvent(dpy, &ev);
            if (ev.type == MappingNotify) {
                XRefreshKeyboardMapping(&ev.xmapping);
                continue;
            }
            XGenericEventCookie* cookie = &ev.xcookie;
            if (ev.type != GenericEvent || cookie->extension != xiOpcode) continue;
            if (!XGetEventData(dpy, cookie)) continue;
            std::optional<PressedKey> key;
            if (cookie->evtype == XI_RawKeyPress || cookie->evtype == XI_RawKeyRelease) {
                auto* raw = static_cast<XIRawEvent*>(cookie->data);
                key = keyEvent(raw->detail, cookie->evtype == XI_RawKeyPress);
            }
            XFreeEventData(dpy, cookie);
            // The callback may stop the watch; it must not find this loop still reading.
            if (key && onPress) {
                auto call = onPress;
                call(*key);
                if (!source) return;
            }
        }
    }

    void stop() {
        if (!source) return;
        selectRawKeys(false);
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

KeyWatch::KeyWatch(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
KeyWatch::~KeyWatch() = default;

Result<std::unique_ptr<KeyWatch>> KeyWatch::open() {
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
    return std::unique_ptr<KeyWatch>(new KeyWatch(std::move(impl)));
}

void KeyWatch::watch(Queue& queue, std::function<void(const PressedKey&)> onPress) {
    impl_->stop();
    impl_->down.reset();
    for (auto& h : impl_->held) h.reset();
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
    impl_->selectRawKeys(true);
}

void KeyWatch::stopWatching() {
    impl_->stop();
}

}  // namespace marlune::x11
