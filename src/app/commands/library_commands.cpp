#include "app/app_delegate.h"
#include "app/commands/commands.h"
#include "core/queue.h"

namespace marlune {

void addLibraryCommands(AppDelegate& app) {
    app.command("library.list", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        // "thumbs": false leaves the pictures to "library.thumb", for a page that shows them as
        // they scroll into view.
        auto thumbnails = readBool(payload, "thumbs").value_or(true)
                              ? RecordingsLibrary::Thumbnails::include
                              : RecordingsLibrary::Thumbnails::omit;
        // Answered from the pool thread; the bridge carries it to the main thread.
        app.library->list(thumbnails, [reply = std::move(reply)](Json items) {
            Json result = Json::object();
            result["items"] = std::move(items);
            reply(std::move(result));
        });
    });

    app.command("library.thumb", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        auto name = readString(payload, "name");
        if (!name) return reply(fail("Missing file name"));
        app.library->thumbnail(*name, [reply = std::move(reply)](auto thumb) {
            if (!thumb) return reply(std::unexpected(thumb.error()));
            Json result = Json::object();
            result["thumb"] = *thumb ? Json(std::move(**thumb)) : Json(nullptr);
            reply(std::move(result));
        });
    });

    app.command("library.delete",
                [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
                    auto name = readString(payload, "name");
                    if (!name) return reply(fail("Missing file name"));
                    auto deleted = app.library->deleteRecording(*name);
                    if (!deleted) return reply(std::unexpected(deleted.error()));
                    reply(Json::object());
                });

    app.command("library.reveal",
                [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
                    if (auto name = readString(payload, "name")) app.library->reveal(*name);
                    reply(Json::object());
                });

    app.command("library.open", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        if (auto name = readString(payload, "name")) app.library->open(*name);
        reply(Json::object());
    });

    app.command("library.openFolder", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        app.library->openFolder();
        reply(Json::object());
    });

    app.command(
        "media.waveform", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
            auto name = readString(payload, "name");
            if (!name) return reply(fail("Missing file name"));
            app.media->waveform(*name, MediaTools::kDefaultBuckets,
                                [reply = std::move(reply)](Result<std::vector<double>> peaks) {
                                    if (!peaks) return reply(std::unexpected(peaks.error()));
                                    Json result = Json::object();
                                    result["peaks"] = std::move(*peaks);
                                    reply(std::move(result));
                                });
        });

    app.command("project.load", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        auto name = readString(payload, "name");
        if (!name) return reply(fail("Missing file name"));
        // Read on the pool: a large file takes time, and the main thread runs the page.
        ConcurrentQueue::userInitiated().post(
            [projects = app.projects, name = *name, reply = std::move(reply)] {
                auto loaded = projects->load(name);
                if (!loaded) return reply(std::unexpected(loaded.error()));
                Json result = Json::object();
                result["data"] = loaded->value_or(Json(nullptr));
                reply(std::move(result));
            });
    });

    app.command("project.save", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        auto name = readString(payload, "name");
        const Json* data = readObject(payload, "data");
        if (!name || !data) return reply(fail("Missing project data"));
        auto saved = app.projects->save(*name, *data);
        if (!saved) return reply(std::unexpected(saved.error()));
        reply(Json::object());
    });
}

}  // namespace marlune
