#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "core/error.h"
#include "core/media_sample.h"
#include "recording/capture_plan.h"

namespace marlune {

class Queue;

// Receives what a screen stream captures. Held weakly by the engine: once it is gone, samples
// are dropped.
class ScreenCaptureEngineDelegate {
  public:
    virtual ~ScreenCaptureEngineDelegate() = default;
    // Each frame, on the ".capture.video" queue, in order. Must not block: the next frame's
    // time is running.
    virtual void didOutputVideo(VideoFrame frame) = 0;
    // Each buffer of system audio, on the ".capture.audio" queue, in order.
    virtual void didOutputSystemAudio(AudioBuffer buffer) = 0;
    // Once, on the ".capture.video" queue, when the stream ends on its own (the recorded window
    // was closed). Not called after `stop`.
    virtual void didStopWithError(Error error) = 0;
    // Once, on the ".capture.audio" queue, when the system audio ends on its own (the sound
    // server went away) while the picture goes on.
    virtual void didLoseSystemAudio(Error) {}
};

// How a stream has gone so far. Every slot of the frame rate ends up in exactly one count.
struct CaptureStatistics {
    std::uint64_t framesDelivered = 0;
    // Slots whose picture came too late (the capture thread was held up): dropped.
    std::uint64_t framesLate = 0;
    // Slots without a picture: every picture still held downstream, or the server refused.
    std::uint64_t framesDropped = 0;
};

// Runs one screen stream at a time: a display (its rectangle of the X screen, through shared
// memory) or one window (through XComposite, so covered parts show), or in a Wayland session the
// source the desktop's portal granted (the filter's `portal`), at the plan's size and frame rate,
// with the system audio when the configuration asks for it.
//
// Frames are taken at fixed slots of 1/fps on the host clock and stamped with the moment each
// picture was taken. A frame that comes too late for its slot is dropped and counted, so a
// frame never holds up the next. Frames come from a pool of `queueDepth` pictures which return
// when the receiver lets them go: memory stays flat, and nothing is copied unless the picture
// must be scaled. A display stream leaves out the windows of the filter's excluded process
// (showing what lies beneath them), following them as they move, appear and go.
//
// `start` and `stop` are called from one thread at a time (the main thread). Completions run on
// the capture queues.
class ScreenCaptureEngine {
  public:
    ScreenCaptureEngine();
    // Stops a running stream and waits for it.
    ~ScreenCaptureEngine();
    ScreenCaptureEngine(const ScreenCaptureEngine&) = delete;
    ScreenCaptureEngine& operator=(const ScreenCaptureEngine&) = delete;

    // Set before `start`; read when the stream starts.
    std::weak_ptr<ScreenCaptureEngineDelegate> delegate;

    // Starts the stream; `completion` gets nothing once the first frame's time has come, or
    // the error (the display or window is gone; system audio cannot be recorded). A stream
    // already running is stopped first.
    void start(const CaptureFilter& filter, const CaptureConfiguration& configuration,
               std::function<void(std::optional<Error>)> completion);

    // Starts the system audio ahead of `start` (at the start of a countdown), for the next
    // stream that records it to take over: a sound server takes up to a second or two to settle
    // a new listener to its output, and sound recorded before the first picture is of no use.
    // Let go by `stop`. What fails here is tried again, and reported, by `start`.
    void prepareSystemAudio();

    // Stops the stream; `completion` always runs, at once when there is none, else once the
    // last frame has been handed on. No sample is delivered after it runs.
    void stop(std::function<void()> completion);

    bool isRunning() const;
    // Of the running stream, or of the last one.
    CaptureStatistics statistics() const;

    struct Stream;
    struct PreparedAudio;

  private:
    // On the video queue: a Wayland portal stream's run, from its start to its end.
    static void runPortal(const std::shared_ptr<Stream>& s,
                          const std::shared_ptr<Queue>& audioQueue,
                          const std::shared_ptr<PreparedAudio>& prepared,
                          std::function<void(std::optional<Error>)> completion);

    std::shared_ptr<Queue> videoQueue_;
    std::shared_ptr<Queue> audioQueue_;
    std::shared_ptr<Stream> stream_;
    std::shared_ptr<Stream> last_;
    std::shared_ptr<PreparedAudio> prepared_;
};

}  // namespace marlune
