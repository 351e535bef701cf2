#include "recording/recording_controller.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <map>

#include "core/debug_log.h"
#include "library/recordings_library.h"
#include "recording/recording_recovery.h"

namespace marlune {

namespace fs = std::filesystem;

namespace {

constexpr const char* kAlreadyRecordingText = "A recording is already in progress.";
constexpr const char* kNoPermissionText =
    "Screen Recording permission is not granted. Enable it in the system settings, then "
    "relaunch Marlune.";
constexpr const char* kInvalidOptionsText = "Invalid recording options.";
constexpr const char* kNotRecordingText = "No recording is in progress.";
constexpr const char* kNoWriterText = "No file was being written.";
constexpr const char* kCalledOffText = "The recording was called off: Marlune is quitting.";
constexpr const char* kUnexpectedStopPrefix = "Capture stopped unexpectedly: ";

const char* boolText(bool b) {
    return b ? "true" : "false";
}

Json messageData(const std::string& message) {
    Json data = Json::object();
    data["message"] = message;
    return data;
}

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
    Queue::main().post([weak = weak_from_this(), payload = std::move(payload),
                        completion = std::move(completion)]() mutable {
        if (auto self = weak.lock()) self->startOnMain(std::move(payload), std::move(completion));
    });
}

void RecordingController::pause() {
    Queue::main().post([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->pauseOnMain();
    });
}

void RecordingController::resume() {
    Queue::main().post([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->resumeOnMain();
    });
}

void RecordingController::togglePause() {
    Queue::main().post([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        if (self->phase_ == Phase::recording) {
            self->pauseOnMain();
        } else if (self->phase_ == Phase::paused) {
            self->resumeOnMain();
        }
    });
}

void RecordingController::stop(Completion completion) {
    Queue::main().post([weak = weak_from_this(), completion = std::move(completion)]() mutable {
        if (auto self = weak.lock()) self->stopOnMain(std::move(completion));
    });
}

void RecordingController::setWebcamPreview(bool on) {
    Queue::main().post([weak = weak_from_this(), on] {
        auto self = weak.lock();
        if (!self) return;
        // Re-showing or hiding the bubble would end the camera of the webcam movie under way.
        if (self->webcamRecording_) {
            self->previewChangedWhileRecording_ = true;
            return;
        }
        if (on) {
            self->showWebcam(self->webcamSettings());
        } else if (self->webcam_) {
            self->webcam_->hide();
        }
    });
}

void RecordingController::setWebcamZoom(double zoom) {
    Queue::main().post([weak = weak_from_this(), zoom] {
        if (auto self = weak.lock()) self->webcam().setZoom(zoom);
    });
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

// ---- Starting ----

void RecordingController::startOnMain(Json payload, Completion completion) {
    if (phase_ != Phase::idle) return completion(fail(kAlreadyRecordingText));
    if (options_.screenCaptureGranted && !options_.screenCaptureGranted()) {
        return completion(fail(kNoPermissionText));
    }
    const RecordingDefaults defaults =
        options_.defaults ? options_.defaults() : RecordingDefaults{};
    auto options = RecordingOptions::parse(payload, defaults);
    if (!options) return completion(fail(kInvalidOptionsText));

    const std::uint64_t session = ++session_;
    pendingStart_ = std::move(completion);
    recordingOptions_ = *options;
    setPhase(Phase::preparing);
    // Listing windows takes a few round trips to the X server per window: off the main thread.
    ConcurrentQueue::userInitiated().post([weak = weak_from_this(), session] {
        auto content = ShareableContent::current(
            ContentQuery{.excludeDesktopWindows = false, .onScreenWindowsOnly = true});
        Queue::main().post([weak, session, content = std::move(content)]() mutable {
            auto self = weak.lock();
            // A start called off meanwhile has been answered already.
            if (!self || session != self->session_ || self->phase_ != Phase::preparing) return;
            self->planAndBegin(std::move(content), *self->recordingOptions_,
                               std::move(self->pendingStart_));
        });
    });
}

void RecordingController::planAndBegin(Result<ShareableContent> content,
                                       const RecordingOptions& options, Completion completion) {
    pendingStart_ = nullptr;
    auto failStart = [&](Error error) {
        cleanupAfterFailure();
        completion(std::unexpected(std::move(error)));
    };
    if (!content) return failStart(content.error());
    auto plan = makePlan(*content, options);
    if (!plan) return failStart(plan.error());
    plan_ = std::move(*plan);
    if (auto begun = beginSession(*plan_, options); !begun) return failStart(begun.error());
    pendingStart_ = std::move(completion);
    setPhase(Phase::countdown);
    countdownDisplayID_ =
        options.isDisplay() ? std::optional<std::uint32_t>(options.sourceID) : std::nullopt;
    countdownStartedAt_ = std::chrono::steady_clock::now();
    runCountdown(3, session_);
}

Result<fs::path> RecordingController::newOutputURL() {
    const fs::path folder = RecordingsLibrary::dirURL();
    std::error_code ec;
    fs::create_directories(folder, ec);  // the user may have removed it since launch
    auto taken = [&](const std::string& name) {
        std::error_code e;
        const fs::path movie = folder / name;
        return fs::exists(movie, e) || fs::exists(folder / (name + ".marlune.json"), e) ||
               fs::exists(folder / RecordingsLibrary::webcamPath(name), e) ||
               fs::exists(TrackJournal::pathFor(movie), e);
    };
    // The name is claimed by creating the file, so that two recordings started in the same
    // second (in two instances) never share a movie.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path path = folder / outputName(std::chrono::system_clock::now(), taken);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
            return path;
        }
        if (errno != EEXIST) {
            return fail("Could not create " + path.filename().string() + ": " +
                        std::strerror(errno));
        }
    }
    return fail("Could not find a free name for the recording in " + folder.string() + ".");
}

