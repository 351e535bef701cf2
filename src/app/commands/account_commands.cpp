#include "account/auth_protocol.h"
#include "app/app_delegate.h"
#include "app/commands/commands.h"

namespace marlune {

void addAccountCommands(AppDelegate& app) {
    app.command("auth.state", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        reply(app.auth->stateDict());
    });

    app.command("auth.google", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        auto started = app.auth->startGoogle();
        if (!started) return reply(std::unexpected(started.error()));
        reply(Json{{"waiting", true}});
    });

    app.command("auth.magicLink",
                [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
                    auto email = auth::magicLinkAddress(readString(payload, "email").value_or(""));
                    if (!email) return reply(fail("Enter a valid email address"));
                    app.auth->startMagicLink(*email, std::move(reply));
                });

    app.command("auth.signOut", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        app.auth->signOut();
        reply(Json::object());
    });
}

}  // namespace marlune
