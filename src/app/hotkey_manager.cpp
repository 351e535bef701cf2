#include "app/hotkey_manager.h"

#include <glib-unix.h>

#include <cstdlib>

#include "core/debug_log.h"
#include "core/queue.h"
#include "platform/desktop/x11_hotkey.h"
#include "platform/wayland/global_shortcuts.h"

namespace marlune {

HotkeyManager::HotkeyManager() = default;

HotkeyManager::~HotkeyManager() {
    *alive_ = false;
    if (watch_) g_source_remove(watch_);
}

bool HotkeyManager::registerHotkey() {
    MARLUNE_ASSERT_ON(Queue::main());
    if (attempted_) return isRegistered();
    attempted_ = true;
    if (wayland::isWaylandSession()) return bindThroughPortal();
    // The headless host may run with no display at all: nothing to grab, nothing to report.
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return false;
    auto grab = x11::GlobalKeyGrab::controlShift(kKeysym);
    if (!grab) {
        systemLog("Marlune: the hot key Control+Shift+2 is not available (" + grab.error().message +
                  ")");
        return false;
    }
    grab_ = std::move(*grab);
    watch_ = g_unix_fd_add(
        grab_->fd(), G_IO_IN,
        +[](int, GIOCondition, gpointer self) -> gboolean {
            auto* manager = static_cast<HotkeyManager*>(self);
            manager->readEvents();
            return manager->watch_ ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
        },
        this);
    return true;
}

bool HotkeyManager::bindThroughPortal() {
    shortcuts_ = std::make_unique<wayland::GlobalShortcuts>();
    shortcuts_->onActivated = [alive = std::weak_ptr<bool>(alive_), this](const std::string&) {
        // Run from the D-Bus signal's handler: posted, as the X11 presses are, so the hot key's
        // work runs outside it.
        postIfAlive(Queue::main(), alive, [this](bool& live) {
            if (live && onHotkey) onHotkey();
        });
    };
    // The desktop may show the user a confirmation first: give them time to answer it.
    shortcuts_->bind({"record", "Start or stop a Marlune recording", "CTRL+SHIFT+2"},
                     std::chrono::minutes(2),
                     [alive = std::weak_ptr<bool>(alive_), this](Result<std::string> bound) {
                         if (alive.expired()) return;
                         if (!bound) {
                             systemLog("Marlune: the hot key Control+Shift+2 is not available (" +
                                       bound.error().message +
                                       "); stop recordings from the tray icon or the recording "
                                       "bar");
                             shortcuts_.reset();
                         }
                     });
    return true;
}

void HotkeyManager::readEvents() {
    bool displayAlive = true;
    int presses = grab_->takePresses(&displayAlive);
    for (int i = 0; i < presses; ++i) {
        postIfAlive(Queue::main(), std::weak_ptr<bool>(alive_), [this](bool& live) {
            if (live && onHotkey) onHotkey();
        });
    }
    if (!displayAlive) {
        systemLog("Marlune: the X display closed; the hot key Control+Shift+2 no longer works");
        watch_ = 0;  // the source goes when the callback returns
    }
}

}  // namespace marlune
