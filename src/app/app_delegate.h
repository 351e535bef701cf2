#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "account/auth_controller.h"
#include "app/capture_source_provider.h"
#include "app/export_tracker.h"
#include "app/hotkey_manager.h"
#include "app/permissions_manager.h"
#include "app/settings_store.h"
#include "app/status_item_controller.h"
#include "bridge/script_target.h"
#include "bridge/web_bridge.h"
#include "core/key_value_store.h"
#include "library/media_tools.h"
#include "library/project_store.h"
#include "library/recordings_library.h"
#include "render/export/export_renderer.h"
#include "render/preview_renderer.h"

namespace marlune {

class MainWindowController;
class MediaHttpServer;
class RecordingController;

// The application object: creates every service once, owns them for the life of the process,
// wires them at launch and registers the page's commands. Main thread only. Always owned by a
// shared_ptr (service callbacks and command handlers hold it weakly).
class AppDelegate : public std::enable_shared_from_this<AppDelegate> {
  public:
    // Creates the services in their fixed order. `args` are the command-line arguments.
    static std::shared_ptr<AppDelegate> create(const std::vector<std::string>& args);

    // The version the page is told: the project version, "0.1.0" when the build has none.
    static std::string version();

    // The launch sequence of the desktop: creates the main window with its web view (GTK must be
    // initialised) and points the bridge at it. `attachWindow` runs as soon as the window exists,
    // before it is shown: the host adds it to the toolkit's application and installs the menu.
    void applicationDidFinishLaunching(
        const std::function<void(MainWindowController&)>& attachWindow);
    // The launch sequence of the headless host: no window; `page` receives the bridge's scripts
    // (the caller keeps it alive, the bridge holds it weakly). The window commands do nothing
    // and "app.confirm" answers false at once.
    void applicationDidFinishLaunching(const std::shared_ptr<ScriptTarget>& page);
    // Creates the main window unshown, its page already loading, so that the web process starts
    // while the rest of launch goes on (GTK must be initialised). The page's messages wait for the
    // main loop, which runs launch first. applicationDidFinishLaunching then takes this window.
    void prepareMainWindow();

    // False while a recording is in progress, so closing the window does not quit.
    bool applicationShouldTerminateAfterLastWindowClosed() const;

    // Decides a quit: `proceed` runs now when nothing needs saving, or once the recording in
    // progress has been stopped and saved (whatever the outcome) and the exports under way have
    // ended (a render is cancelled first). Main thread.
    void applicationShouldTerminate(std::function<void()> proceed);

    // The "Reload UI" menu command: reloads the page from its origin. The page stays ready for
    // events. Nothing without a main window.
    void reloadUI();
    // Brings the main window to the front, if there is one.
    void showMainWindow();

    // True while a recording is in progress (from its start command until it is saved);
    // quitting and closing the window follow this answer.
    bool isRecordingActive() const;

    // The global hot key: stops the recording in progress, or else brings the main window to the
    // front and tells the page ("hotkeyRecord"), which decides whether to start one.
    void hotkeyPressed();
    // Tells the page the permissions may have changed ("permissionsChanged" with the status
    // object): the main window has become active, perhaps back from the system's settings.
    void applicationDidBecomeActive();

    // Set by the host: asks it to quit through applicationShouldTerminate, as its Quit does.
    std::function<void()> terminate;

    const bool isSmoke;
    // Started by a WebDriver server ("--automation"): the page may be driven through it.
    const bool isAutomation;
    // The user-defaults store behind the settings and the other persisted keys.
    const std::shared_ptr<KeyValueStore> defaults;
    const std::shared_ptr<WebBridge> bridge;
    const std::shared_ptr<SettingsStore> settings;
    const std::shared_ptr<PermissionsManager> permissions;
    const std::shared_ptr<RecordingsLibrary> library;
    const std::shared_ptr<CaptureSourceProvider> provider;
    const std::shared_ptr<MediaTools> media;
    const std::shared_ptr<ProjectStore> projects;
    const std::shared_ptr<ExportRenderer> renderer;
    const std::shared_ptr<AuthController> auth;
    // The tray item shown while recording; the recording controller drives it.
    const std::shared_ptr<StatusItemController> statusItem;
    const std::shared_ptr<HotkeyManager> hotkey;
    // Still pictures of an edit for the editor ("edit.previewFrame").
    const std::shared_ptr<PreviewRenderer> previews;
    // The page's exports under way, which a quit waits for.
    const std::shared_ptr<ExportTracker> exports;
    // Serves the recordings to the page's media player over loopback HTTP; from launch on, and
    // absent when it could not listen.
    std::unique_ptr<MediaHttpServer> mediaServer;
    // The main window; from launch on in the desktop host, never in the headless one.
    std::unique_ptr<MainWindowController> windowController;
    // From launch on. Declared after the window, so it goes first.
    std::shared_ptr<RecordingController> recording;

    ~AppDelegate();

    // ---- For the command table (commands/), main thread ----

    using CommandHandler = std::function<void(AppDelegate&, const Json&, WebBridge::Reply)>;
    // Adds a handler that holds this object weakly and does nothing once it is gone.
    void command(std::string name, CommandHandler handler);
    // "app.ready"'s answer: version, permissions, settings and the media server's address.
    Json readyResult() const;
    // Tells the page, once ready, what launch recovered of recordings a crash cut short.
    void emitRecoveryNotices();
    // Runs `work` on the main window later on the main queue, after the command's reply; nothing
    // when there is no window.
    void onWindowLater(std::function<void(MainWindowController&)> work);
    // Writes the settings in `payload`, then turns the webcam bubble on or off, rebuilds it or
    // pushes its new zoom, as the change asks (the recording controller owns the bubble).
    void applySettings(const Json& payload);
    void setWebcamZoom(double zoom);
    // Starts the program again once the command's reply has reached the page, then quits.
    void relaunchSoon();

  private:
    AppDelegate(bool isSmoke, bool isAutomation, const std::vector<std::string>& args);

    // The steps both launches share; `page` is where the bridge's scripts go.
    void launch(const std::shared_ptr<ScriptTarget>& page);
    void startMediaServer();
    void startSmokeMode();

    // The command table, in its fixed order: one group per area (commands/commands.h).
    void registerCommands();
    // The tray item's menu, the hot key (outside smoke mode) and, with a window, its activation.
    void installChrome();
    // What the tray item and the hot key ask of the recording in progress (the result of a stop is
    // ignored).
    void stopRecording();
    void togglePauseRecording();
    // Creates the recording controller, with the tray item, the countdown and the main window.
    void createRecordingController();
    // Turns the webcam bubble on, rebuilding it with the webcam settings, or off.
    void setWebcamPreview(bool on);

    std::vector<std::string> recoveryNotices_;  // for the page, once it is ready
};

}  // namespace marlune
