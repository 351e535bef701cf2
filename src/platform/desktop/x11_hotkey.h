#pragma once

#include <cstdint>
#include <memory>

#include "core/error.h"

namespace marlune::x11 {

// A system-wide key combination held on the X display: a passive grab of one key with Control and
// Shift on the root window, also with Caps Lock and Num Lock on, so the combination works whatever
// the lock keys' state. The grab is made on a connection of its own and released when this object
// goes away (or the process ends).
//
// Thread: one thread at a time; the owner watches `fd()` on its event loop and calls `takePresses`
// when it is readable.
class GlobalKeyGrab {
  public:
    // The message of the failure when another program already holds the combination.
    static constexpr const char* kTakenMessage = "the key combination is taken by another program";

    // Grabs Control+Shift with the key that types `keysym` without Shift (0x32 is "2"). Fails
    // with kTakenMessage when another client holds the combination, or with a message saying there
    // is no display or no such key.
    static Result<std::unique_ptr<GlobalKeyGrab>> controlShift(std::uint32_t keysym);

    ~GlobalKeyGrab();
    GlobalKeyGrab(const GlobalKeyGrab&) = delete;
    GlobalKeyGrab& operator=(const GlobalKeyGrab&) = delete;

    // The connection's file descriptor: readable when events are waiting.
    int fd() const;
    // Reads every waiting event and returns how many presses of the combination it held. A key
    // held down until it repeats counts once. False in `alive` once the display has gone.
    int takePresses(bool* alive = nullptr);

    struct Impl;

  private:
    explicit GlobalKeyGrab(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace marlune::x11
