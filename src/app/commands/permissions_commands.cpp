#include "app/app_delegate.h"
#include "app/commands/commands.h"

namespace marlune {

void addPermissionsCommands(AppDelegate& app) {
    app.command("permissions.status", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        reply(app.permissions->statusDict());
    });

    app.command("permissions.request", [](AppDelegate& app, const Json& payload,
                                          WebBridge::Reply reply) {
        app.permissions->requestByKind(readString(payload, "kind").value_or(""), std::move(reply));
    });

    app.command("permissions.openSettings",
                [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
                    app.permissions->openSettings(readString(payload, "pane").value_or(""));
                    reply(Json::object());
                });

    app.command("permissions.relaunch", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        reply(Json::object());
        app.relaunchSoon();
    });
}

}  // namespace marlune
