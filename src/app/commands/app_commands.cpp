#include "app/app_delegate.h"
#include "app/commands/commands.h"
#include "app/main_window_controller.h"

namespace marlune {

void addAppCommands(AppDelegate& app) {
    app.command("app.ready", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        reply(app.readyResult());
        app.emitRecoveryNotices();
    });

    app.command("app.setChrome", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        bool dark = readBool(payload, "dark").value_or(false);
        reply(Json::object());
        app.onWindowLater([dark](MainWindowController& w) { w.setChrome(dark); });
    });

    app.command(
        "app.setBarMode", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
            bool on = readBool(payload, "on").value_or(false);
            double w = readNumber(payload, "w").value_or(0);
            double h = readNumber(payload, "h").value_or(0);
            reply(Json::object());
            app.onWindowLater([=](MainWindowController& window) { window.setBarMode(on, w, h); });
        });

    app.command("app.confirm", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        if (!app.windowController) {
            reply(Json{{"ok", false}});  // nobody to ask
            return;
        }
        std::string title = readString(payload, "title").value_or("Are you sure?");
        std::string message = readString(payload, "message").value_or("");
        std::string okLabel = readString(payload, "okLabel").value_or("OK");
        app.onWindowLater([=](MainWindowController& w) {
            w.confirm(title, message, okLabel, [reply](bool ok) { reply(Json{{"ok", ok}}); });
        });
    });

    app.command("app.moveBar", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        double dx = readNumber(payload, "dx").value_or(0);
        double dy = readNumber(payload, "dy").value_or(0);
        reply(Json::object());
        app.onWindowLater([=](MainWindowController& w) { w.moveBar(dx, dy); });
    });
}

}  // namespace marlune
