#include "recording/recording_controller.h"

#include <cmath>

#include "library/recordings_library.h"

namespace marlune {

namespace {

constexpr const char* kCalledOffText = "The recording was called off: Marlune is quitting.";

}  // namespace

Json webcamProjectEntry(const std::string& movieName, double webcamFirstSeconds,
                        double screenFirstSeconds, const std::string& shape) {
    Json entry = Json::object();
    entry["file"] = RecordingsLibrary::webcamPath(movieName);
    entry["offsetMs"] =
        static_cast<std::int64_t>(std::round((webcamFirstSeconds - screenFirstSeconds) * 1000.0));
    entry["enabled"] = true;
    entry["shape"] = shape;
    entry["cornerRadius"] = shape == "circle" ? 999 : shape == "wide" ? 40 : 90;
    if (shape == "wide") {
        entry["width"] = 40;
        entry["height"] = 22.5;
    }
    return entry;
}

std::string_view RecordingController::phaseName(Phase phase) {
    switch (phase) {
        case Phase::idle:
            return "idle";
        case Phase::countdown:
            return "countdown";
        case Phase::preparing:
            return "preparing";
        case Phase::recording:
            return "recording";
        case Phase::paused:
            return "paused";
        case Phase::stopping:
            return "stopping";
    }
    return "idle";
}

std::shared_ptr<RecordingController> RecordingController::create(Options options) {
    std::shared_ptr<RecordingController> controller(new RecordingController(std::move(options)));
    controller->engine_.delegate = controller;
    return controller;
}

RecordingController::RecordingController(Options options) : options_(std::move(options)) {}

RecordingController::~RecordingController() {
    ticker_.cancel();
    journalTimer_.cancel();
}

void RecordingController::emit(std::string_view name, Json data) {
    if (options_.emit) options_.emit(name, std::move(data));
}

void RecordingController::setPhase(Phase phase) {
    phase_ = phase;
    Json data = Json::object();
    data["phase"] = std::string(phaseName(phase));
    data["elapsedMs"] = elapsedMs();
    emit("state", std::move(data));
}

std::shared_ptr<AssetWriterCoordinator> RecordingController::currentWriter() const {
    std::lock_guard lock(writerMutex_);
    return writer_;
}

void RecordingController::setWriter(std::shared_ptr<AssetWriterCoordinator> writer) {
    std::lock_guard lock(writerMutex_);
    writer_ = std::move(writer);
}

// ---- Public entry points: each hops to the main queue ----

void RecordingController::start(Json payload, Completion completion) {
    postIfAlive(Queue::main(), weak_from_this(),
                [payload = std::move(payload),
                 completion = std::move(completion)](RecordingController& self) mutable {
                    self.startOnMain(std::move(payload), std::move(completion));
                });
}

void RecordingController::pause() {
    postIfAlive(Queue::main(), weak_from_this(),
                [](RecordingController& self) { self.pauseOnMain(); });
}

void RecordingController::resume() {
    postIfAlive(Queue::main(), weak_from_this(),
                [](RecordingController& self) { self.resumeOnMain(); });
}

void RecordingController::togglePause() {
    postIfAlive(Queue::main(), weak_from_this(), [](RecordingController& self) {
        if (self.phase_ == Phase::recording) {
            self.pauseOnMain();
        } else if (self.phase_ == Phase::paused) {
            self.resumeOnMain();
        }
    });
}

void RecordingController::stop(Completion completion) {
    postIfAlive(Queue::main(), weak_from_this(),
                [completion = std::move(completion)](RecordingController& self) mutable {
                    self.stopOnMain(std::move(completion));
                });
}

void RecordingController::setWebcamPreview(bool on) {
    postIfAlive(Queue::main(), weak_from_this(), [on](RecordingController& self) {
        // Re-showing or hiding the bubble would end the camera of the webcam movie under way.
        if (self.webcamRecording_) {
            self.previewChangedWhileRecording_ = true;
            return;
        }
        if (on) {
            self.showWebcam(self.webcamSettings());
        } else if (self.webcam_) {
            self.webcam_->hide();
        }
    });
}

void RecordingController::setWebcamZoom(double zoom) {
    postIfAlive(Queue::main(), weak_from_this(),
                [zoom](RecordingController& self) { self.webcam().setZoom(zoom); });
}

WebcamBubbleController& RecordingController::webcam() {
    if (!webcam_) webcam_ = std::make_unique<WebcamBubbleController>(options_.webcam);
    return *webcam_;
}

WebcamSettings RecordingController::webcamSettings() const {
    return options_.webcamSettings ? options_.webcamSettings() : WebcamSettings{};
}

void RecordingController::showWebcam(const WebcamSettings& settings) {
    webcam().show(settings.corner, settings.size, settings.ring, settings.shape, settings.zoom);
}

void RecordingController::hideWebcamUnlessEnabled() {
    const WebcamSettings settings = webcamSettings();
    if (!settings.enabled) {
        if (webcam_) webcam_->hide();
    } else if (previewChangedWhileRecording_) {
        showWebcam(settings);  // with the settings changed meanwhile
    }
    previewChangedWhileRecording_ = false;
}

void RecordingController::dropWebcamRecording() {
    webcamRecording_ = false;
    if (webcam_) webcam_->stopRecording([](std::shared_ptr<AssetWriterCoordinator>, bool) {});
    hideWebcamUnlessEnabled();
}

std::optional<Json> RecordingController::webcamEntryFor(
    const AssetWriterCoordinator& camera, const AssetWriterCoordinator& screen) const {
    const auto cameraFirst = camera.firstVideoPTSSeconds();
    const auto screenFirst = screen.firstVideoPTSSeconds();
    if (!cameraFirst || !screenFirst || !currentFileName_) return std::nullopt;
    return webcamProjectEntry(*currentFileName_, *cameraFirst, *screenFirst,
                              webcamSettings().shape);
}

void RecordingController::shutdown(std::function<void()> done) {
    MARLUNE_ASSERT_ON(Queue::main());
    switch (phase_) {
        case Phase::idle:
            return done();
        case Phase::recording:
        case Phase::paused:
            return stop([done = std::move(done)](Result<Json>) { done(); });
        case Phase::stopping:
            onIdle_.push_back(std::move(done));
            return;
        case Phase::preparing:
        case Phase::countdown: {
            // Nothing has been captured yet: the start fails, and its empty movie goes before
            // the program does.
            auto completion = std::move(pendingStart_);
            pendingStart_ = nullptr;
            cleanupAfterFailure(std::move(done));
            if (completion) completion(fail(kCalledOffText));
            return;
        }
    }
}

// ---- Pause and resume ----

void RecordingController::pauseOnMain() {
    MARLUNE_ASSERT_ON(Queue::main());
    if (phase_ != Phase::recording) return;
    if (auto writer = currentWriter()) writer->pause();
    if (webcam_) webcam_->pauseRecording();
    clock_->pause(std::chrono::steady_clock::now());
    setPhase(Phase::paused);
    updateStatusItem();
}

void RecordingController::resumeOnMain() {
    MARLUNE_ASSERT_ON(Queue::main());
    if (phase_ != Phase::paused) return;
    if (auto writer = currentWriter()) writer->resume();
    if (webcam_) webcam_->resumeRecording();
    clock_->resume(std::chrono::steady_clock::now());
    setPhase(Phase::recording);
    updateStatusItem();
}

// ---- Capture callbacks ----

void RecordingController::didOutputVideo(VideoFrame frame) {
    if (auto writer = currentWriter()) writer->appendVideo(std::move(frame));
}

void RecordingController::didOutputSystemAudio(AudioBuffer buffer) {
    if (auto writer = currentWriter()) writer->appendSystemAudio(std::move(buffer));
}

}  // namespace marlune
