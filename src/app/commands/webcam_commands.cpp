#include "app/app_delegate.h"
#include "app/commands/commands.h"

namespace marlune {

void addWebcamCommands(AppDelegate& app) {
    app.command("webcam.zoom", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        app.setWebcamZoom(readNumber(payload, "zoom").value_or(1.0));
        reply(Json::object());
    });
}

}  // namespace marlune
