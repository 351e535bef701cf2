#pragma once

#include <functional>
#include <string>

typedef struct _AppIndicator AppIndicator;
typedef struct _GtkWidget GtkWidget;

namespace marlune {

// The item in the desktop's tray (a StatusNotifierItem, through AppIndicator) shown while a
// recording runs: a red dot, or orange pause bars while paused, with the elapsed time as its label,
// and a menu: "Pause" (or "Resume"), "Stop Recording", a separator, "Show Marlune". With no tray on
// the desktop, or no display at all, nothing is shown and every call still works.
//
// Main thread only. Owned by the application object; the recording controller drives it.
class StatusItemController {
  public:
    static constexpr const char* kRecordingIcon = "marlune-recording";
    static constexpr const char* kPausedIcon = "marlune-paused";

    StatusItemController() = default;
    ~StatusItemController();
    StatusItemController(const StatusItemController&) = delete;
    StatusItemController& operator=(const StatusItemController&) = delete;

    // Run by the menu's entries ("Pause"/"Resume", "Stop Recording", "Show Marlune").
    std::function<void()> onTogglePause;
    std::function<void()> onStop;
    std::function<void()> onShowApp;

    // Puts the item in the tray showing "00:00", not paused. Nothing when it is already shown.
    void show();
    // The elapsed time (such as "01:05") and the pause state; the pause entry reads "Resume"
    // while paused, else "Pause". Nothing while hidden.
    void update(const std::string& timeText, bool paused);
    // Takes the item out of the tray.
    void hide();

    bool isShown() const { return shown_; }
    // What the item shows, while shown.
    const std::string& timeText() const { return timeText_; }
    bool paused() const { return paused_; }
    std::string pauseTitle() const { return paused_ ? "Resume" : "Pause"; }
    // The indicator's identifier on the session bus (part of its object path).
    static constexpr const char* kIndicatorId = "marlune-studio";

    // The menu's actions: each runs its callback if set.
    void didTogglePause();
    void didStop();
    void didShowApp();

  private:
    void buildIndicator();
    void dropIndicator();
    void applyState();
    // Builds the item again under a new identifier when it has not reached a tray that is there.
    static int checkRegistration(void* self);

    bool shown_ = false;
    bool paused_ = false;
    std::string timeText_;
    // Present while shown on a display.
    AppIndicator* item_ = nullptr;
    GtkWidget* menu_ = nullptr;
    GtkWidget* pauseMenuItem_ = nullptr;
    unsigned registrationCheck_ = 0;  // timer source, while one is due
    int rebuilds_ = 0;                // since shown
};

}  // namespace marlune
