// Starting a recording: options, the recordable content and the plan, the movie and its
// name, the microphone, the countdown, then the stream and the trackers.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "core/debug_log.h"
#include "library/recordings_library.h"
#include "recording/recording_controller.h"
#include "recording/recording_controller_events.h"

namespace marlune {

namespace fs = std::filesystem;
using recording_detail::messageData;

namespace {

constexpr const char* kAlreadyRecordingText = "A recording is already in progress.";
constexpr const char* kNoPermissionText =
    "Screen Recording permission is not granted. Enable it in the system settings, then "
    "relaunch Marlune.";
constexpr const char* kInvalidOptionsText = "Invalid recording options.";
constexpr const char* kCaptureTooSmallText = "Capture size is too small.";
constexpr std::int64_t kMinRequestedHeight = 16;
constexpr std::chrono::milliseconds kPicturelessLimit{3000};
constexpr const char* kNoPicturesText =
    "Recording stopped: the screen gave no pictures for 3 seconds (its size may have changed). "
    "What was recorded is kept.";
// Below this much free space in the recordings folder a recording is not started: about 45 s of
// a 1080p recording, time enough to notice the disk is filling up.
constexpr std::uint64_t kMinFreeBytesToStart = std::uint64_t{64} << 20;

const char* boolText(bool b) {
    return b ? "true" : "false";
}

}  // namespace

void RecordingController::startOnMain(Json payload, Completion completion) {
    MARLUNE_ASSERT_ON(Queue::main());
    if (phase_ != Phase::idle) return completion(fail(kAlreadyRecordingText));
    if (options_.screenCaptureGranted && !options_.screenCaptureGranted()) {
        return completion(fail(kNoPermissionText));
    }
    const RecordingDefaults defaults =
        options_.defaults ? options_.defaults() : RecordingDefaults{};
    auto options = RecordingOptions::parse(payload, defaults);
    if (!options) return completion(fail(kInvalidOptionsText));
    if (options->sourceKind != "display" && options->sourceKind != "window" &&
        options->sourceKind != "area") {
        return completion(fail("Unknown source kind “" + options->sourceKind +
                               "”: it is \"display\", \"window\" or \"area\"."));
    }

    const std::uint64_t session = ++session_;
    pendingStart_ = std::move(completion);
    recordingOptions_ = *options;
    setPhase(Phase::preparing);
    // Listing windows takes a few round trips to the X server per window, and a Wayland desktop
    // may ask the person which source to share: off the main thread.
    ConcurrentQueue::userInitiated().post([weak = weak_from_this(), session, options = *options] {
        auto content = recordableContent(options);
        postIfAlive(Queue::main(), weak,
                    [session, content = std::move(content)](RecordingController& self) mutable {
                        // A start called off meanwhile has been answered already.
                        if (session != self.session_ || self.phase_ != Phase::preparing) return;
                        self.planAndBegin(std::move(content), *self.recordingOptions_,
                                          std::move(self.pendingStart_));
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
    // A height asked for below this gives a movie of a few pixels (3 gave 4 × 2): refused as the
    // plan refuses 1.
    if (options.capHeight > 0 && options.capHeight < kMinRequestedHeight) {
        return failStart(Error{kCaptureTooSmallText});
    }
    plan_ = std::move(*plan);
    if (auto begun = beginSession(*plan_, options); !begun) return failStart(begun.error());
    pendingStart_ = std::move(completion);
    setPhase(Phase::countdown);
    countdownDisplayID_ =
        options.isDisplay() ? std::optional<std::uint32_t>(options.sourceID) : std::nullopt;
    countdownStartedAt_ = std::chrono::steady_clock::now();
    runCountdown(options.countdownSeconds, session_);
}

Result<std::pair<fs::path, int>> RecordingController::newOutputURL() {
    const fs::path folder = RecordingsLibrary::dirURL();
    std::error_code ec;
    fs::create_directories(folder, ec);  // the user may have removed it since launch
    // A start on a (nearly) full disk would count down and record nothing worth keeping.
    struct statvfs disk {};
    if (::statvfs(folder.c_str(), &disk) == 0) {
        const std::uint64_t freeBytes = std::uint64_t{disk.f_bavail} * disk.f_frsize;
        if (freeBytes < kMinFreeBytesToStart) {
            return fail("Not enough free disk space to record: " + std::to_string(freeBytes >> 20) +
                        " MB free in " + folder.string() + ", at least " +
                        std::to_string(kMinFreeBytesToStart >> 20) + " MB are needed.");
        }
    }
    auto taken = [&](const std::string& name) {
        std::error_code e;
        const fs::path movie = folder / name;
        return fs::exists(movie, e) || fs::exists(folder / (name + ".marlune.json"), e) ||
               fs::exists(folder / RecordingsLibrary::webcamPath(name), e) ||
               fs::exists(TrackJournal::pathFor(movie), e);
    };
    // The name is claimed by creating the file, so that two recordings started in the same
    // second (in two instances) never share a movie; the file stays open (and locked) from here
    // to the end of the recording, so nobody can remove and take the name in between.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path path = folder / outputName(std::chrono::system_clock::now(), taken);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) return std::pair{path, fd};
        if (fd >= 0) {
            // Another process already locks what was just created here: it is not ours.
            ::close(fd);
            continue;
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
    auto claimed = newOutputURL();
    if (!claimed) return std::unexpected(claimed.error());
    const fs::path url = claimed->first;
    currentPath_ = url;
    currentFileName_ = url.filename().string();

    // As many pictures wait for the encoder as the capture keeps in flight.
    auto writer = std::make_shared<AssetWriterCoordinator>(
        WriterTuning{.maxPendingFrames = plan.configuration.queueDepth});
    writer->useClaimedFile(claimed->second);
    writerFailureTold_ = false;
    writer->setOnFailure([weak = weak_from_this()](Error error) {
        // On the writer's queue.
        postIfAlive(Queue::main(), weak, [error = std::move(error)](RecordingController& self) {
            self.writerFailed(error);
        });
    });
    if (auto prepared = writer->prepare(url, plan.width, plan.height, plan.fps, options.mic,
                                        options.systemAudio);
        !prepared) {
        std::error_code ec;
        fs::remove(url, ec);  // the name was claimed for this recording only
        return prepared;
    }
    setWriter(writer);

    mic_.setOnSampleBuffer(nullptr);
    mic_.setOnEnded([weak = weak_from_this()](Error why) {
        postIfAlive(Queue::main(), weak, [why = std::move(why)](RecordingController& self) {
            self.soundLost("The microphone", why);
        });
    });
    if (options.mic) {
        mic_.setOnSampleBuffer(
            [weak = std::weak_ptr<AssetWriterCoordinator>(writer)](AudioBuffer buffer) {
                if (auto w = weak.lock()) w->appendMic(std::move(buffer));
            });
        if (auto started = mic_.start(options.micInput); !started) {
            setWriter(nullptr);
            // No frame was written: finishing removes the movie.
            writer->finish([](Result<SavedInfo>) {});
            return started;
        }
    }

    if (plan.configuration.capturesAudio) engine_.prepareSystemAudio();
    if (options.webcam && !webcam().isVisible()) showWebcam(webcamSettings());

    if (auto journal = TrackJournal::create(url)) {
        journal_ = std::move(*journal);
    } else {
        // The movie itself stays crash-safe; only the tracks of a crashed recording would go.
        systemLog("Marlune: " + journal.error().message);
    }
    journaledClicks_ = journaledPath_ = journaledCaret_ = journaledKeys_ = 0;
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
        const int first = recordingOptions_ ? recordingOptions_->countdownSeconds : 3;
        const auto due = countdownStartedAt_ + options_.countdownStep * (first + 1 - n);
        const auto wait =
            std::chrono::ceil<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
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
    engine_.start(plan_->filter, plan_->configuration,
                  [weak = weak_from_this(), session = session_](std::optional<Error> error) {
                      // On the capture queue.
                      postIfAlive(
                          Queue::main(), weak,
                          [session, error = std::move(error)](RecordingController& self) mutable {
                              self.streamStarted(session, std::move(error));
                          });
                  });
}

void RecordingController::streamStarted(std::uint64_t session, std::optional<Error> error) {
    MARLUNE_ASSERT_ON(Queue::main());
    if (session != session_ || phase_ != Phase::countdown) {
        // Called off while the stream was starting.
        if (!error) engine_.stop(nullptr);
        return;
    }
    auto completion = std::move(pendingStart_);
    pendingStart_ = nullptr;
    if (error) {
        cleanupAfterFailure();
        emit("error", messageData(error->message));
        if (completion) completion(std::unexpected(std::move(*error)));
        return;
    }
    captureStarted(std::move(completion));
}

void RecordingController::captureStarted(Completion completion) {
    const RecordingOptions& options = *recordingOptions_;
    clock_->start(std::chrono::steady_clock::now());
    lastDelivered_ = lastDropped_ = 0;
    picturelessTime_ = std::chrono::milliseconds(0);
    setPhase(Phase::recording);
    if (options_.chrome) options_.chrome->showStatusItem();
    startTicker();
    if (plan_->notice) emit("notice", messageData(*plan_->notice));
    marluneDebugLog(std::string("launchCapture kind=") + options.sourceKind + " smooth=" +
                    boolText(options.smoothCursor) + " webcam=" + boolText(options.webcam));
    // A window is followed as it moves: the pointer and caret stay on it in the recording.
    const bool tracked = options.isDisplay() || options.sourceKind == "window";
    auto recordedArea = [&options] {
        return options.isDisplay() ? monitorArea(options.sourceID) : windowArea(options.sourceID);
    };
    if (tracked) {
        std::weak_ptr<RecordingClock> clock = clock_;
        cursor_.start(recordedArea(), options.smoothCursor,
                      [clock]() -> std::optional<std::int64_t> {
                          if (auto c = clock.lock()) return c->elapsedMs();
                          return std::nullopt;
                      });
        caret_.start(recordedArea(), [clock]() -> std::optional<double> {
            if (auto c = clock.lock()) return static_cast<double>(c->elapsedMs());
            return std::nullopt;
        });
        // Keys pressed while paused are not part of the recording: they are not kept at all.
        keys_.start(options.recordAllKeys, [clock]() -> std::optional<std::int64_t> {
            if (auto c = clock.lock(); c && !c->isPaused()) return c->elapsedMs();
            return std::nullopt;
        });
    }
    trackersStarted_ = tracked;
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
                      self->watchPictures();
                  });
}

void RecordingController::watchPictures() {
    // Paused or stopping: the stream's counts mean nothing for the movie.
    if (phase_ != Phase::recording) return;
    const CaptureStatistics now = engine_.statistics();
    const bool stalled = now.framesDelivered == lastDelivered_ && now.framesDropped > lastDropped_;
    lastDelivered_ = now.framesDelivered;
    lastDropped_ = now.framesDropped;
    picturelessTime_ =
        stalled ? picturelessTime_ + options_.tickInterval : std::chrono::milliseconds(0);
    // Every picture refused for seconds (the screen shrank past the recorded area): ticking on
    // would record time without pictures. What was recorded is kept.
    if (picturelessTime_ >= kPicturelessLimit) stopOnItsOwn(kNoPicturesText);
}

void RecordingController::updateStatusItem() {
    if (!options_.chrome) return;
    options_.chrome->updateStatusItem(formatElapsed(elapsedMs()), phase_ == Phase::paused);
}

}  // namespace marlune