std::string RecordingController::outputName(
    std::chrono::system_clock::time_point when,
    const std::function<bool(const std::string& name)>& taken) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&t, &local);
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d at %H.%M.%S", &local);
    const std::string base = std::string("Marlune ") + stamp;
    std::string name = base + ".mp4";
    for (int n = 2; taken && taken(name); ++n) {
        name = base + " (" + std::to_string(n) + ").mp4";
    }
    return name;
}

Result<void> RecordingController::beginSession(const CapturePlan& plan,
                                               const RecordingOptions& options) {
    auto url = newOutputURL();
    if (!url) return std::unexpected(url.error());
    currentPath_ = *url;
    currentFileName_ = url->filename().string();

    auto writer = std::make_shared<AssetWriterCoordinator>();
    if (auto prepared = writer->prepare(*url, plan.width, plan.height, plan.fps, options.mic,
                                        options.systemAudio);
        !prepared) {
        std::error_code ec;
        fs::remove(*url, ec);  // the name was claimed for this recording only
        return prepared;
    }
    setWriter(writer);

    mic_.setOnSampleBuffer(nullptr);
    if (options.mic) {
        mic_.setOnSampleBuffer(
            [weak = std::weak_ptr<AssetWriterCoordinator>(writer)](AudioBuffer buffer) {
                if (auto w = weak.lock()) w->appendMic(std::move(buffer));
            });
        if (auto started = mic_.start(); !started) {
            setWriter(nullptr);
            // No frame was written: finishing removes the movie.
            writer->finish([](Result<SavedInfo>) {});
            return started;
        }
    }

    if (options.webcam && !webcam().isVisible()) showWebcam(webcamSettings());

    if (auto journal = TrackJournal::create(*url)) {
        journal_ = std::move(*journal);
    } else {
        // The movie itself stays crash-safe; only the tracks of a crashed recording would go.
        systemLog("Marlune: " + journal.error().message);
    }
    journaledClicks_ = journaledPath_ = journaledCaret_ = 0;
    journaledWebcam_ = false;
    journalKept_ = false;
    return {};
}

void RecordingController::runCountdown(int n, std::uint64_t session) {
    // Called off (the phase moved on, or another start began): the continuation is dropped.
    if (session != session_ || phase_ != Phase::countdown) {
        if (options_.chrome) options_.chrome->hideCountdown();
        return;
    }
    Json data = Json::object();
    data["n"] = n;
    emit("countdown", std::move(data));
    if (n > 0) {
        if (options_.chrome) options_.chrome->showCountdown(n, countdownDisplayID_);
        // On a schedule from the first number, so that a late step does not delay the next.
        const auto due = countdownStartedAt_ + options_.countdownStep * (4 - n);
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(
            due - std::chrono::steady_clock::now());
        Queue::main().after(std::max(wait, std::chrono::milliseconds(0)),
                            [weak = weak_from_this(), n, session] {
            if (auto self = weak.lock()) self->runCountdown(n - 1, session);
        });
        return;
    }
    if (options_.chrome) options_.chrome->hideCountdown();
    launchCapture();
}

