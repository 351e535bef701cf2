#include "app/app_delegate.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <gtk/gtk.h>

#include "app/commands/commands.h"
#include "app/desktop_integration.h"
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
#include "recording/wayland_capture.h"

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
      previews(std::make_shared<PreviewRenderer>()),
      exports(std::make_shared<ExportTracker>(bridge, auth)) {}

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
    if (!windowController) prepareMainWindow();
    if (attachWindow) attachWindow(*windowController);
    windowController->isRecordingProvider = [weak = weak_from_this()] {
        auto self = weak.lock();
        return self && self->isRecordingActive();
    };
    windowController->onMaximizedChanged = [bridge = std::weak_ptr<WebBridge>(bridge)](bool on) {
        if (auto b = bridge.lock()) b->emit("windowState", Json{{"maximized", on}});
    };
    launch(windowController->page());
    windowController->show();
}

void AppDelegate::prepareMainWindow() {
    // Loading starts now; the page's messages are handled only once launch has returned, so
    // every command is registered by then.
    windowController =
        std::make_unique<MainWindowController>(bridge, MarluneSchemeHandler::forApp(defaults),
                                               isAutomation ? Automation::on : Automation::off);
}

void AppDelegate::applicationDidFinishLaunching(const std::shared_ptr<ScriptTarget>& page) {
    RecordingsLibrary::ensureDir();
    RecordingsLibrary::removeLeftovers();
    startMediaServer();
    launch(page);
}

void AppDelegate::launch(const std::shared_ptr<ScriptTarget>& page) {
    MARLUNE_ASSERT_ON(Queue::main());
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
    // In a Wayland session the desktop's portal grants each recording's source itself.
    options.screenCaptureGranted = [] {
        return captureBackend() == CaptureBackend::portal ||
               PermissionsManager::screenCaptureGranted();
    };
    setPortalTokenStore({[settings = settings](const std::string& kind) {
                             return settings->screenCastRestoreToken(kind);
                         },
                         [settings = settings](const std::string& kind, const std::string& token) {
                             settings->setScreenCastRestoreToken(kind, token);
                         }});
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
    MARLUNE_ASSERT_ON(Queue::main());
    if (isRecordingActive()) return stopRecording();
    showMainWindow();
    bridge->emit("hotkeyRecord", Json::object());
}

void AppDelegate::applicationDidBecomeActive() {
    MARLUNE_ASSERT_ON(Queue::main());
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
    MARLUNE_ASSERT_ON(Queue::main());
    // A recording in progress is stopped and saved first, whatever the outcome; no dialog.
    if (isRecordingActive()) {
        return recording->shutdown([weak = weak_from_this(), proceed = std::move(proceed)] {
            if (auto self = weak.lock()) return self->applicationShouldTerminate(proceed);
            proceed();
        });
    }
    if (!exports->isRunning()) return proceed();
    // An export cut off by the exit would leave a partial movie in the recordings folder: the
    // render is cancelled (which removes its file), a trimmed copy is let finish.
    exports->whenAllEnded(std::move(proceed));
    renderer->cancelExport();
}

void AppDelegate::reloadUI() {
    if (windowController) windowController->reloadFromOrigin();
}

void AppDelegate::showMainWindow() {
    if (windowController) windowController->show();
}

void AppDelegate::onWindowLater(std::function<void(MainWindowController&)> work) {
    postIfAlive(Queue::main(), weak_from_this(), [work = std::move(work)](AppDelegate& self) {
        if (self.windowController) work(*self.windowController);
    });
}

void AppDelegate::command(std::string name, CommandHandler handler) {
    MARLUNE_ASSERT_ON(Queue::main());
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
    MARLUNE_ASSERT_ON(Queue::main());
    recording->setWebcamZoom(zoom);
}

void AppDelegate::applySettings(const Json& payload) {
    MARLUNE_ASSERT_ON(Queue::main());
    bool wasEnabled = settings->webcamEnabled();
    settings->apply(payload);
    switch (webcamFollowUp(wasEnabled, settings->webcamEnabled(), payload)) {
        case WebcamFollowUp::none:
            break;
        case WebcamFollowUp::turnOn:
        case WebcamFollowUp::rebuild:
            setWebcamPreview(true);
            break;
        case WebcamFollowUp::turnOff:
            setWebcamPreview(false);
            break;
        case WebcamFollowUp::zoom:
            setWebcamZoom(settings->webcamZoom());
            break;
    }
}

void AppDelegate::relaunchSoon() {
    // After the reply has reached the page.
    Queue::main().after(std::chrono::milliseconds(200), [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        self->permissions->relaunch([weak] {
            if (auto app = weak.lock(); app && app->terminate) app->terminate();
        });
    });
}

void AppDelegate::registerCommands() {
    addAppCommands(*this);
    addPermissionsCommands(*this);
    addSourcesCommands(*this);
    addRecordingCommands(*this);
    addLibraryCommands(*this);
    addEditCommands(*this);
    addWebcamCommands(*this);
    addAccountCommands(*this);
    addSettingsCommands(*this);
    addLibraryFileCommands(*this);
    addWindowCommands(*this);
}

}  // namespace marlune
