#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/error.h"
#include "core/queue.h"

namespace marlune::x11 {

// The modifiers held when a key went down, as bits.
enum KeyModifier : unsigned {
    kModCtrl = 1,
    kModAlt = 2,
    kModShift = 4,
    kModSuper = 8,
};

// One key press in any client: the key's name (the X keysym name of the key's first level, so
// Shift+1 reports "1" and S reports "s": "Return", "F5", "Left", "space") and the modifiers held.
// Modifier keys themselves are never reported; they only change `modifiers`.
struct PressedKey {
    std::string key;
    unsigned modifiers = 0;
};

// The keyboard seen through a connection of its own to the X display: while watched, every key
// press in any client. Presses come from XInput2 raw events selected on the root window, which
// need neither a grab nor any permission and leave the typed-into application's events untouched.
// Raw events carry no modifier state, so the watch follows the modifier keys' own presses and
// releases; a modifier already held when the watch starts counts from its next press.
//
// One thread owns it (in practice the main thread): create, use and destroy it there, and run
// `watch` with that thread's queue.
class KeyWatch {
  public:
    // Connects to $DISPLAY. Fails without a display or without XInput 2.
    static Result<std::unique_ptr<KeyWatch>> open();
    ~KeyWatch();
    KeyWatch(const KeyWatch&) = delete;
    KeyWatch& operator=(const KeyWatch&) = delete;

    // Calls `onPress` on `queue` for each key press until `stopWatching` or destruction.
    // Replaces an earlier watch.
    void watch(Queue& queue, std::function<void(const PressedKey&)> onPress);
    void stopWatching();

    struct Impl;

  private:
    explicit KeyWatch(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace marlune::x11
