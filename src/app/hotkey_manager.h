#pragma once

#include <functional>
#include <memory>

namespace marlune {

namespace x11 {
class GlobalKeyGrab;
}
namespace wayland {
class GlobalShortcuts;
}

// The one system-wide hot key, Control+Shift+2: it reaches the application whichever program has
// the keyboard. On X11 the key is grabbed on the X display (with the Caps Lock and Num Lock
// variants) on a connection of its own, watched on the main context. In a Wayland session no
// program may grab keys: the desktop's GlobalShortcuts portal binds it instead (the desktop may
// ask the user once, or choose another trigger); where the desktop has no such portal there is no
// hot key, and the tray item and the recording bar stay the ways to stop.
//
// Main thread only. Owned by the application object; the grab ends with this object.
class HotkeyManager {
  public:
    // The character of the key held with Control and Shift.
    static constexpr unsigned kKeysym = 0x32;  // "2"

    HotkeyManager();
    ~HotkeyManager();
    HotkeyManager(const HotkeyManager&) = delete;
    HotkeyManager& operator=(const HotkeyManager&) = delete;

    // Runs on the main queue after each press (a key held until it repeats counts once), outside
    // the handling of the X event.
    std::function<void()> onHotkey;

    // Grabs the key, once: later calls do nothing and answer whether the first succeeded. With no
    // display set it answers false; when the display cannot be reached or another program holds
    // the combination it logs one line and answers false. The application goes on without it.
    // In a Wayland session it asks the portal to bind the key and answers true while that is
    // under way or done; a refusal is logged when the portal answers.
    bool registerHotkey();
    bool isRegistered() const { return grab_ != nullptr || shortcuts_ != nullptr; }

  private:
    void readEvents();
    bool bindThroughPortal();

    bool attempted_ = false;
    std::unique_ptr<x11::GlobalKeyGrab> grab_;
    std::unique_ptr<wayland::GlobalShortcuts> shortcuts_;
    unsigned watch_ = 0;  // GLib source id of the fd watch
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace marlune
