#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "core/error.h"

namespace marlune::wayland {

// True when the program runs in a Wayland session: XDG_SESSION_TYPE says so, or WAYLAND_DISPLAY
// is set and the session type does not say x11.
bool isWaylandSession();

// Whether the desktop portal on the session bus has the interface `portalInterface` (asks its
// version property; blocks up to `timeout`). Any thread.
bool portalOffers(const char* portalInterface,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(500));
// The same for GlobalShortcuts (the hot key) and ScreenCast (recording a screen or a window).
bool globalShortcutsOffered(std::chrono::milliseconds timeout = std::chrono::milliseconds(500));
bool screenCastOffered(std::chrono::milliseconds timeout = std::chrono::milliseconds(500));

// A client of org.freedesktop.portal.GlobalShortcuts: one session holding one shortcut, bound
// with a preferred trigger the desktop may show the user, change or refuse. The desktop, not this
// program, owns the key: it may ask the user to confirm the binding once, and it may choose
// another trigger (the answer's description says which).
//
// Threads: create, call and destroy on the main thread (its main context runs the D-Bus
// replies); `onActivated` runs there too. Destroying the object closes the session.
class GlobalShortcuts {
  public:
    struct Shortcut {
        std::string id;                // this program's name for it, reported back on activation
        std::string description;       // what the desktop shows in its list of shortcuts
        std::string preferredTrigger;  // in the portal's notation, e.g. "CTRL+SHIFT+2"
    };

    GlobalShortcuts();
    ~GlobalShortcuts();
    GlobalShortcuts(const GlobalShortcuts&) = delete;
    GlobalShortcuts& operator=(const GlobalShortcuts&) = delete;

    // CreateSession, then BindShortcuts with `shortcut`. `done` runs once, never inside this
    // call: with the trigger the desktop describes (empty when it did not say), or an error (the
    // portal is missing, refused, or did not answer within `timeout`; `cancelled` when the user
    // declined). Call once per object.
    void bind(const Shortcut& shortcut, std::chrono::milliseconds timeout,
              std::function<void(Result<std::string>)> done);

    // Runs for each activation of a bound shortcut, with its id.
    std::function<void(const std::string& id)> onActivated;

    struct Impl;

  private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace marlune::wayland
