#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/error.h"
#include "platform/image/bgra_image.h"

namespace marlune::wayland {

// Source types and cursor modes as the portal counts them (bit values).
enum PortalSourceType : std::uint32_t { kSourceMonitor = 1, kSourceWindow = 2 };
enum class PortalCursorMode : std::uint32_t { hidden = 1, embedded = 2, metadata = 4 };

struct PortalScreenCastOptions {
    // Which kinds of source the desktop's dialog may offer; masked by what the portal has.
    std::uint32_t types = kSourceMonitor | kSourceWindow;
    // The token a previous Start handed out (kept in the settings): a persisting portal then
    // starts the same source again without asking. Empty for none.
    std::string restoreToken;
    // How long each step may wait for the portal's answer. Start waits for the user's choice in
    // the desktop's dialog, hence the generous default.
    std::chrono::milliseconds timeout = std::chrono::minutes(2);
};

// One PipeWire stream the portal granted.
struct PortalStream {
    std::uint32_t nodeId = 0;
    // Where the source lies in the desktop's coordinates and its size; zero when the portal did
    // not say (window sources usually have no position).
    PixelRect area;
    std::uint32_t sourceType = 0;
};

struct PortalScreenCastStarted {
    std::vector<PortalStream> streams;
    // What to pass as `restoreToken` next time (empty when the portal gave none). Each token is
    // good for one restore: keep the newest.
    std::string restoreToken;
    // How the cursor travels: in the stream's metadata (where offered) or drawn into the frames.
    PortalCursorMode cursorMode = PortalCursorMode::embedded;
};

// A client of org.freedesktop.portal.ScreenCast on the session bus: one screen-cast session from
// CreateSession through SelectSources and Start to the PipeWire remote the frames come from.
//
// Every portal call answers with a Request object whose Response signal carries the result; each
// is awaited with the options' time-out. The session asks for a single source (the desktop's
// dialog picks it), cursor metadata where the portal offers it (else the cursor drawn into the
// frames) and persistence until revoked (persist_mode 2), restoring `restoreToken` when given.
//
// Threads: create, call and destroy on one thread whose thread-default main context runs (the
// main thread); every completion and the closed handler run there, never inside the call that
// started them. Destroying the object closes the session and drops pending completions unrun.
class PortalScreenCast {
  public:
    PortalScreenCast();
    ~PortalScreenCast();
    PortalScreenCast(const PortalScreenCast&) = delete;
    PortalScreenCast& operator=(const PortalScreenCast&) = delete;

    // Runs the session up to Start. `done` runs once: with the granted streams, or an error
    // whose code is `cancelled` when the user dismissed the dialog. Call once per object.
    void start(const PortalScreenCastOptions& options,
               std::function<void(Result<PortalScreenCastStarted>)> done);

    // After a successful start: a connected socket to the PipeWire daemon that can see only the
    // granted streams, for PipeWireStream. `done` receives the descriptor, which it then owns.
    void openPipeWireRemote(std::function<void(Result<int>)> done);

    // Runs once when the session ends from the other side (the desktop revoked it, the user
    // stopped sharing, the portal went away); the streams then end too. Not run for close().
    void setClosedHandler(std::function<void()> handler);

    // Ends the session (the portal stops the streams). Pending completions are dropped.
    void close();

    struct Impl;

  private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace marlune::wayland
