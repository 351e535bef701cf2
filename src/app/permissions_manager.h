#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/json.h"
#include "core/key_value_store.h"
#include "platform/desktop/device_access.h"

namespace marlune {

// The four things recording needs from the system — capturing the screen, the microphone, the
// camera, and the accessibility interface (the caret tracker reads the focused text field through
// it) — reported to the page as one status object, each "granted", "denied" or "notDetermined".
// The platform has no permission prompts, so each is read from what the system lets the program do:
//
// - "screen": granted when an X11 display answers; a Wayland session has no capture path and reads
//   "denied"; with no display it reads "notDetermined" until the first request and "denied" after.
// - "microphone" / "camera": granted when the device exists and opens, denied when it exists but
//   the system refuses it, "notDetermined" when there is none.
// - "accessibility": granted while assistive technologies are switched on for the session;
//   "notDetermined" otherwise (never "denied"). Requesting it switches them on.
//
// A Wayland session adds what the page needs to explain that platform's own permissions:
// "session" is "wayland"; "inputDevices" tells whether the pointer devices can be read for the
// click track (granted; denied when the user is not in the `input` group; "notDetermined" with no
// pointer device); "hotkey" is granted when the desktop portal offers global shortcuts and
// "denied" when it does not. Neither can be requested from here: the page explains them.
//
// Main thread only. Owned by the application object.
class PermissionsManager {
  public:
    static constexpr std::string_view didRequestScreenKey = "didRequestScreen";
    enum class MediaType { audio, video };

    // `defaults` keeps "didRequestScreen"; `args` are the program's command-line arguments (a
    // relaunch passes them on).
    PermissionsManager(std::shared_ptr<KeyValueStore> defaults, std::vector<std::string> args);

    // {"screen", "microphone", "camera", "accessibility"}. Blocks for a few milliseconds (short
    // calls to the display, the sound server and the session bus, each with a time-out).
    Json statusDict() const;
    // Whether the screen can be captured now (the recording controller checks it before starting).
    static bool screenCaptureGranted();
    // The display's answer on X11; on Wayland whether the desktop's screen-cast portal is there.
    static desktop::ScreenAccess screenAccess();

    // Remembers that the screen was asked for, then answers whether it can be captured.
    bool requestScreen();
    // Tries to open the microphone (audio) or a camera (video) away from the main thread;
    // `completion` gets whether it opened, on the main queue.
    void request(MediaType type, std::function<void(bool)> completion);
    // Switches assistive technologies on for the session; answers whether they are on now.
    bool requestAccessibility();
    // The page's "permissions.request" for `kind` ("screen", "microphone", "camera" or
    // "accessibility"): `answer` gets {"granted"} (for the screen also "needsRestart", true when
    // not granted) on the main queue, or "Unknown permission kind: KIND".
    void requestByKind(const std::string& kind, std::function<void(Result<Json>)> answer);

    // Opens the desktop's own settings at the page for `pane` ("screen", "microphone", "camera",
    // "accessibility"; anything else opens the settings' first page). Nothing on a desktop whose
    // settings program is unknown or not installed.
    void openSettings(const std::string& pane) const;
    // The command that opens the settings for `pane` on the desktops named in `currentDesktop`
    // (XDG_CURRENT_DESKTOP: names separated by ':'), using the first settings program that
    // `installed` finds; nothing when there is none.
    static std::optional<std::vector<std::string>> settingsCommand(
        std::string_view pane, std::string_view currentDesktop,
        const std::function<bool(const std::string&)>& installed);

    // Starts this program again, with the same arguments, 0.6 s from now and not before this
    // process has exited (so the new instance finds the recording saved and the hot key free),
    // then calls `terminate`, which quits through the normal termination path. A failure to start
    // the new instance is logged; the application still quits.
    void relaunch(const std::function<void()>& terminate) const;

  private:
    static void addWaylandStatus(Json& status);

    std::shared_ptr<KeyValueStore> defaults_;
    std::vector<std::string> args_;
};

}  // namespace marlune
