#include "app/recording_chrome.h"

#include "app/main_window_controller.h"

namespace marlune {

AppRecordingChrome::AppRecordingChrome(std::shared_ptr<StatusItemController> statusItem,
                                       std::function<MainWindowController*()> window)
    : statusItem_(std::move(statusItem)), window_(std::move(window)) {}

void AppRecordingChrome::showCountdown(int n, std::optional<std::uint32_t> displayID) {
    overlay_.show(n, displayID);
}

void AppRecordingChrome::hideCountdown() {
    overlay_.hide();
}

void AppRecordingChrome::showStatusItem() {
    statusItem_->show();
}

void AppRecordingChrome::updateStatusItem(const std::string& timeText, bool paused) {
    statusItem_->update(timeText, paused);
}

void AppRecordingChrome::hideStatusItem() {
    statusItem_->hide();
}

void AppRecordingChrome::hideForRecording() {
    if (auto* w = window_ ? window_() : nullptr) w->hideForRecording();
}

void AppRecordingChrome::restoreAfterRecording() {
    overlay_.release();
    if (auto* w = window_ ? window_() : nullptr) w->restoreAfterRecording();
}

}  // namespace marlune
