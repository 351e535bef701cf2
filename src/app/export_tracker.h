#pragma once

#include <functional>
#include <memory>

#include "account/auth_controller.h"
#include "bridge/web_bridge.h"
#include "library/exported_movie.h"
#include "render/export/export_renderer.h"

namespace marlune {

// The exports the page starts (trimmed copies and renders), from their start to their answer:
// their "exportProgress" events, the "saved" event and the count with the account on success,
// and a quit that waits for the ones under way. Main thread, except the progress callbacks, which
// run on the exports' own threads. Owned by the application object; the completions it hands out
// hold it weakly.
class ExportTracker : public std::enable_shared_from_this<ExportTracker> {
  public:
    ExportTracker(std::shared_ptr<WebBridge> bridge, std::shared_ptr<AuthController> auth);

    // Emits "exportProgress" with the fraction done. It holds only the bridge, weakly, so that
    // nothing the application owns is ever last released on an export's thread.
    std::function<void(double)> progress() const;
    // Counts one export as under way and answers it: on success the export is counted with the
    // account, "saved" is emitted (with the length of the range written) and `reply` carries the
    // new file's name; a cancelled export replies {"cancelled": true}; any other failure is the
    // reply's error.
    std::function<void(Result<ExportedMovie>)> completion(WebBridge::Reply reply);

    // True while an export has not answered yet.
    bool isRunning() const { return running_ > 0; }
    // Runs `proceed` once every export under way has answered (the caller cancels what it does
    // not want to wait for). Only while isRunning().
    void whenAllEnded(std::function<void()> proceed);

  private:
    void saved(const ExportedMovie& made);
    void ended();

    const std::shared_ptr<WebBridge> bridge_;
    const std::shared_ptr<AuthController> auth_;
    int running_ = 0;                     // exports started and not answered yet
    std::function<void()> afterExports_;  // the quit waiting for them
};

}  // namespace marlune
