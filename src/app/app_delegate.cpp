#include "app/app_delegate.h"

#include <string_view>

#include "app/version.h"
#include "core/paths.h"
#include "library/recordings_library.h"

namespace marlune {

AppDelegate::AppDelegate(bool isSmoke)
    : isSmoke(isSmoke),
      defaults(std::make_shared<KeyValueStore>(paths::defaultsFile())),
      bridge(std::make_shared<WebBridge>()),
      settings(std::make_shared<SettingsStore>(defaults)) {}

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
