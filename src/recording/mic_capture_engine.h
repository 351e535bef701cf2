#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "core/error.h"
#include "core/media_sample.h"

namespace marlune {
class Queue;
namespace pulse {
class AudioCapture;
}

inline constexpr const char* kNoMicrophoneText = "No microphone available.";
inline constexpr const char* kMicInputRefusedText = "Could not attach the microphone input.";

// Captures the system's default audio input (the sound server's default source) and hands each
// buffer (48 kHz stereo float, timed on the host clock) to `onSampleBuffer`. The capture
// session is set up on the first successful start and reused by later recordings; the device
// found then is kept, unless it goes away, in which case the next start looks again.
//
// Threads: start and stop on the main thread (they wait for the sound server, a few
// milliseconds); buffers arrive on the engine's serial queue (".mic"), in order, where the
// receiver must hand them on without blocking. `setOnSampleBuffer` from any thread.
class MicCaptureEngine {
  public:
    MicCaptureEngine();
    ~MicCaptureEngine();
    MicCaptureEngine(const MicCaptureEngine&) = delete;
    MicCaptureEngine& operator=(const MicCaptureEngine&) = delete;

    // The receiver of buffers; none drops them.
    void setOnSampleBuffer(std::function<void(AudioBuffer)> handler);
    // Told, on the ".mic" queue, when the input ends on its own while capturing (unplugged, the
    // sound server gone).
    void setOnEnded(std::function<void(Error)> handler);

    // Starts capturing; a second start while running does nothing. Fails with "No microphone
    // available." (no input device, or no sound server), the server's own text when it refuses
    // the stream ("Could not attach the microphone input." when it gives none), or the text of
    // a stream that will not start.
    // `preferredInput` names the sound server's source to record ("" for the default one; a
    // source that is gone falls back on the default); a session set up for another choice is
    // replaced.
    Result<void> start(const std::string& preferredInput = {});
    // Stops capturing; the session stays set up.
    void stop();
    bool isRunning() const;

  private:
    void deliver(AudioBuffer buffer);

    std::shared_ptr<Queue> queue_;
    std::mutex handlerMutex_;
    std::function<void(AudioBuffer)> onSampleBuffer_;
    std::function<void(Error)> onEnded_;
    std::unique_ptr<pulse::AudioCapture> session_;  // main thread; set once configured
    std::atomic<bool> sessionEnded_{false};
    std::string sessionInput_;  // main thread; the preferredInput the session was set up with
};

}  // namespace marlune
