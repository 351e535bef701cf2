#include "app/app_delegate.h"
#include "app/commands/commands.h"
#include "core/queue.h"
#include "platform/desktop/device_access.h"

namespace marlune {

void addSourcesCommands(AppDelegate& app) {
    app.command("sources.list", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        // Answered from the pool thread; the bridge carries it to the main thread.
        app.provider->list([reply = std::move(reply)](Result<Json> sources) {
            reply(std::move(sources));  // the list object unchanged, or the query's failure
        });
    });

    // The microphones to choose from: {"inputs": [{"name", "description", "default"}]}, empty
    // without a sound server. Asked on the pool: the sound server may take a moment.
    app.command("sources.microphones", [](AppDelegate&, const Json&, WebBridge::Reply reply) {
        ConcurrentQueue::userInitiated().post([reply = std::move(reply)] {
            Json inputs = Json::array();
            for (const auto& input : desktop::audioInputs()) {
                inputs.push_back(Json{{"name", input.name},
                                      {"description", input.description},
                                      {"default", input.isDefault}});
            }
            reply(Json{{"inputs", std::move(inputs)}});
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
