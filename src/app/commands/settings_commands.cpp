#include "app/app_delegate.h"
#include "app/commands/commands.h"

namespace marlune {

void addSettingsCommands(AppDelegate& app) {
    app.command("settings.get", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        reply(app.settings->asDictionary());
    });

    app.command("settings.set", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        app.applySettings(payload);
        reply(app.settings->asDictionary());
    });
}

}  // namespace marlune
