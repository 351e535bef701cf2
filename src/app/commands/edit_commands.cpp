#include <functional>
#include <memory>

#include "app/app_delegate.h"
#include "app/commands/commands.h"
#include "app/preview_stream.h"
#include "bridge/marlune_scheme_handler.h"
#include "bridge/media_http_server.h"
#include "core/queue.h"
#include "render/auto_zoom.h"

namespace marlune {

namespace {

// The progress events of one export: they carry the page's "progressId" when it gave one, so that
// a trim and a render running together each fill their own bar.
std::function<void(double)> progressFor(AppDelegate& app, const Json& payload) {
    auto id = readString(payload, "progressId");
    if (!id) return app.exports->progress();
    return [weak = std::weak_ptr<WebBridge>(app.bridge), id = *id](double value) {
        if (auto b = weak.lock()) b->emit("exportProgress", {{"value", value}, {"id", id}});
    };
}

}  // namespace

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
                    app.media->exportTrim(*name, *startMs, *endMs, progressFor(app, payload),
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
                             progressFor(app, payload), app.exports->completion(std::move(reply)));
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

    // Zoom regions proposed from the recording's clicks and typing (render/auto_zoom.h), saved
    // nowhere: the page adds the ones it keeps to the edit. "durationMs", when given, keeps them
    // inside the recording. A recording without a project file gets none.
    app.command("edit.autoZoom", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        auto name = readString(payload, "name");
        if (!name) return reply(fail("Missing file name"));
        const double durationMs = readNumber(payload, "durationMs").value_or(0);
        // Read on the pool: a long recording's project file is megabytes of pointer path.
        ConcurrentQueue::userInitiated().post([projects = app.projects, name = *name, durationMs,
                                               reply = std::move(reply)] {
            auto loaded = projects->load(name);
            if (!loaded) return reply(std::unexpected(loaded.error()));
            auto tracks = AutoZoomTracks::fromProject(loaded->value_or(Json(nullptr)), durationMs);
            reply(autoZoomReply(proposeZooms(tracks)));
        });
    });

    // The recorded pointer path and clicks of the recording open in the editor, sent once by
    // "edit.previewTracks" so that each picture's request carries only the edit: a long
    // recording's path is about a megabyte. One recording's at a time; main thread only.
    struct PreviewTracks {
        std::string name;
        Json path, clicks;

        // Puts the tracks into a "cursor" section that has no "path"; false when they are
        // another recording's or none were sent.
        bool fill(Json& payload) const {
            if (!payload.is_object() || !payload.contains("cursor") ||
                !payload["cursor"].is_object() || payload["cursor"].contains("path")) {
                return true;
            }
            if (name.empty() || readString(payload, "name") != name) return false;
            payload["cursor"]["path"] = path;
            payload["cursor"]["clicks"] = clicks;
            return true;
        }
    };
    auto tracks = std::make_shared<PreviewTracks>();

    app.command(
        "edit.previewTracks", [tracks](AppDelegate&, const Json& payload, WebBridge::Reply reply) {
            auto name = readString(payload, "name");
            const Json* path =
                payload.is_object() && payload.contains("path") ? &payload["path"] : nullptr;
            if (!name || !path || !path->is_array()) return reply(fail("Missing preview tracks"));
            const bool hasClicks = payload.contains("clicks") && payload["clicks"].is_array();
            *tracks = {*name, *path, hasClicks ? payload["clicks"] : Json::array()};
            reply(Json::object());
        });

    // The editor's picture of the edit at one time, made as the export makes it. A request that a
    // newer one overtook succeeds with {"superseded": true}, so that every request is answered.
    // A "cursor" section without "path" takes the tracks sent by "edit.previewTracks"; when
    // those are another recording's (or none were sent) it succeeds with {"needsTracks": true}.
    app.command(
        "edit.previewFrame", [tracks](AppDelegate& app, const Json& given, WebBridge::Reply reply) {
            Json payload = given;
            if (auto name = readString(payload, "name")) {
                if (auto free = RecordingsLibrary::refuseWhileRecording(*name); !free) {
                    return reply(std::unexpected(free.error()));
                }
            }
            if (!tracks->fill(payload)) return reply(Json{{"needsTracks", true}});
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

    // The editor's playback: the pictures of "edit.previewFrame"'s payload from its "tMs" on, as
    // a stream the page reads from the media server ({"url"}, or {"needsTracks": true} as above).
    // A new stream ends the one before.
    auto playing = std::make_shared<std::weak_ptr<PictureStream>>();
    app.command("edit.previewStream",
                [tracks, playing](AppDelegate& app, const Json& given, WebBridge::Reply reply) {
                    Json payload = given;
                    if (auto name = readString(payload, "name")) {
                        if (auto free = RecordingsLibrary::refuseWhileRecording(*name); !free) {
                            return reply(std::unexpected(free.error()));
                        }
                    }
                    if (!tracks->fill(payload)) return reply(Json{{"needsTracks", true}});
                    if (!app.mediaServer) return reply(fail("The media server is not running."));
                    auto stream = PreviewStream::make(app.previews, std::move(payload),
                                                      MarluneSchemeHandler::webRoot(*app.defaults));
                    if (!stream) return reply(std::unexpected(stream.error()));
                    if (auto before = playing->lock()) before->cancel();
                    auto url = app.mediaServer->publishStream(*stream);
                    if (!url) return reply(fail("The media server is not running."));
                    *playing = *stream;
                    reply(Json{{"url", *url}});
                });
}

}  // namespace marlune