void RecordingController::launchCapture() {
    if (recordingOptions_->hideWindow && options_.chrome) options_.chrome->hideForRecording();
    engine_.start(
        plan_->filter, plan_->configuration,
        [weak = weak_from_this(), session = session_](std::optional<Error> error) {
            // On the capture queue.
            Queue::main().post([weak, session, error = std::move(error)]() mutable {
                auto self = weak.lock();
                if (!self) return;
                if (session != self->session_ || self->phase_ != Phase::countdown) {
                    // Called off while the stream was starting.
                    if (!error) self->engine_.stop(nullptr);
                    return;
                }
                auto completion = std::move(self->pendingStart_);
                self->pendingStart_ = nullptr;
                if (error) {
                    self->cleanupAfterFailure();
                    self->emit("error", messageData(error->message));
                    if (completion) completion(std::unexpected(std::move(*error)));
                    return;
                }
                self->captureStarted(std::move(completion));
            });
        });
}

void RecordingController::captureStarted(Completion completion) {
    const RecordingOptions& options = *recordingOptions_;
    clock_->start(std::chrono::steady_clock::now());
    setPhase(Phase::recording);
    if (options_.chrome) options_.chrome->showStatusItem();
    startTicker();
    if (plan_->notice) emit("notice", messageData(*plan_->notice));
    marluneDebugLog(std::string("launchCapture kind=") + options.sourceKind +
                    " smooth=" + boolText(options.smoothCursor) +
                    " webcam=" + boolText(options.webcam));
    if (options.isDisplay()) {
        std::weak_ptr<RecordingClock> clock = clock_;
        cursor_.start(options.sourceID, options.smoothCursor,
                      [clock]() -> std::optional<std::int64_t> {
                          if (auto c = clock.lock()) return c->elapsedMs();
                          return std::nullopt;
                      });
        caret_.start(options.sourceID, [clock]() -> std::optional<double> {
            if (auto c = clock.lock()) return static_cast<double>(c->elapsedMs());
            return std::nullopt;
        });
    }
    trackersStarted_ = options.isDisplay();
    smoothCursorActive_ = options.smoothCursor;
    if (options.webcam && currentFileName_) {
        if (auto movie = RecordingsLibrary::safeURL(*currentFileName_)) {
            webcam().startRecording(RecordingsLibrary::webcamPath(movie->string()));
            webcamRecording_ = true;
        }
    }
    if (journal_) {
        journalTimer_.start(Queue::main(), options_.journalInterval, options_.journalInterval,
                            [weak = weak_from_this()] {
                                if (auto self = weak.lock()) self->flushJournal();
                            });
    }
    Json result = Json::object();
    result["file"] = currentFileName_.value_or("");
    if (completion) completion(std::move(result));
}

void RecordingController::startTicker() {
    ticker_.start(Queue::main(), options_.tickInterval, options_.tickInterval,
                  [weak = weak_from_this()] {
                      auto self = weak.lock();
                      if (!self) return;
                      Json data = Json::object();
                      data["elapsedMs"] = self->elapsedMs();
                      self->emit("tick", std::move(data));
                      self->updateStatusItem();
                  });
}

void RecordingController::updateStatusItem() {
    if (!options_.chrome) return;
    options_.chrome->updateStatusItem(formatElapsed(elapsedMs()), phase_ == Phase::paused);
}

// ---- Pause and resume ----

void RecordingController::pauseOnMain() {
    if (phase_ != Phase::recording) return;
    if (auto writer = currentWriter()) writer->pause();
    if (webcam_) webcam_->pauseRecording();
    clock_->pause(std::chrono::steady_clock::now());
    setPhase(Phase::paused);
    updateStatusItem();
}

void RecordingController::resumeOnMain() {
    if (phase_ != Phase::paused) return;
    if (auto writer = currentWriter()) writer->resume();
    if (webcam_) webcam_->resumeRecording();
    clock_->resume(std::chrono::steady_clock::now());
    setPhase(Phase::recording);
    updateStatusItem();
}

// ---- Stopping and saving ----

void RecordingController::stopOnMain(Completion completion) {
    if (phase_ != Phase::recording && phase_ != Phase::paused) {
        return completion(fail(kNotRecordingText));
    }
    setPhase(Phase::stopping);
    ticker_.cancel();
    engine_.stop([weak = weak_from_this(), completion = std::move(completion)]() mutable {
        // On the capture queue, once the last frame has been handed on.
        Queue::main().post([weak, completion = std::move(completion)]() mutable {
            auto self = weak.lock();
            if (!self) return;
            self->mic_.stop();
            self->stopTrackers();
            if (!self->currentWriter()) {
                self->dropWebcamRecording();
                self->finishTeardown();
                self->dropJournal();
                return completion(fail(kNoWriterText));
            }
            self->stopWebcamAndFinalize(std::move(completion));
        });
    });
}

