#include "app/permissions_manager.h"

#include <fcntl.h>
#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "core/debug_log.h"
#include "core/queue.h"
#include "platform/desktop/accessibility.h"
#include "platform/desktop/device_access.h"
#include "platform/wayland/global_shortcuts.h"
#include "platform/wayland/pointer_buttons.h"
#include "recording/webcam_bubble_controller.h"

namespace marlune {

namespace {

using desktop::DeviceAccess;

// The camera the webcam bubble opens, as it would open it: "Not set up" must not show while the
// bubble works (with a camera that is not a /dev/video node, or another input).
DeviceAccess cameraStatus(const KeyValueStore* defaults) {
    CameraSource source = configuredCameraSource(defaults);
    return desktop::cameraAccessFor(source.format, source.device);
}

const char* deviceStatus(DeviceAccess access) {
    switch (access) {
        case DeviceAccess::granted:
            return "granted";
        case DeviceAccess::denied:
            return "denied";
        case DeviceAccess::missing:
            break;
    }
    return "notDetermined";
}

// Each desktop's settings program and the argument that opens the page of each pane (empty: the
// program's first page).
struct DesktopSettings {
    std::vector<std::string_view> desktops;  // names in XDG_CURRENT_DESKTOP, lower case
    std::vector<std::string_view> programs;  // the first one installed is used
    std::string_view microphone, camera, accessibility;
};

const std::vector<DesktopSettings>& desktopSettings() {
    static const std::vector<DesktopSettings> table = {
        {{"gnome", "unity", "ubuntu", "pop"},
         {"gnome-control-center"},
         "microphone",
         "camera",
         "universal-access"},
        {{"budgie"},
         {"budgie-control-center", "gnome-control-center"},
         "microphone",
         "camera",
         "universal-access"},
        {{"kde"}, {"systemsettings", "systemsettings5"}, "kcm_pulseaudio", "", "kcm_access"},
        {{"x-cinnamon", "cinnamon"}, {"cinnamon-settings"}, "sound", "", "accessibility"},
        {{"xfce"}, {"xfce4-settings-manager"}, "", "", ""},
        {{"mate"}, {"mate-control-center"}, "", "", ""},
        {{"lxqt"}, {"lxqt-config"}, "", "", ""},
    };
    return table;
}

std::vector<std::string> desktopNames(std::string_view currentDesktop) {
    std::vector<std::string> names;
    std::string name;
    for (char c : std::string(currentDesktop) + ":") {
        if (c == ':') {
            if (!name.empty()) names.push_back(name);
            name.clear();
        } else {
            name.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        }
    }
    return names;
}

// The path of the running program; a program replaced on disk since it started still runs again.
std::string ownExecutable() {
    std::error_code ec;
    std::string path = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    constexpr std::string_view deleted = " (deleted)";
    if (path.ends_with(deleted)) path.resize(path.size() - deleted.size());
    return path;
}

}  // namespace

PermissionsManager::PermissionsManager(std::shared_ptr<KeyValueStore> defaults,
                                       std::vector<std::string> args)
    : defaults_(std::move(defaults)), args_(std::move(args)) {}

Json PermissionsManager::statusDict() const {
    MARLUNE_ASSERT_ON(Queue::main());
    Json status = Json::object();
    switch (screenAccess()) {
        case desktop::ScreenAccess::available:
            status["screen"] = "granted";
            break;
        case desktop::ScreenAccess::noCapturePath:
            status["screen"] = "denied";
            break;
        case desktop::ScreenAccess::noDisplay:
            status["screen"] = defaults_->boolValue(didRequestScreenKey).value_or(false)
                                   ? "denied"
                                   : "notDetermined";
            break;
    }
    status["microphone"] = deviceStatus(desktop::microphoneAccess());
    status["camera"] = deviceStatus(cameraStatus(defaults_.get()));
    status["accessibility"] =
        desktop::accessibilityEnabled().value_or(false) ? "granted" : "notDetermined";
    if (wayland::isWaylandSession()) addWaylandStatus(status);
    return status;
}

void PermissionsManager::addWaylandStatus(Json& status) {
    status["session"] = "wayland";
    switch (wayland::pointerAccess()) {
        case wayland::PointerAccess::granted:
            status["inputDevices"] = "granted";
            break;
        case wayland::PointerAccess::denied:
            status["inputDevices"] = "denied";
            break;
        case wayland::PointerAccess::missing:
            status["inputDevices"] = "notDetermined";
            break;
    }
    status["hotkey"] = wayland::globalShortcutsOffered() ? "granted" : "denied";
}

desktop::ScreenAccess PermissionsManager::screenAccess() {
    // In a Wayland session the desktop's portal asks for each recording's source itself: the
    // screen is there to ask for when the portal offers screen casts.
    if (wayland::isWaylandSession()) {
        return wayland::screenCastOffered() ? desktop::ScreenAccess::available
                                            : desktop::ScreenAccess::noCapturePath;
    }
    return desktop::screenAccess();
}

bool PermissionsManager::screenCaptureGranted() {
    return screenAccess() == desktop::ScreenAccess::available;
}

bool PermissionsManager::requestScreen() {
    MARLUNE_ASSERT_ON(Queue::main());
    defaults_->set(didRequestScreenKey, true);
    return screenCaptureGranted();
}

void PermissionsManager::request(MediaType type, std::function<void(bool)> completion) {
    MARLUNE_ASSERT_ON(Queue::main());
    // Opening a device can take a moment (a sound server that is slow to answer).
    ConcurrentQueue::userInitiated().post([type, defaults = defaults_,
                                           completion = std::move(completion)]() mutable {
        DeviceAccess access =
            type == MediaType::audio ? desktop::openMicrophone() : cameraStatus(defaults.get());
        bool granted = access == DeviceAccess::granted;
        Queue::main().post([completion = std::move(completion), granted] { completion(granted); });
    });
}

void PermissionsManager::requestByKind(const std::string& kind,
                                       std::function<void(Result<Json>)> answer) {
    MARLUNE_ASSERT_ON(Queue::main());
    if (kind == "screen") {
        bool granted = requestScreen();
        return answer(Json{{"granted", granted}, {"needsRestart", !granted}});
    }
    if (kind == "microphone" || kind == "camera") {
        auto type = kind == "microphone" ? MediaType::audio : MediaType::video;
        return request(type, [answer = std::move(answer)](bool granted) {
            answer(Json{{"granted", granted}});
        });
    }
    if (kind == "accessibility") return answer(Json{{"granted", requestAccessibility()}});
    answer(fail("Unknown permission kind: " + kind));
}

bool PermissionsManager::requestAccessibility() {
    MARLUNE_ASSERT_ON(Queue::main());
    if (auto set = desktop::setAccessibilityEnabled(true); !set) {
        systemLog("Marlune: could not switch on accessibility: " + set.error().message);
    }
    return desktop::accessibilityEnabled().value_or(false);
}

std::optional<std::vector<std::string>> PermissionsManager::settingsCommand(
    std::string_view pane, std::string_view currentDesktop,
    const std::function<bool(const std::string&)>& installed) {
    auto names = desktopNames(currentDesktop);
    for (const auto& desktop : desktopSettings()) {
        bool matches = std::any_of(names.begin(), names.end(), [&](const std::string& n) {
            return std::find(desktop.desktops.begin(), desktop.desktops.end(), n) !=
                   desktop.desktops.end();
        });
        if (!matches) continue;
        for (std::string_view program : desktop.programs) {
            if (!installed(std::string(program))) continue;
            std::vector<std::string> command = {std::string(program)};
            std::string_view page = pane == "microphone"      ? desktop.microphone
                                    : pane == "camera"        ? desktop.camera
                                    : pane == "accessibility" ? desktop.accessibility
                                                              : std::string_view();
            if (!page.empty()) command.emplace_back(page);
            return command;
        }
        return std::nullopt;
    }
    return std::nullopt;
}

void PermissionsManager::openSettings(const std::string& pane) const {
    MARLUNE_ASSERT_ON(Queue::main());
    const char* current = g_getenv("XDG_CURRENT_DESKTOP");
    auto command = settingsCommand(pane, current ? current : "", [](const std::string& program) {
        char* found = g_find_program_in_path(program.c_str());
        g_free(found);
        return found != nullptr;
    });
    if (!command) return;
    std::vector<char*> argv;
    for (auto& a : *command) argv.push_back(a.data());
    argv.push_back(nullptr);
    GError* error = nullptr;
    if (!g_spawn_async(nullptr, argv.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr,
                       nullptr, &error)) {
        systemLog("Marlune: could not open the settings: " +
                  std::string(error ? error->message : "unknown error"));
        g_clear_error(&error);
    }
}

void PermissionsManager::relaunch(const std::function<void()>& terminate) const {
    MARLUNE_ASSERT_ON(Queue::main());
    // The new instance waits 0.6 s, then until the read end of this pipe sees its end: the write
    // end is open in this process only, so the end comes when this process has exited.
    int gate[2] = {-1, -1};
    std::string exe = ownExecutable();
    bool started = false;
    if (!exe.empty() && ::pipe2(gate, O_CLOEXEC) == 0) {
        std::vector<std::string> args = {
            "/bin/sh", "-c", "sleep 0.6; read -r _ <&3; exec 3<&-; exec \"$0\" \"$@\"", exe};
        args.insert(args.end(), args_.begin(), args_.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int sourceFds[] = {gate[0]};
        const int targetFds[] = {3};
        GError* error = nullptr;
        started = g_spawn_async_with_pipes_and_fds(
            nullptr, argv.data(), nullptr, G_SPAWN_CHILD_INHERITS_STDIN, nullptr, nullptr, -1, -1,
            -1, sourceFds, targetFds, 1, nullptr, nullptr, nullptr, nullptr, &error);
        ::close(gate[0]);
        if (!started) {
            systemLog("Marlune: could not start again: " +
                      std::string(error ? error->message : "unknown error"));
            g_clear_error(&error);
            ::close(gate[1]);
        }
        // On success gate[1] stays open, on purpose, until the process ends.
    } else {
        systemLog(
            "Marlune: could not start again: " +
            std::string(exe.empty() ? "the program's own path is unknown" : g_strerror(errno)));
    }
    if (terminate) terminate();
}

}  // namespace marlune
