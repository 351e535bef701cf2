#include "platform/desktop/x11_keys.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>

#include <bitset>
#include <optional>

#include "platform/desktop/x11_raw_events.h"

namespace marlune::x11 {

namespace {

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
    std::unique_ptr<RawEventConnection> connection;
    std::function<void(const PressedKey&)> onPress;
    // Keys down now (by keycode): a press of a key already down is the keyboard's repeat.
    std::bitset<256> down;
    // For each modifier bit, the keycodes holding it.
    std::bitset<256> held[4];

    unsigned modifiers() const {
        unsigned m = 0;
        for (unsigned bit = 0; bit < 4; ++bit) {
            if (held[bit].any()) m |= 1u << bit;
        }
        return m;
    }

    // The press to report for keycode `code` going down or up; nothing for releases, repeats and
    // modifier keys.
    std::optional<PressedKey> keyEvent(int code, bool press) {
        if (code < 0 || code > 255) return std::nullopt;
        const KeySym sym =
            XkbKeycodeToKeysym(connection->display(), static_cast<KeyCode>(code), 0, 0);
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

    void onRaw(int type, int code) {
        if (type != XI_RawKeyPress && type != XI_RawKeyRelease) return;
        const auto key = keyEvent(code, type == XI_RawKeyPress);
        // A copy: the callback may stop the watch, which lets go of `onPress`.
        if (auto call = onPress; key && call) call(*key);
    }
};

KeyWatch::KeyWatch(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
KeyWatch::~KeyWatch() = default;

Result<std::unique_ptr<KeyWatch>> KeyWatch::open() {
    auto connection = RawEventConnection::open();
    if (!connection) return std::unexpected(connection.error());
    auto impl = std::make_unique<Impl>();
    impl->connection = std::move(*connection);
    return std::unique_ptr<KeyWatch>(new KeyWatch(std::move(impl)));
}

void KeyWatch::watch(Queue& queue, std::function<void(const PressedKey&)> onPress) {
    impl_->connection->stop();
    impl_->down.reset();
    for (auto& h : impl_->held) h.reset();
    impl_->onPress = std::move(onPress);
    Impl* impl = impl_.get();
    impl_->connection->watch(queue, {XI_RawKeyPress, XI_RawKeyRelease},
                             [impl](int type, int code) { impl->onRaw(type, code); });
}

void KeyWatch::stopWatching() {
    impl_->connection->stop();
    impl_->onPress = nullptr;
}

}  // namespace marlune::x11
