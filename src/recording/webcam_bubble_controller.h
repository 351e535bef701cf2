#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/key_value_store.h"
#include "platform/media/camera_input.h"
#include "recording/webcam_bubble_layout.h"

namespace marlune {

// The camera the program uses: the environment's MARLUNE_WEBCAM_INPUT_FORMAT and
// MARLUNE_WEBCAM_DEVICE when set, else the defaults keys "webcamInputFormat" and "webcamDevice"
// when they hold text, else V4L2's /dev/video0. `defaults` may be null.
CameraSource configuredCameraSource(const KeyValueStore* defaults);

// The webcam bubble: the camera's live picture in a small always-on-top window in a corner of
// the primary monitor's work area, which the user can drag and double-click (to restart a camera
// that stalled). Like every window of this process, it is left out of display recordings.
//
// Threads: the window, its drawing and every member below run on the main thread. The camera is
// read on a thread of its own (CameraSession); its pictures, and the bubble's recording state,
// are handled in order on the ".webcam" queue, from which the picture to show is handed to the
// main thread at most 24 times a second.
class WebcamBubbleController {
  public:
    static constexpr int previewFPS = 24;

    struct Options {
        // The user-defaults store the camera's configuration is read from at each show; may be
        // null.
        std::shared_ptr<KeyValueStore> defaults;
        // Makes sure the toolkit can show windows (in the headless host it is set up on
        // demand); false when there is no display. The default only checks.
        std::function<bool()> ensureToolkit;
    };

    WebcamBubbleController();
    explicit WebcamBubbleController(Options options);
    ~WebcamBubbleController();
    WebcamBubbleController(const WebcamBubbleController&) = delete;
    WebcamBubbleController& operator=(const WebcamBubbleController&) = delete;

    // (Re)creates the bubble with the settings "webcamCorner", "webcamSize", "webcamRing",
    // "webcamShape" and "webcamZoom" (see bubbleLayout) and starts its camera: 1280 × 720 for
    // size "l", else 640 × 480, at most 24 pictures a second. Without a display or a monitor
    // nothing is shown. A camera that cannot be opened leaves the bubble black and logs
    // "Marlune: camera input unavailable".
    void show(const std::string& corner, const std::string& size, bool ring,
              const std::string& shape, double zoom);
    // Removes the bubble and stops its camera.
    void hide();
    // Scales the picture about the bubble's centre (not at all for zoom <= 1), at once.
    void setZoom(double zoom);

    // A bubble window exists.
    bool isVisible() const;
    // The bubble's X window, 0 when hidden.
    std::uint32_t windowID() const;
    // Where the bubble was put and how it is cut; meaningful while visible.
    BubbleLayout layout() const;
    // Times the shown bubble's camera has been opened (a double click reopens it); 0 when hidden.
    int cameraOpens() const;
    // Pictures drawn in the bubble since it was shown.
    std::uint64_t picturesShown() const;

    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace marlune
