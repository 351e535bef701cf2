#include "app/app_delegate.h"
#include "app/commands/commands.h"

namespace marlune {

void addSourcesCommands(AppDelegate& app) {
    app.command("sources.list", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        // Answered from the pool thread; the bridge carries it to the main thread.
        app.provider->list([reply = std::move(reply)](Result<Json> sources) {
            reply(std::move(sources));  // the list object unchanged, or the query's failure
        });
    });

    app.command("sources.preview",
                [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
                    auto kind = readString(payload, "sourceKind");
                    auto id = readUInt32(payload, "sourceID");
                    if (!kind || !id) return reply(fail("Missing source for preview"));
                    app.provider->preview(
                        *kind, *id, [reply = std::move(reply)](std::optional<std::string> thumb) {
                            Json result = Json::object();
                            result["thumb"] = thumb ? Json(std::move(*thumb)) : Json(nullptr);
                            reply(std::move(result));
                        });
                });
}

}  // namespace marlune
