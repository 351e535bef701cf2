#include <memory>

#include "app/app_delegate.h"
#include "app/area_outline.h"
#include "app/commands/commands.h"
#include "core/queue.h"
#include "recording/capture_plan.h"
#include "recording/recording_controller.h"
#include "recording/wayland_capture.h"

namespace marlune {

namespace {

// The pixels of the area a start command asks for, when it asks for one that is on a display.
std::optional<PixelRect> requestedArea(const Json& payload) {
    auto options = RecordingOptions::parse(payload, RecordingDefaults{});
    if (!options || !options->isArea()) return std::nullopt;
    // A Wayland compositor places windows itself: an outline could land anywhere, even inside.
    if (captureBackend() == CaptureBackend::portal) return std::nullopt;
    auto content = ShareableContent::current();
    if (!content) return std::nullopt;
    const ShareableDisplay* display = content->display(options->sourceID);
    if (!display) return std::nullopt;
    return areaPixels(*display, content->scale, *options->area);
}

}  // namespace

void addRecordingCommands(AppDelegate& app) {
    // The outline around an area while it is recorded; gone once the recorder is idle again.
    auto outline = std::make_shared<AreaOutline>();
    auto watch = std::make_shared<TimerHandle>();
    app.command("recording.start",
                [outline, watch](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
                    auto area = requestedArea(payload);
                    // Answered once capture has really started, after the countdown.
                    std::weak_ptr<RecordingController> recording = app.recording;
                    app.recording->start(payload, [recording, area, outline, watch,
                                                   reply = std::move(reply)](Result<Json> started) {
                        if (started && area) {
                            outline->show(*area);
                            *watch = Queue::main().every(
                                std::chrono::milliseconds(250), [recording, outline, watch] {
                                    auto r = recording.lock();
                                    if (r && r->phase() != RecordingController::Phase::idle) return;
                                    outline->hide();
                                    watch->cancel();
                                });
                        }
                        reply(std::move(started));
                    });
                });

    app.command("recording.pause", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        app.recording->pause();
        reply(Json::object());
    });

    app.command("recording.resume", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        app.recording->resume();
        reply(Json::object());
    });

    app.command("recording.stop", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        app.recording->stop(std::move(reply));
    });
}

}  // namespace marlune
