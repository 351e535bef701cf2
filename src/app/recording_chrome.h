#pragma once

#include <functional>
#include <memory>

#include "app/countdown_overlay_controller.h"
#include "app/status_item_controller.h"
#include "recording/recording_controller.h"

namespace marlune {

class MainWindowController;

// The application's chrome around a recording: it owns the countdown overlay, drives the tray
// item and moves the main window (when there is one) out of the way and back. Main thread only.
class AppRecordingChrome : public RecordingChrome {
  public:
    // `window` answers the main window, or null (the headless host has none).
    AppRecordingChrome(std::shared_ptr<StatusItemController> statusItem,
                       std::function<MainWindowController*()> window);

    void showCountdown(int n, std::optional<std::uint32_t> displayID) override;
    void hideCountdown() override;
    void showStatusItem() override;
    void updateStatusItem(const std::string& timeText, bool paused) override;
    void hideStatusItem() override;
    void hideForRecording() override;
    void restoreAfterRecording() override;

    const CountdownOverlayController& countdownOverlay() const { return overlay_; }

  private:
    std::shared_ptr<StatusItemController> statusItem_;
    std::function<MainWindowController*()> window_;
    CountdownOverlayController overlay_;
};

}  // namespace marlune
