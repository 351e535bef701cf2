#include "app/app_delegate.h"
#include "app/commands/commands.h"
#include "recording/recording_controller.h"

namespace marlune {

void addRecordingCommands(AppDelegate& app) {
    app.command("recording.start",
                [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
                    // Answered once capture has really started, after the countdown.
                    app.recording->start(payload, std::move(reply));
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
