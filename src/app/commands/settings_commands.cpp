#include "app/app_delegate.h"
#include "app/commands/commands.h"
#include "app/editor_looks.h"

namespace marlune {

void addSettingsCommands(AppDelegate& app) {
    app.command("settings.get", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        reply(app.settings->asDictionary());
    });

    app.command("settings.set", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        app.applySettings(payload);
        reply(app.settings->asDictionary());
    });

    // The editor's looks; each command answers with all of them, as "looks.get" does.
    app.command("looks.get", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        reply(EditorLooks(app.defaults).list());
    });
    app.command("looks.save", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        EditorLooks looks(app.defaults);
        auto saved = looks.save(payload);
        reply(saved ? Result<Json>(looks.list()) : std::unexpected(saved.error()));
    });
    app.command("looks.delete", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        EditorLooks looks(app.defaults);
        auto removed = looks.remove(payload);
        reply(removed ? Result<Json>(looks.list()) : std::unexpected(removed.error()));
    });
}

}  // namespace marlune
