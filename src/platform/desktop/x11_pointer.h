#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "core/error.h"
#include "core/queue.h"

namespace marlune::x11 {

// A point in root-window pixels: the global space of every monitor, origin at the top left.
struct RootPoint {
    int x = 0;
    int y = 0;
};

// The pointer seen through a connection of its own to the X display: where it is now and,
// while watched, every press of the primary button in any client. Presses come from XInput2
// raw events selected on the root window, which need neither a grab nor any permission and
// leave the clicked application's events untouched.
//
// One thread owns it (in practice the main thread): create, use and destroy it there, and run
// `watchPrimaryPresses` with that thread's queue.
class PointerWatch {
  public:
    // Connects to $DISPLAY. Fails without a display or without XInput 2.
    static Result<std::unique_ptr<PointerWatch>> open();
    ~PointerWatch();
    PointerWatch(const PointerWatch&) = delete;
    PointerWatch& operator=(const PointerWatch&) = delete;

    // Where the pointer is now (one round trip to the server); nothing when the server does not
    // answer with a position on this screen.
    std::optional<RootPoint> position();

    // Calls `onPress` on `queue` for each press of the primary button (button 1 after the
    // pointer's button mapping, so a left-handed mouse reports its right button), until
    // `stopWatching` or destruction. Raw events carry no position: read `position()` in the
    // callback. Replaces an earlier watch.
    void watchPrimaryPresses(Queue& queue, std::function<void()> onPress);
    void stopWatching();

    struct Impl;

  private:
    explicit PointerWatch(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace marlune::x11
