#include "app/app_delegate.h"
#include "app/commands/commands.h"
#include "app/main_window_controller.h"

namespace marlune {

void addWindowCommands(AppDelegate& app) {
    // The title row's state: whether the window is maximised, and the menu's entries. Without a
    // window (the headless host) there is no title row: {"maximized": false, "menu": []}.
    app.command("window.state", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        Json result = Json::object();
        result["maximized"] = app.windowController && app.windowController->isMaximized();
        result["menu"] = app.windowController ? app.windowController->menuItems() : Json::array();
        reply(std::move(result));
    });

    // A press on the title row's empty part: the window follows the pointer while the button is
    // held. Acted on at once, while the press lasts; nothing once the button is up.
    app.command("window.drag", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        if (app.windowController) app.windowController->beginMoveDrag();
        reply(Json::object());
    });

    app.command("window.toggleMaximize", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        reply(Json::object());
        app.onWindowLater([](MainWindowController& w) { w.toggleMaximized(); });
    });

    app.command("window.minimize", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        reply(Json::object());
        app.onWindowLater([](MainWindowController& w) { w.minimize(); });
    });

    // As the window's close button: quits unless a recording is in progress.
    app.command("window.close", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        reply(Json::object());
        app.onWindowLater([](MainWindowController& w) { w.close(); });
    });

    app.command(
        "window.menuAction", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
            auto action = readString(payload, "action");
            if (!action) return reply(fail("Missing menu action"));
            if (!app.windowController) return reply(Json::object());
            reply(Json::object());
            app.onWindowLater(
                [action = *action](MainWindowController& w) { w.activateMenuAction(action); });
        });
}

}  // namespace marlune
