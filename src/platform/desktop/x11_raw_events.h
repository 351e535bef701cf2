#pragma once

// Internal to platform/desktop: a connection of its own to the X display that watches XInput 2
// raw events on the root window (no grab), for the pointer and key watches.

#include <X11/Xlib.h>

#include <functional>
#include <initializer_list>
#include <memory>

#include <glib.h>

#include "core/error.h"
#include "core/queue.h"

namespace marlune::x11 {

class RawEventConnection {
  public:
    // Fails with "Cannot connect to the X display.", "The X display has no XInput extension."
    // or "The X display does not support XInput 2.".
    static Result<std::unique_ptr<RawEventConnection>> open();
    ~RawEventConnection();
    RawEventConnection(const RawEventConnection&) = delete;
    RawEventConnection& operator=(const RawEventConnection&) = delete;

    Display* display() const { return dpy_; }
    Window root() const { return root_; }

    // Calls `onRaw(evtype, detail)` for each raw event of the kinds in `evtypes`, and
    // `onMapping(request)` after a keyboard or pointer mapping change, on `queue`'s context,
    // until `stop` (which a handler may call) or destruction. A second watch replaces the first.
    void watch(Queue& queue, std::initializer_list<int> evtypes,
               std::function<void(int evtype, int detail)> onRaw,
               std::function<void(int request)> onMapping = {});
    void stop();

  private:
    RawEventConnection() = default;
    void select(std::initializer_list<int> evtypes);
    void handlePending();

    // Watches the connection's socket from a GLib main context. Xlib may already have read
    // events into its own queue while answering a query (XQueryPointer reads whatever arrived
    // before the reply), and then the socket is quiet although events wait: prepare and check
    // look at that queue too, as GDK does for its own connection.
    struct Source {
        GSource base;
        GPollFD poll;
        RawEventConnection* owner;
    };
    static gboolean prepare(GSource* s, gint* timeout);
    static gboolean check(GSource* s);
    static gboolean dispatch(GSource* s, GSourceFunc, gpointer);
    static inline GSourceFuncs funcs = {prepare, check, dispatch, nullptr, nullptr, nullptr};

    Display* dpy_ = nullptr;
    Window root_ = 0;
    int xiOpcode_ = 0;
    GSource* source_ = nullptr;
    std::function<void(int, int)> onRaw_;
    std::function<void(int)> onMapping_;
};

}  // namespace marlune::x11
