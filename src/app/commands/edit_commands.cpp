#include "app/app_delegate.h"
#include "app/commands/commands.h"
#include "bridge/marlune_scheme_handler.h"

namespace marlune {

void addEditCommands(AppDelegate& app) {
    app.command("edit.exportTrim",
                [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
                    auto name = readString(payload, "name");
                    auto startMs = readInt(payload, "startMs");
                    auto endMs = readInt(payload, "endMs");
                    if (!name || !startMs || !endMs) return reply(fail("Missing trim parameters"));
                    if (auto free = RecordingsLibrary::refuseWhileRecording(*name); !free) {
                        return reply(std::unexpected(free.error()));
                    }
                    app.media->exportTrim(*name, *startMs, *endMs, app.exports->progress(),
                                          app.exports->completion(std::move(reply)));
                });

    app.command("edit.exportRender", [](AppDelegate& app, const Json& payload,
                                        WebBridge::Reply reply) {
        auto request = ExportRequest::fromPayload(payload);
        if (!request) return reply(std::unexpected(request.error()));
        if (auto free = RecordingsLibrary::refuseWhileRecording(request->name); !free) {
            return reply(std::unexpected(free.error()));
        }
        app.renderer->render(std::move(*request), MarluneSchemeHandler::webRoot(*app.defaults),
                             app.exports->progress(), app.exports->completion(std::move(reply)));
    });

    // Without a name: the export started last. With "name": the running exports of that
    // recording, or the one that will answer with that name.
    app.command("edit.exportCancel",
                [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
                    if (auto name = readString(payload, "name")) {
                        app.renderer->cancelExport(*name);
                    } else {
                        app.renderer->cancelExport();
                    }
                    reply(Json::object());
                });

    // The editor's picture of the edit at one time, made as the export makes it. A request that a
    // newer one overtook succeeds with {"superseded": true}, so that every request is answered.
    app.command(
        "edit.previewFrame", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
            if (auto name = readString(payload, "name")) {
                if (auto free = RecordingsLibrary::refuseWhileRecording(*name); !free) {
                    return reply(std::unexpected(free.error()));
                }
            }
            app.previews->preview(payload, MarluneSchemeHandler::webRoot(*app.defaults),
                                  [reply = std::move(reply)](Result<PreviewImage> made) {
                                      if (!made && made.error().code == ErrorCode::superseded) {
                                          return reply(Json{{"superseded", true}});
                                      }
                                      if (!made) return reply(std::unexpected(made.error()));
                                      reply(Json{{"image", std::move(made->dataURL)},
                                                 {"width", made->width},
                                                 {"height", made->height},
                                                 {"tMs", made->tMs}});
                                  });
        });
}

}  // namespace marlune
