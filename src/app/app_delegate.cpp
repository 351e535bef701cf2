#include "app/app_delegate.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <gtk/gtk.h>

#include "app/desktop_integration.h"
#include "account/auth_protocol.h"
#include "app/main_window_controller.h"
#include "app/recording_chrome.h"
#include "app/version.h"
#include "bridge/marlune_scheme_handler.h"
#include "bridge/media_http_server.h"
#include "core/debug_log.h"
#include "core/paths.h"
#include "core/queue.h"
#include "library/recordings_library.h"
#include "recording/recording_controller.h"

namespace marlune {

namespace {

// Smoke mode ends the process at once: nothing is left to save, and the web view's helper
// processes go with it.
[[noreturn]] void exitNow(int status) {
    std::fflush(nullptr);
    std::_Exit(status);
}

}  // namespace

AppDelegate::AppDelegate(bool isSmoke, bool isAutomation, const std::vector<std::string>& args)
    : isSmoke(isSmoke),
      isAutomation(isAutomation),
      defaults(std::make_shared<KeyValueStore>(paths::defaultsFile())),
      bridge(std::make_shared<WebBridge>()),
      settings(std::make_shared<SettingsStore>(defaults)),
      permissions(std::make_shared<PermissionsManager>(defaults, args)),
      library(std::make_shared<RecordingsLibrary>()),
      provider(std::make_shared<CaptureSourceProvider>()),
      media(std::make_shared<MediaTools>()),
      projects(std::make_shared<ProjectStore>()),
      renderer(std::make_shared<ExportRenderer>()),
      auth(AuthController::create(defaults)),
      statusItem(std::make_shared<StatusItemController>()),
      hotkey(std::make_shared<HotkeyManager>()),
      previews(std::make_shared<PreviewRenderer>()) {}

AppDelegate::~AppDelegate() = default;

std::shared_ptr<AppDelegate> AppDelegate::create(const std::vector<std::string>& args) {
    bool smoke = false, automation = false;
    for (const auto& a : args) {
        smoke = smoke || a == "--smoke";
        automation = automation || a == "--automation";
    }
    return std::shared_ptr<AppDelegate>(new AppDelegate(smoke, automation, args));
}

std::string AppDelegate::version() {
    std::string_view v = MARLUNE_PROJECT_VERSION;
    return v.empty() ? "0.1.0" : std::string(v);
}

void AppDelegate::applicationDidFinishLaunching(
    const std::function<void(MainWindowController&)>& attachWindow) {
    RecordingsLibrary::ensureDir();
    RecordingsLibrary::removeLeftovers();
    startMediaServer();
    if (!MarluneSchemeHandler::webRoot(*defaults)) {
        systemLog(
            "Marlune: the user interface files are missing (share/marlune/web beside the "
            "program); reinstall Marlune Studio, or point DevWebRoot at a folder with index.html");
    }
    // Loading starts now; the page's messages are handled only once launch has returned, so
    // every command is registered by then.
    windowController = std::make_unique<MainWindowController>(
        bridge, MarluneSchemeHandler::forApp(defaults),
        isAutomation ? Automation::on : Automation::off);
    if (attachWindow) attachWindow(*windowController);
    windowController->isRecordingProvider = [weak = weak_from_this()] {
        auto self = weak.lock();
        return self && self->isRecordingActive();
    };
    launch(windowController->page());
    windowController->show();
}

void AppDelegate::applicationDidFinishLaunching(const std::shared_ptr<ScriptTarget>& page) {
    RecordingsLibrary::ensureDir();
    RecordingsLibrary::removeLeftovers();
    startMediaServer();
    launch(page);
}

void AppDelegate::launch(const std::shared_ptr<ScriptTarget>& page) {
    // Before the page can be ready: what a crash left behind is made whole first.
    recoveryNotices_ = RecordingController::recoverAtLaunch();
    bridge->setWebView(page);
    createRecordingController();
    auth->setBridge(bridge);
    installChrome();
    // Settings that cannot be saved still apply for this run; the page is told once, so that the
    // user knows they will not last.
    defaults->setOnSaveFailure(
        [weak = std::weak_ptr<WebBridge>(bridge),
         told = std::make_shared<std::atomic<bool>>(false)](const Error& error) {
            auto b = weak.lock();
            if (!b || (isMainThread() && !b->pageReady()) || told->exchange(true)) return;
            b->emit("error", {{"message", error.message}});
        });
    registerCommands();
    if (isSmoke) return startSmokeMode();
    if (settings->webcamEnabled()) setWebcamPreview(true);
}

void AppDelegate::installChrome() {
    auto weak = weak_from_this();
    statusItem->onTogglePause = [weak] {
        if (auto self = weak.lock()) self->togglePauseRecording();
    };
    statusItem->onStop = [weak] {
        if (auto self = weak.lock()) self->stopRecording();
    };
    statusItem->onShowApp = [weak] {
        if (auto self = weak.lock()) self->showMainWindow();
    };
    if (windowController) {
        // The window becoming active stands for the application becoming active.
        g_signal_connect_data(
            windowController->window(), "notify::is-active",
            G_CALLBACK(+[](GtkWindow* window, GParamSpec*, gpointer data) {
                if (!gtk_window_is_active(window)) return;
                auto* owner = static_cast<std::weak_ptr<AppDelegate>*>(data);
                if (auto self = owner->lock()) self->applicationDidBecomeActive();
            }),
            new std::weak_ptr<AppDelegate>(weak),
            [](gpointer p, GClosure*) { delete static_cast<std::weak_ptr<AppDelegate>*>(p); },
            GConnectFlags(0));
    }
    if (isSmoke) return;
    hotkey->onHotkey = [weak] {
        if (auto self = weak.lock()) self->hotkeyPressed();
    };
    hotkey->registerHotkey();
}

void AppDelegate::createRecordingController() {
    auto weak = weak_from_this();
    RecordingController::Options options;
    options.defaults = [settings = settings] { return RecordingDefaults::from(*settings); };
    options.webcamSettings = [settings = settings] { return WebcamSettings::from(*settings); };
    options.webcam = WebcamBubbleController::Options{defaults, ensureToolkit};
    options.emit = [bridge = std::weak_ptr<WebBridge>(bridge)](std::string_view name, Json data) {
        if (auto b = bridge.lock()) b->emit(name, std::move(data));
    };
    options.chrome = std::make_shared<AppRecordingChrome>(statusItem, [weak] {
        auto self = weak.lock();
        return self ? self->windowController.get() : nullptr;
    });
    options.screenCaptureGranted = [] { return PermissionsManager::screenCaptureGranted(); };
    recording = RecordingController::create(std::move(options));
}

bool AppDelegate::isRecordingActive() const {
    return recording && recording->isActive();
}

void AppDelegate::stopRecording() {
    if (recording) recording->stop([](Result<Json>) {});
}

void AppDelegate::togglePauseRecording() {
    if (recording) recording->togglePause();
}

void AppDelegate::emitRecoveryNotices() {
    for (auto& message : recoveryNotices_) {
        Json data = Json::object();
        data["message"] = std::move(message);
        bridge->emit("notice", std::move(data));
    }
    recoveryNotices_.clear();
}

void AppDelegate::hotkeyPressed() {
    if (isRecordingActive()) return stopRecording();
    showMainWindow();
    bridge->emit("hotkeyRecord", Json::object());
}

void AppDelegate::applicationDidBecomeActive() {
    bridge->emit("permissionsChanged", permissions->statusDict());
}

void AppDelegate::startMediaServer() {
    auto server = MediaHttpServer::start([](std::string_view path) -> std::optional<FolderPath> {
        std::error_code ec;
        auto folder = std::filesystem::absolute(RecordingsLibrary::dirURL(), ec);
        auto file = MarluneSchemeHandler::resolveMediaPath(folder, path);
        if (!file) return std::nullopt;
        return FolderPath::inside(folder, *file);
    });
    if (server) {
        mediaServer = std::move(*server);
    } else {
        systemLog("Marlune: " + server.error().message);
    }
}

void AppDelegate::startSmokeMode() {
    bridge->setOnFirstReady([] {
        std::fputs("MARLUNE_SMOKE_OK\n", stdout);
        std::fflush(stdout);
        systemLog("MARLUNE_SMOKE_OK");
        Queue::main().after(std::chrono::milliseconds(300), [] { exitNow(0); });
    });
    // Never cancelled: it matters only when the page has not become ready in time.
    Queue::main().after(std::chrono::milliseconds(12000), [] {
        std::fputs("MARLUNE_SMOKE_TIMEOUT\n", stdout);
        exitNow(2);
    });
}

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed() const {
    return !isRecordingActive();
}

void AppDelegate::applicationShouldTerminate(std::function<void()> proceed) {
    // A recording in progress is stopped and saved first, whatever the outcome; no dialog.
    if (isRecordingActive()) {
        return recording->shutdown([weak = weak_from_this(), proceed = std::move(proceed)] {
            if (auto self = weak.lock()) return self->applicationShouldTerminate(proceed);
            proceed();
        });
    }
    if (exportsRunning_ == 0) return proceed();
    // An export cut off by the exit would leave a partial movie in the recordings folder: the
    // render is cancelled (which removes its file), a trimmed copy is let finish.
    afterExports_ = std::move(proceed);
    renderer->cancelExport();
}

void AppDelegate::exportEnded() {
    if (--exportsRunning_ > 0 || !afterExports_) return;
    auto proceed = std::move(afterExports_);
    afterExports_ = nullptr;
    proceed();
}

void AppDelegate::reloadUI() {
    if (windowController) windowController->reloadFromOrigin();
}

void AppDelegate::showMainWindow() {
    if (windowController) windowController->show();
}

void AppDelegate::onWindowLater(std::function<void(MainWindowController&)> work) {
    Queue::main().post([weak = weak_from_this(), work = std::move(work)] {
        auto self = weak.lock();
        if (self && self->windowController) work(*self->windowController);
    });
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
    r["permissions"] = permissions->statusDict();
    r["settings"] = settings->asDictionary();
    r["mediaBaseURL"] = mediaServer ? Json(mediaServer->baseURL()) : Json(nullptr);
    return r;
}

void AppDelegate::setWebcamPreview(bool on) {
    recording->setWebcamPreview(on);
}

void AppDelegate::setWebcamZoom(double zoom) {
    recording->setWebcamZoom(zoom);
}

WebcamFollowUp webcamFollowUp(bool wasEnabled, bool isEnabled, const Json& payload) {
    if (isEnabled != wasEnabled)
        return isEnabled ? WebcamFollowUp::turnOn : WebcamFollowUp::turnOff;
    if (!isEnabled) return WebcamFollowUp::none;
    for (const char* key : {"webcamCorner", "webcamSize", "webcamRing", "webcamShape"}) {
        if (payload.contains(key)) return WebcamFollowUp::rebuild;
    }
    return payload.contains("webcamZoom") ? WebcamFollowUp::zoom : WebcamFollowUp::none;
}

std::function<void(double)> AppDelegate::exportProgress() {
    // Called on the export's own threads: it holds only the bridge, so that the application
    // object is never last released (and torn down) there.
    return [weak = std::weak_ptr<WebBridge>(bridge)](double value) {
        if (auto b = weak.lock()) b->emit("exportProgress", {{"value", value}});
    };
}

std::function<void(Result<ExportedMovie>)> AppDelegate::exportCompletion(WebBridge::Reply reply) {
    ++exportsRunning_;
    auto answer = [weak = weak_from_this(), reply = std::move(reply)](Result<ExportedMovie> made) {
        if (!made) {
            // A cancelled export is an answer, not a failure.
            if (made.error() == ExportRenderer::cancelledError) {
                return reply(Json{{"cancelled", true}});
            }
            return reply(std::unexpected(made.error()));
        }
        if (auto self = weak.lock()) {
            self->recordExport();
            // The length of what was written: the range asked for, fitted to the recording.
            Json saved = Json::object();
            saved["name"] = made->name;
            saved["durationMs"] = made->durationMs;
            self->bridge->emit("saved", std::move(saved));
        }
        reply(Json{{"name", made->name}});
    };
    return [weak = weak_from_this(), answer = std::move(answer)](Result<ExportedMovie> made) {
        answer(std::move(made));
        if (auto self = weak.lock()) self->exportEnded();
    };
}

// The command table, in its fixed order. Handlers are glue: read the payload, call the service,
// turn its result into the reply.
void AppDelegate::registerCommands() {
    command("app.ready", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        reply(app.readyResult());
        app.emitRecoveryNotices();
    });

