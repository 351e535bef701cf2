#include "platform/desktop/x11_hotkey.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <optional>
#include <vector>

namespace marlune::x11 {

namespace {

constexpr std::uint32_t kNumLockKeysym = 0xff7f;
constexpr std::uint8_t kBadAccess = 10;

template <class T>
struct Freed {
    T* p = nullptr;
    ~Freed() { std::free(p); }
    T* operator->() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

struct KeyboardMap {
    std::optional<xcb_keycode_t> key;  // types the wanted keysym
    std::vector<xcb_keycode_t> numLock;
};

// The keycode that types `keysym` (unshifted first, then on any level) and the Num Lock keys.
KeyboardMap readKeyboard(xcb_connection_t* c, std::uint32_t keysym) {
    KeyboardMap map;
    const xcb_setup_t* setup = xcb_get_setup(c);
    const int first = setup->min_keycode;
    const int count = setup->max_keycode - setup->min_keycode + 1;
    Freed<xcb_get_keyboard_mapping_reply_t> reply{xcb_get_keyboard_mapping_reply(
        c, xcb_get_keyboard_mapping(c, setup->min_keycode, static_cast<std::uint8_t>(count)),
        nullptr)};
    if (!reply) return map;
    const int per = reply->keysyms_per_keycode;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply.p);
    std::optional<xcb_keycode_t> anyLevel;
    for (int i = 0; i < count; ++i) {
        auto code = static_cast<xcb_keycode_t>(first + i);
        for (int level = 0; level < per; ++level) {
            xcb_keysym_t s = syms[i * per + level];
            if (s == keysym) {
                if (level == 0 && !map.key) map.key = code;
                if (!anyLevel) anyLevel = code;
            }
            if (s == kNumLockKeysym) map.numLock.push_back(code);
        }
    }
    if (!map.key) map.key = anyLevel;
    return map;
}

// The modifier bit Num Lock sets (Mod2 on nearly every layout).
std::uint16_t numLockMask(xcb_connection_t* c, const std::vector<xcb_keycode_t>& numLockKeys) {
    Freed<xcb_get_modifier_mapping_reply_t> reply{
        xcb_get_modifier_mapping_reply(c, xcb_get_modifier_mapping(c), nullptr)};
    if (!reply) return XCB_MOD_MASK_2;
    const int per = reply->keycodes_per_modifier;
    const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(reply.p);
    for (int mod = 0; mod < 8; ++mod) {
        for (int j = 0; j < per; ++j) {
            for (xcb_keycode_t k : numLockKeys) {
                if (codes[mod * per + j] == k) return static_cast<std::uint16_t>(1u << mod);
            }
        }
    }
    return XCB_MOD_MASK_2;
}

}  // namespace

struct GlobalKeyGrab::Impl {
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = 0;
    xcb_keycode_t key = 0;
    std::vector<std::uint16_t> grabbed;  // modifier sets held
    bool down = false;                   // between a counted press and its release
    std::optional<xcb_timestamp_t> lastRelease;

    ~Impl() {
        if (!connection) return;
        for (std::uint16_t mods : grabbed) xcb_ungrab_key(connection, key, root, mods);
        xcb_flush(connection);
        xcb_disconnect(connection);
    }
};

GlobalKeyGrab::GlobalKeyGrab(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
GlobalKeyGrab::~GlobalKeyGrab() = default;

Result<std::unique_ptr<GlobalKeyGrab>> GlobalKeyGrab::controlShift(std::uint32_t keysym) {
    auto impl = std::make_unique<Impl>();
    int screenNumber = 0;
    impl->connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(impl->connection)) {
        return fail("there is no X display to listen on");
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(impl->connection));
    for (int i = 0; i < screenNumber && screens.rem; ++i) xcb_screen_next(&screens);
    if (!screens.rem) return fail("the X display has no such screen");
    impl->root = screens.data->root;

    KeyboardMap keyboard = readKeyboard(impl->connection, keysym);
    if (!keyboard.key) return fail("no key of the keyboard types that character");
    impl->key = *keyboard.key;

    const std::uint16_t base = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_SHIFT;
    const std::uint16_t numLock = numLockMask(impl->connection, keyboard.numLock);
    std::vector<std::uint16_t> variants = {base,
                                           static_cast<std::uint16_t>(base | XCB_MOD_MASK_LOCK)};
    if (numLock != XCB_MOD_MASK_LOCK) {
        variants.push_back(static_cast<std::uint16_t>(base | numLock));
        variants.push_back(static_cast<std::uint16_t>(base | numLock | XCB_MOD_MASK_LOCK));
    }
    std::vector<xcb_void_cookie_t> cookies;
    for (std::uint16_t mods : variants) {
        cookies.push_back(xcb_grab_key_checked(impl->connection, 0, impl->root, mods, impl->key,
                                               XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    }
    bool taken = false;
    for (std::size_t i = 0; i < cookies.size(); ++i) {
        Freed<xcb_generic_error_t> error{xcb_request_check(impl->connection, cookies[i])};
        if (!error) {
            impl->grabbed.push_back(variants[i]);
        } else if (error->error_code == kBadAccess) {
            taken = true;
        } else {
            return fail("the X display refused the key grab");
        }
    }
    // Half a combination would fire only with some lock keys on: all or nothing.
    if (taken) return fail(kTakenMessage);
    return std::unique_ptr<GlobalKeyGrab>(new GlobalKeyGrab(std::move(impl)));
}

int GlobalKeyGrab::fd() const {
    return xcb_get_file_descriptor(impl_->connection);
}

int GlobalKeyGrab::takePresses(bool* alive) {
    int presses = 0;
    while (xcb_generic_event_t* event = xcb_poll_for_event(impl_->connection)) {
        const std::uint8_t type = event->response_type & 0x7f;
        if (type == XCB_KEY_PRESS) {
            auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
            if (key->detail == impl_->key) {
                // Auto-repeat shows either as presses with no release in between, or as a release
                // and a press carrying the same time.
                bool repeat = impl_->down || impl_->lastRelease == key->time;
                impl_->down = true;
                if (!repeat) ++presses;
            }
        } else if (type == XCB_KEY_RELEASE) {
            auto* key = reinterpret_cast<xcb_key_release_event_t*>(event);
            if (key->detail == impl_->key) {
                impl_->down = false;
                impl_->lastRelease = key->time;
            }
        }
        std::free(event);
    }
    if (alive) *alive = xcb_connection_has_error(impl_->connection) == 0;
    return presses;
}

}  // namespace marlune::x11
