#include "app/export_tracker.h"

#include "core/queue.h"

namespace marlune {

ExportTracker::ExportTracker(std::shared_ptr<WebBridge> bridge,
                             std::shared_ptr<AuthController> auth)
    : bridge_(std::move(bridge)), auth_(std::move(auth)) {}

std::function<void(double)> ExportTracker::progress() const {
    return [weak = std::weak_ptr<WebBridge>(bridge_)](double value) {
        if (auto b = weak.lock()) b->emit("exportProgress", {{"value", value}});
    };
}

std::function<void(Result<ExportedMovie>)> ExportTracker::completion(WebBridge::Reply reply) {
    MARLUNE_ASSERT_ON(Queue::main());
    ++running_;
    return [weak = weak_from_this(), reply = std::move(reply)](Result<ExportedMovie> made) {
        auto self = weak.lock();
        if (!made) {
            // A cancelled export is an answer, not a failure.
            if (made.error().code == ErrorCode::cancelled) {
                reply(Json{{"cancelled", true}});
            } else {
                reply(std::unexpected(made.error()));
            }
        } else {
            if (self) self->saved(*made);
            reply(Json{{"name", made->name}});
        }
        if (self) self->ended();
    };
}

void ExportTracker::saved(const ExportedMovie& made) {
    auth_->recordExport();
    // The length of what was written: the range asked for, fitted to the recording.
    Json saved = Json::object();
    saved["name"] = made.name;
    saved["durationMs"] = made.durationMs;
    bridge_->emit("saved", std::move(saved));
}

void ExportTracker::whenAllEnded(std::function<void()> proceed) {
    afterExports_ = std::move(proceed);
}

void ExportTracker::ended() {
    if (--running_ > 0 || !afterExports_) return;
    auto proceed = std::move(afterExports_);
    afterExports_ = nullptr;
    proceed();
}

}  // namespace marlune