    command("app.setChrome", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        bool dark = readBool(payload, "dark").value_or(false);
        reply(Json::object());
        app.onWindowLater([dark](MainWindowController& w) { w.setChrome(dark); });
    });

    command("app.setBarMode", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        bool on = readBool(payload, "on").value_or(false);
        double w = readNumber(payload, "w").value_or(0);
        double h = readNumber(payload, "h").value_or(0);
        reply(Json::object());
        app.onWindowLater([=](MainWindowController& window) { window.setBarMode(on, w, h); });
    });

    command("app.confirm", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
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

    command("app.moveBar", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        double dx = readNumber(payload, "dx").value_or(0);
        double dy = readNumber(payload, "dy").value_or(0);
        reply(Json::object());
        app.onWindowLater([=](MainWindowController& w) { w.moveBar(dx, dy); });
    });

    // ---- Permissions ----
    command("permissions.status", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        reply(app.permissions->statusDict());
    });

    command("permissions.request",
            [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
                std::string kind = readString(payload, "kind").value_or("");
                if (kind == "screen") {
                    bool granted = app.permissions->requestScreen();
                    return reply(Json{{"granted", granted}, {"needsRestart", !granted}});
                }
                if (kind == "microphone" || kind == "camera") {
                    auto type = kind == "microphone" ? PermissionsManager::MediaType::audio
                                                     : PermissionsManager::MediaType::video;
                    return app.permissions->request(type, [reply = std::move(reply)](bool granted) {
                        reply(Json{{"granted", granted}});
                    });
                }
                if (kind == "accessibility") {
                    return reply(Json{{"granted", app.permissions->requestAccessibility()}});
                }
                reply(fail("Unknown permission kind: " + kind));
            });

    command("permissions.openSettings",
            [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
                app.permissions->openSettings(readString(payload, "pane").value_or(""));
                reply(Json::object());
            });

    command("permissions.relaunch", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        reply(Json::object());
        // After the reply has reached the page.
        Queue::main().after(std::chrono::milliseconds(200), [weak = app.weak_from_this()] {
            auto self = weak.lock();
            if (!self) return;
            self->permissions->relaunch([weak] {
                if (auto app = weak.lock(); app && app->terminate) app->terminate();
            });
        });
    });
    // ---- end of permissions ----

    // ---- Capture sources ----
    command("sources.list", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        // Answered from the pool thread; the bridge carries it to the main thread.
        app.provider->list([reply = std::move(reply)](Result<Json> sources) {
            reply(std::move(sources));  // the list object unchanged, or the query's failure
        });
    });

    command("sources.preview", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        auto kind = readString(payload, "sourceKind");
        auto id = readUInt32(payload, "sourceID");
        if (!kind || !id) return reply(fail("Missing source for preview"));
        app.provider->preview(*kind, *id,
                              [reply = std::move(reply)](std::optional<std::string> thumb) {
                                  Json result = Json::object();
                                  result["thumb"] = thumb ? Json(std::move(*thumb)) : Json(nullptr);
                                  reply(std::move(result));
                              });
    });
    // ---- end of capture sources ----

    // ---- Recording ----
    command("recording.start", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        // Answered once capture has really started, after the countdown.
        app.recording->start(payload, std::move(reply));
    });

    command("recording.pause", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        app.recording->pause();
        reply(Json::object());
    });

    command("recording.resume", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        app.recording->resume();
        reply(Json::object());
    });

    command("recording.stop", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        app.recording->stop(std::move(reply));
    });
    // ---- end of recording ----

    // ---- Recordings library, media tools and project files ----
    command("library.list", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
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

    command("library.thumb", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        auto name = readString(payload, "name");
        if (!name) return reply(fail("Missing file name"));
        app.library->thumbnail(*name, [reply = std::move(reply)](auto thumb) {
            if (!thumb) return reply(std::unexpected(thumb.error()));
            Json result = Json::object();
            result["thumb"] = *thumb ? Json(std::move(**thumb)) : Json(nullptr);
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
        app.media->exportTrim(*name, *startMs, *endMs, app.exportProgress(),
                              app.exportCompletion(std::move(reply)));
    });

    command("project.load", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
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

    command("project.save", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        auto name = readString(payload, "name");
        const Json* data = readObject(payload, "data");
        if (!name || !data) return reply(fail("Missing project data"));
        auto saved = app.projects->save(*name, *data);
        if (!saved) return reply(std::unexpected(saved.error()));
        reply(Json::object());
    });
    // ---- end of recordings library, media tools and project files ----

    // ---- Export ----
    command("edit.exportRender", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        auto request = ExportRequest::fromPayload(payload);
        if (!request) return reply(std::unexpected(request.error()));
        app.renderer->render(std::move(*request), MarluneSchemeHandler::webRoot(*app.defaults),
                             app.exportProgress(), app.exportCompletion(std::move(reply)));
    });

    // Without a name: the export started last. With "name": the running exports of that
    // recording, or the one that will answer with that name.
    command("edit.exportCancel", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        if (auto name = readString(payload, "name")) {
            app.renderer->cancelExport(*name);
        } else {
            app.renderer->cancelExport();
        }
        reply(Json::object());
    });

    // The editor's picture of the edit at one time, made as the export makes it. A request that a
    // newer one overtook succeeds with {"superseded": true}, so that every request is answered.
    command("edit.previewFrame", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        app.previews->preview(payload, MarluneSchemeHandler::webRoot(*app.defaults),
                              [reply = std::move(reply)](Result<PreviewImage> made) {
                                  if (!made && made.error() == PreviewRenderer::supersededError) {
                                      return reply(Json{{"superseded", true}});
                                  }
                                  if (!made) return reply(std::unexpected(made.error()));
                                  reply(Json{{"image", std::move(made->dataURL)},
                                             {"width", made->width},
                                             {"height", made->height},
                                             {"tMs", made->tMs}});
                              });
    });
    // ---- end of export ----

    command("webcam.zoom", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        app.setWebcamZoom(readNumber(payload, "zoom").value_or(1.0));
        reply(Json::object());
    });

    // ---- Account ----
    command("auth.state", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        reply(app.auth->stateDict());
    });

    command("auth.google", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        auto started = app.auth->startGoogle();
        if (!started) return reply(std::unexpected(started.error()));
        reply(Json{{"waiting", true}});
    });

    command("auth.magicLink", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        auto email = auth::magicLinkAddress(readString(payload, "email").value_or(""));
        if (!email) return reply(fail("Enter a valid email address"));
        app.auth->startMagicLink(*email, std::move(reply));
    });

    command("auth.signOut", [](AppDelegate& app, const Json&, WebBridge::Reply reply) {
        app.auth->signOut();
        reply(Json::object());
    });
    // ---- end of account ----

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