void RecordingController::stopTrackers() {
    cursor_.stop();
    caret_.stop();
    // What came in since the last batch, in case finishing the movie is the last thing done.
    flushJournal();
    journalTimer_.cancel();
}

void RecordingController::stopWebcamAndFinalize(Completion completion) {
    webcamRecording_ = false;
    auto then = [weak = weak_from_this(), screen = currentWriter(),
                 completion = std::move(completion)](
                    std::shared_ptr<AssetWriterCoordinator> camera, bool finished) mutable {
        // On the main thread.
        auto self = weak.lock();
        if (!self) return;
        std::optional<Json> entry;
        if (finished && camera && screen) entry = self->webcamEntryFor(*camera, *screen);
        self->hideWebcamUnlessEnabled();
        self->finalize(std::move(entry), std::move(completion));
    };
    if (!webcam_) return then(nullptr, false);
    webcam_->stopRecording(std::move(then));
}

void RecordingController::finalize(std::optional<Json> webcamEntry, Completion completion) {
    auto writer = currentWriter();
    writer->finish([weak = weak_from_this(), webcamEntry = std::move(webcamEntry),
                    completion = std::move(completion)](Result<SavedInfo> saved) mutable {
        // On the writer's queue.
        Queue::main().post([weak, webcamEntry = std::move(webcamEntry),
                            completion = std::move(completion),
                            saved = std::move(saved)]() mutable {
            auto self = weak.lock();
            if (!self) return;
            const fs::path movie = self->currentPath_;
            self->finishTeardown();
            if (!saved) {
                // What was written up to the failure is kept when it can be (a full disk):
                // its tracks go with it.
                std::error_code ec;
                if (fs::exists(movie, ec)) {
                    self->saveProject(movie.filename().string(), webcamEntry);
                }
                self->dropJournal();
                self->emit("error", messageData(saved.error().message));
                return completion(std::unexpected(saved.error()));
            }
            self->saveProject(saved->url.filename().string(), webcamEntry);
            self->dropJournal();
            Json result = Json::object();
            result["name"] = saved->url.filename().string();
            result["durationMs"] = saved->durationMs;
            self->emit("saved", result);
            completion(std::move(result));
        });
    });
}

void RecordingController::saveProject(const std::string& name,
                                      const std::optional<Json>& webcamEntry) {
    RecordedTracks tracks;
    // Only trackers that ran for this recording: a window recording keeps no cursor or caret
    // track, even though the trackers still hold those of an earlier display recording.
    if (trackersStarted_) {
        tracks.clicks = cursor_.asJSON();
        if (smoothCursorActive_) tracks.cursorPath = cursor_.pathJSON();
        tracks.caretPath = caret_.pathJSON();
    }
    tracks.webcam = webcamEntry;
    auto data = tracks.projectData();
    if (!data) return;
    if (auto saved = projects_.save(name, *data); !saved) {
        // The movie still counts as saved. The journal keeps the tracks for the next launch.
        journalKept_ = true;
        systemLog("Marlune: could not save the project of " + name + ": " + saved.error().message);
    }
}

void RecordingController::dropJournal() {
    if (!journal_) return;
    if (!journalKept_) journal_->discard();
    journal_.reset();
}

void RecordingController::flushJournal() {
    if (!journal_) return;
    Json batch = Json::object();
    // The webcam entry once both movies have their first picture.
    if (!journaledWebcam_ && webcamRecording_ && webcam_) {
        auto camera = webcam_->recordingWriter();
        auto screen = currentWriter();
        if (auto entry = camera && screen ? webcamEntryFor(*camera, *screen) : std::nullopt) {
            batch["webcam"] = std::move(*entry);
            journaledWebcam_ = true;
        }
    }
    if (!trackersStarted_) return journal_->append(std::move(batch));
    if (cursor_.clicks.size() > journaledClicks_) {
        batch["clicks"] = cursor_.asJSON(journaledClicks_);
        journaledClicks_ = cursor_.clicks.size();
    }
    if (smoothCursorActive_ && cursor_.path.size() > journaledPath_) {
        batch["cursorPath"] = cursor_.pathJSON(journaledPath_);
        journaledPath_ = cursor_.path.size();
    }
    Json caret = caret_.pathJSON(journaledCaret_);
    if (!caret.empty()) {
        journaledCaret_ += caret.size();
        batch["caretPath"] = std::move(caret);
    }
    journal_->append(std::move(batch));
}

