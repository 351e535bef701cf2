#pragma once

#include <chrono>
#include <expected>
#include <functional>
#include <memory>
#include <string>

#include "core/error.h"
#include "core/media_sample.h"

namespace marlune {
class Queue;
}

namespace marlune::pulse {

// What a capture records.
enum class AudioSource {
    microphone,   // the server's default source (an input device, not a sink's monitor)
    systemAudio,  // the monitor of the server's default sink: what the computer plays
};

// Why a capture could not be opened.
struct CaptureFailure {
    enum class Kind {
        noServer,  // no sound server answered
        noDevice,  // the server has no such device (no microphone; no output to listen to)
        failed,    // the server refused the stream
    };
    Kind kind = Kind::failed;
    std::string message;  // PulseAudio's own text, or a short description
};

// One PulseAudio record stream: 48 kHz, stereo, 32-bit float, whatever the device's own format
// (the server converts). The device is chosen when the capture is opened and kept: a later
// change of the default device is not followed.
//
// Each buffer carries the host time of its first sample, with the stream's latency taken off, so
// that sound lines up with pictures taken on the same clock. Within a run, consecutive buffers
// are contiguous (the next pts is the previous one plus its length) unless the stream overran,
// was suspended, or the measured time is far off (over a tenth of a second later, or a fifth
// earlier), where the time is taken afresh; smaller differences steer the run slowly.
//
// Buffers are read on the capture's own thread and posted to the caller's queue; neither the
// reading thread nor the server ever waits for the receiver. Members are called from one thread
// at a time (any thread, the handlers' own queue included).
class AudioCapture {
  public:
    // Called on the delivery queue, in capture order.
    using BufferHandler = std::function<void(AudioBuffer)>;
    // Called once on the delivery queue when the stream ends on its own (the device went away,
    // the server quit), with a description. Not called after `stop` or destruction.
    using EndHandler = std::function<void(Error)>;

    // Connects to the server, finds the device and opens the stream without starting it.
    // Blocks while the server answers (a few milliseconds; at most a few seconds when the server
    // hangs). Nothing is delivered before `start`.
    // For the microphone, `preferredInput` names the source to record (a capture device's
    // server name); when it is empty, gone or an output's monitor, the default source is used.
    static std::expected<std::unique_ptr<AudioCapture>, CaptureFailure> open(
        AudioSource source, std::shared_ptr<Queue> deliverOn, BufferHandler onBuffer,
        EndHandler onEnded = {}, const std::string& preferredInput = {});

    // Stops, disconnects and waits for the reading thread. After it returns no handler runs
    // (a handler already running on the delivery queue finishes first).
    ~AudioCapture();
    AudioCapture(const AudioCapture&) = delete;
    AudioCapture& operator=(const AudioCapture&) = delete;

    // Starts delivering (again). Sound recorded while stopped is never delivered. Fails when the
    // stream has ended. With `waitForSound`, returns once the first sound since the start has
    // been read (or that long has passed): a device starts a moment after it is asked to, and
    // pictures taken from then on all have sound under them.
    Result<void> start(std::chrono::milliseconds waitForSound = {});
    // Stops delivering; buffers already posted but not yet handled are discarded. Idempotent.
    void stop();
    bool isRunning() const;

    // The device being recorded (PulseAudio's name, e.g.
    // "alsa_input.pci-0000_00_1f.3.analog-stereo").
    const std::string& deviceName() const;

    struct Impl;

  private:
    explicit AudioCapture(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace marlune::pulse
