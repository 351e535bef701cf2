#include "app/app_delegate.h"

#include <cstdint>
#include <limits>
#include <string_view>

#include "app/version.h"
#include "core/paths.h"

namespace marlune {

AppDelegate::AppDelegate(bool isSmoke)
    : isSmoke(isSmoke),
      defaults(std::make_shared<KeyValueStore>(paths::defaultsFile())),
      bridge(std::make_shared<WebBridge>()),
      settings(std::make_shared<SettingsStore>(defaults)),
      library(std::make_shared<RecordingsLibrary>()),
      media(std::make_shared<MediaTools>()),
      projects(std::make_shared<ProjectStore>()) {}

std::shared_ptr<AppDelegate> AppDelegate::create(const std::vector<std::string>& args) {
    bool smoke = false;
    for (const auto& a : args) smoke = smoke || a == "--smoke";
    return std::shared_ptr<AppDelegate>(new AppDelegate(smoke));
}

std::string AppDelegate::version() {
    std::string_view v = MARLUNE_PROJECT_VERSION;
    return v.empty() ? "0.1.0" : std::string(v);
}

void AppDelegate::applicationDidFinishLaunching(const std::shared_ptr<ScriptTarget>& page) {
    RecordingsLibrary::ensureDir();
    bridge->setWebView(page);
    registerCommands();
}

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed() const {
    return true;
}

void AppDelegate::applicationShouldTerminate(std::function<void()> proceed) {
    proceed();
}

void AppDelegate::command(
    std::string name, std::function<void(AppDelegate&, const Json&, WebBridge::Reply)> handler) {
    bridge->registerHandler(std::move(name),
                            [weak = weak_from_this(), handler = std::move(handler)](
                                const Json& payload, WebBridge::Reply reply) {
                                if (auto self = weak.lock())
                                    handler(*self, payload, std::move(reply));
                            });
}

Json AppDelegate::readyResult() const {
    Json r = Json::object();
    r["version"] = version();
    r["settings"] = settings->asDictionary();
    return r;
}

void AppDelegate::setWebcamPreview(bool) {
    // The webcam bubble does not exist yet; settings changes that concern it end here.
}

void AppDelegate::setWebcamZoom(double) {}

WebcamFollowUp webcamFollowUp(bool wasEnabled, bool isEnabled, const Json& payload) {
    if (isEnabled != wasEnabled)
        return isEnabled ? WebcamFollowUp::turnOn : WebcamFollowUp::turnOff;
    if (!isEnabled) return WebcamFollowUp::none;
    for (const char* key : {"webcamCorner", "webcamSize", "webcamRing", "webcamShape"}) {
        if (payload.contains(key)) return WebcamFollowUp::rebuild;
    }
    return payload.contains("webcamZoom") ? WebcamFollowUp::zoom : WebcamFollowUp::none;
}

// The command table, in its fixed order. Handlers are glue: read the payload, call the service,
// turn its result into the reply.
void AppDelegate::registerCommands() {
    command("app.ready", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        reply(app.readyResult());
    });

    // ---- Recordings library, media tools and project files ----
    command("library.list", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        // Answered from the pool thread; the bridge carries it to the main thread.
        app.library->list([reply = std::move(reply)](Json items) {
            Json result = Json::object();
            result["items"] = std::move(items);
            reply(std::move(result));
        });
    });

    command("library.delete", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        auto name = readString(payload, "name");
        if (!name) return reply(fail("Missing file name"));
        auto deleted = app.library->deleteRecording(*name);
        if (!deleted) return reply(std::unexpected(deleted.error()));
        reply(Json::object());
    });

    command("library.reveal", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        if (auto name = readString(payload, "name")) app.library->reveal(*name);
        reply(Json::object());
    });

    command("library.open", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        if (auto name = readString(payload, "name")) app.library->open(*name);
        reply(Json::object());
    });

    command("library.openFolder", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        app.library->openFolder();
        reply(Json::object());
    });

    command("media.waveform", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
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

    command("edit.exportTrim", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        auto name = readString(payload, "name");
        auto startMs = readInt(payload, "startMs");
        auto endMs = readInt(payload, "endMs");
        if (!name || !startMs || !endMs) return reply(fail("Missing trim parameters"));
        std::weak_ptr<AppDelegate> weak = app.weak_from_this();
        std::int64_t durationMs = 0;
        // Only a non-empty range gets that far; its length may still overflow.
        if (*startMs < *endMs && __builtin_sub_overflow(*endMs, *startMs, &durationMs)) {
            durationMs = std::numeric_limits<std::int64_t>::max();
        }
        app.media->exportTrim(
            *name, *startMs, *endMs,
            [weak](double value) {
                if (auto self = weak.lock())
                    self->bridge->emit("exportProgress", {{"value", value}});
            },
            [weak, durationMs, reply = std::move(reply)](Result<std::string> made) {
                if (!made) return reply(std::unexpected(made.error()));
                if (auto self = weak.lock()) {
                    self->recordExport();
                    Json saved = Json::object();
                    saved["name"] = *made;
                    saved["durationMs"] = durationMs;
                    self->bridge->emit("saved", std::move(saved));
                }
                Json result = Json::object();
                result["name"] = std::move(*made);
                reply(std::move(result));
            });
    });

    command("project.load", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        auto name = readString(payload, "name");
        if (!name) return reply(fail("Missing file name"));
        Json result = Json::object();
        result["data"] = app.projects->load(*name).value_or(Json(nullptr));
        reply(std::move(result));
    });

    command("project.save", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        auto name = readString(payload, "name");
        const Json* data = readObject(payload, "data");
        if (!name || !data) return reply(fail("Missing project data"));
        auto saved = app.projects->save(*name, *data);
        if (!saved) return reply(std::unexpected(saved.error()));
        reply(Json::object());
    });
    // ---- end of recordings library, media tools and project files ----

    command("settings.get", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        reply(app.settings->asDictionary());
    });

    command("settings.set", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        bool wasEnabled = app.settings->webcamEnabled();
        app.settings->apply(payload);
        switch (webcamFollowUp(wasEnabled, app.settings->webcamEnabled(), payload)) {
            case WebcamFollowUp::none:
                break;
            case WebcamFollowUp::turnOn:
                app.setWebcamPreview(true);
                break;
            case WebcamFollowUp::turnOff:
                app.setWebcamPreview(false);
                break;
            case WebcamFollowUp::rebuild:
                app.setWebcamPreview(true);
                break;
            case WebcamFollowUp::zoom:
                app.setWebcamZoom(app.settings->webcamZoom());
                break;
        }
        reply(app.settings->asDictionary());
    });
}

}  // namespace marlune