void RecordingController::finishTeardown() {
    setWriter(nullptr);
    currentFileName_.reset();
    clock_->reset();
    journalTimer_.cancel();
    if (options_.chrome) {
        options_.chrome->hideStatusItem();
        options_.chrome->restoreAfterRecording();
    }
    setPhase(Phase::idle);
    Queue::main().post([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->idleReached();
    });
}

void RecordingController::cleanupAfterFailure(std::function<void()> writerGone) {
    if (writerGone) onIdle_.push_back(std::move(writerGone));
    if (options_.chrome) options_.chrome->hideCountdown();
    engine_.stop(nullptr);
    mic_.stop();
    cursor_.stop();
    caret_.stop();
    trackersStarted_ = false;
    dropWebcamRecording();
    journalTimer_.cancel();
    // Nothing was captured: neither the journal nor the movie has anything to keep.
    if (journal_) {
        journal_->discard();
        journal_.reset();
    }
    auto writer = currentWriter();
    setWriter(nullptr);
    currentFileName_.reset();
    clock_->reset();
    if (options_.chrome) options_.chrome->restoreAfterRecording();
    setPhase(Phase::idle);
    auto idle = [weak = weak_from_this()] {
        Queue::main().post([weak] {
            if (auto self = weak.lock()) self->idleReached();
        });
    };
    if (writer) {
        // Before any frame: finishing removes the movie.
        writer->finish([idle](Result<SavedInfo>) { idle(); });
    } else {
        idle();
    }
}

void RecordingController::idleReached() {
    if (phase_ != Phase::idle) return;
    auto waiting = std::move(onIdle_);
    onIdle_.clear();
    for (auto& fn : waiting) fn();
}

// ---- The stream ending on its own ----

void RecordingController::didStopWithError(Error error) {
    Queue::main().post([weak = weak_from_this(), error = std::move(error)]() mutable {
        if (auto self = weak.lock()) self->unexpectedStop(std::move(error));
    });
}

void RecordingController::unexpectedStop(Error error) {
    if (phase_ != Phase::recording && phase_ != Phase::paused) return;
    emit("error", messageData(kUnexpectedStopPrefix + error.message));
    setPhase(Phase::stopping);
    ticker_.cancel();
    mic_.stop();
    stopTrackers();
    // The stream has ended; stopping it makes sure nothing more (system audio) comes in.
    engine_.stop([weak = weak_from_this()] {
        Queue::main().post([weak] {
            auto self = weak.lock();
            if (!self) return;
            // Saved all the same; the page learns of it through "saved".
            if (self->currentWriter()) {
                self->stopWebcamAndFinalize([](Result<Json>) {});
            } else {
                self->dropWebcamRecording();
                self->finishTeardown();
            }
        });
    });
}

// ---- Capture callbacks ----

void RecordingController::didOutputVideo(VideoFrame frame) {
    if (auto writer = currentWriter()) writer->appendVideo(std::move(frame));
}

void RecordingController::didOutputSystemAudio(AudioBuffer buffer) {
    if (auto writer = currentWriter()) writer->appendSystemAudio(std::move(buffer));
}

// ---- Launch ----

std::vector<std::string> RecordingController::recoverAtLaunch() {
    const fs::path folder = RecordingsLibrary::dirURL();
    auto movies = recoverInterruptedRecordings(folder);
    auto tracks = recoverTrackJournals();
    // One notice per recording, whether its movie, its webcam movie, its tracks or all were made
    // whole; what became of the screen movie decides what it says.
    std::map<std::string, std::string> notices;
    auto note = [&](const InterruptedRecording& r, const std::string& name) {
        notices[name] = r.recovered ? "Recovered an interrupted recording: " + name
                                    : "Could not recover an interrupted recording: " + name +
                                          " (" + r.error + ")";
    };
    for (const auto& r : tracks) note(r, r.name);
    for (const auto& movie : movies) {
        constexpr std::string_view webcamSuffix = ".webcam.mp4";
        if (!movie.name.ends_with(webcamSuffix)) continue;
        const std::string name =
            movie.name.substr(0, movie.name.size() - webcamSuffix.size()) + ".mp4";
        if (!notices.contains(name)) note(movie, name);
    }
    for (const auto& movie : movies) {
        if (!movie.name.ends_with(".webcam.mp4")) note(movie, movie.name);
    }
    std::vector<std::string> out;
    for (auto& [name, text] : notices) out.push_back(std::move(text));
    return out;
}

}  // namespace marlune
