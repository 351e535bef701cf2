#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/key_value_store.h"
#include "platform/media/camera_input.h"
#include "recording/asset_writer_coordinator.h"
#include "recording/webcam_bubble_layout.h"

namespace marlune {

// The camera the program uses: the environment's MARLUNE_WEBCAM_INPUT_FORMAT and
// MARLUNE_WEBCAM_DEVICE when set, else the defaults keys "webcamInputFormat" and "webcamDevice"
// when they hold text, else V4L2's /dev/video0. `defaults` may be null.
CameraSource configuredCameraSource(const KeyValueStore* defaults);

// The webcam bubble: the camera's live picture in a small always-on-top window in a corner of
// the primary monitor's work area, which the user can drag and double-click (to restart a camera
// that stalled). Like every window of this process, it is left out of display recordings: a
// recording with the webcam gets the camera in a movie of its own instead, which the export lays
// over the screen.
//
// Threads: the window, its drawing and every member below run on the main thread. The camera is
// read on a thread of its own (CameraSession); its pictures, and the recording state, are
// handled in order on the ".webcam" queue, which hands each picture to the webcam movie's writer
// and the picture to show to the main thread, at most 24 times a second.
class WebcamBubbleController {
  public:
    static constexpr int previewFPS = 24;
    // The webcam movie: the camera is asked for this size (a camera that cannot give it records
    // at the size it gives), every picture at up to 30 a second, at a fixed bit rate.
    static constexpr int recordWidth = 1280;
    static constexpr int recordHeight = 720;
    static constexpr int recordFPS = 30;
    static constexpr std::int64_t recordBitrate = 8'000'000;

    // What stopRecording hands back: the finished movie's writer (its firstVideoPTSSeconds places
    // the webcam movie against the screen movie) and whether a webcam movie was finished.
    using StopCompletion =
        std::function<void(std::shared_ptr<AssetWriterCoordinator> writer, bool finished)>;

    struct Options {
        // The user-defaults store the camera's configuration is read from at each show; may be
        // null.
        std::shared_ptr<KeyValueStore> defaults;
        // Makes sure the toolkit can show windows (in the headless host it is set up on
        // demand); false when there is no display. The default only checks.
        std::function<bool()> ensureToolkit;
        // How the webcam movie is encoded.
        WriterTuning writerTuning;
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

    // Records the camera to a movie at `url`, from the camera's first picture in the recording
    // size on (the bubble's camera is switched to it). Nothing when the bubble has no camera
    // session (it was never shown) or a recording is already under way. A camera that cannot be
    // switched logs "Marlune: webcam tap unavailable — continuing without webcam layer", a movie
    // that cannot be created "Marlune: webcam writer failed (…) — continuing without webcam
    // layer"; either way the screen recording goes on without a webcam movie.
    void startRecording(const std::filesystem::path& url);
    // Pause and resume the webcam movie with the screen movie: pictures taken in between are left
    // out and the movie's time closes over the gap. A recording whose movie has not started yet
    // starts it only after the resume.
    void pauseRecording();
    void resumeRecording();
    // Ends the recording and puts the camera back to the preview. `completion` runs once, on the
    // main thread: (writer, true) when a webcam movie was finished, else (nullptr, false), also
    // when the camera never delivered a picture (then no file is left behind).
    void stopRecording(StopCompletion completion);
    // The writer of the webcam movie being recorded, once its first picture is in; for keeping
    // the project's webcam entry current while recording.
    std::shared_ptr<AssetWriterCoordinator> recordingWriter() const;

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
