#include "recording/mic_capture_engine.h"

#include "core/debug_log.h"
#include "core/queue.h"
#include "platform/desktop/pulse_capture.h"

namespace marlune {

MicCaptureEngine::MicCaptureEngine() : queue_(Queue::makeSerial(".mic")) {}

// The session goes first: once it is gone no buffer reaches `deliver`.
MicCaptureEngine::~MicCaptureEngine() {
    session_.reset();
}

void MicCaptureEngine::setOnSampleBuffer(std::function<void(AudioBuffer)> handler) {
    std::lock_guard lock(handlerMutex_);
    onSampleBuffer_ = std::move(handler);
}

void MicCaptureEngine::setOnEnded(std::function<void(Error)> handler) {
    std::lock_guard lock(handlerMutex_);
    onEnded_ = std::move(handler);
}

void MicCaptureEngine::deliver(AudioBuffer buffer) {
    std::lock_guard lock(handlerMutex_);
    if (onSampleBuffer_) onSampleBuffer_(std::move(buffer));
}

Result<void> MicCaptureEngine::start(const std::string& preferredInput) {
    MARLUNE_ASSERT_ON(Queue::main());
    if (session_ && (sessionEnded_ || sessionInput_ != preferredInput)) {
        // The device went away (unplugged, the server restarted), or another one was chosen:
        // look again.
        session_.reset();
    }
    if (!session_) {
        sessionEnded_ = false;
        auto opened = pulse::AudioCapture::open(
            pulse::AudioSource::microphone, queue_,
            [this](AudioBuffer b) { deliver(std::move(b)); },
            [this](Error why) {
                sessionEnded_ = true;
                systemLog("Marlune: microphone stopped: " + why.message);
                std::lock_guard lock(handlerMutex_);
                if (onEnded_) onEnded_(std::move(why));
            },
            preferredInput);
        if (!opened) {
            using Kind = pulse::CaptureFailure::Kind;
            const Kind kind = opened.error().kind;
            if (kind == Kind::noServer || kind == Kind::noDevice) return fail(kNoMicrophoneText);
            // The server's own reason (access denied, a busy or broken device) is what the
            // person can act on.
            systemLog("Marlune: microphone refused: " + opened.error().message);
            if (opened.error().message.empty()) return fail(kMicInputRefusedText);
            return fail(opened.error().message);
        }
        session_ = std::move(*opened);
        sessionInput_ = preferredInput;
    }
    return session_->start();
}

void MicCaptureEngine::stop() {
    MARLUNE_ASSERT_ON(Queue::main());
    if (session_) session_->stop();
}

bool MicCaptureEngine::isRunning() const {
    return session_ && session_->isRunning();
}

}  // namespace marlune
