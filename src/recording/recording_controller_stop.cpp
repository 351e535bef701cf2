// Stopping a recording and saving it: the movie finished, its project file written from the
// trackers, the journal dropped once its tracks are safe; the stream ending on its own; and, at
// launch, what a crash left behind made whole.

#include <map>

#include "core/debug_log.h"
#include "library/recordings_library.h"
#include "recording/recording_controller.h"
#include "recording/recording_controller_events.h"
#include "recording/recording_recovery.h"

namespace marlune {

namespace fs = std::filesystem;
using recording_detail::messageData;

namespace {

constexpr const char* kNotRecordingText = "No recording is in progress.";
constexpr const char* kNoWriterText = "No file was being written.";
constexpr const char* kUnexpectedStopPrefix = "Capture stopped unexpectedly: ";
constexpr const char* kWriterStoppedPrefix =
    "Recording stopped: the movie could not be written (what was recorded is kept): ";

}  // namespace

void RecordingController::stopOnMain(Completion completion) {
    MARLUNE_ASSERT_ON(Queue::main());
    if (phase_ != Phase::recording && phase_ != Phase::paused) {
        return completion(fail(kNotRecordingText));
    }
    setPhase(Phase::stopping);
    ticker_.cancel();
    engine_.stop([weak = weak_from_this(), completion = std::move(completion)]() mutable {
        // On the capture queue, once the last frame has been handed on.
        postIfAlive(Queue::main(), weak,
                    [completion = std::move(completion)](RecordingController& self) mutable {
                        self.mic_.stop();
                        self.stopTrackers();
                        if (!self.currentWriter()) {
                            self.dropWebcamRecording();
                            self.finishTeardown();
                            self.dropJournal();
                            return completion(fail(kNoWriterText));
                        }
                        self.stopWebcamAndFinalize(std::move(completion));
                    });
    });
}

void RecordingController::stopTrackers() {
    cursor_.stop();
    caret_.stop();
    keys_.stop();
    // What came in since the last batch, in case finishing the movie is the last thing done.
    flushJournal();
    journalTimer_.cancel();
}

void RecordingController::stopWebcamAndFinalize(Completion completion) {
    webcamRecording_ = false;
    auto then = [weak = weak_from_this(), screen = currentWriter(),
                 completion = std::move(completion)](std::shared_ptr<AssetWriterCoordinator> camera,
                                                     bool finished) mutable {
        MARLUNE_ASSERT_ON(Queue::main());
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
        postIfAlive(Queue::main(), weak,
                    [webcamEntry = std::move(webcamEntry), completion = std::move(completion),
                     saved = std::move(saved)](RecordingController& self) mutable {
                        self.movieFinished(std::move(saved), webcamEntry, std::move(completion));
                    });
    });
}

void RecordingController::movieFinished(Result<SavedInfo> saved,
                                        const std::optional<Json>& webcamEntry,
                                        Completion completion) {
    MARLUNE_ASSERT_ON(Queue::main());
    const fs::path movie = currentPath_;
    finishTeardown();
    if (!saved) {
        // What was written up to the failure is kept when it can be (a full disk): its tracks
        // go with it.
        std::error_code ec;
        if (fs::exists(movie, ec)) saveProject(movie.filename().string(), webcamEntry);
        dropJournal();
        if (!std::exchange(writerFailureTold_, false)) {
            emit("error", messageData(saved.error().message));
        }
        return completion(std::unexpected(saved.error()));
    }
    saveProject(saved->url.filename().string(), webcamEntry);
    dropJournal();
    Json result = Json::object();
    result["name"] = saved->url.filename().string();
    result["durationMs"] = saved->durationMs;
    emit("saved", result);
    completion(std::move(result));
}

void RecordingController::saveProject(const std::string& name,
                                      const std::optional<Json>& webcamEntry) {
    RecordedTracks tracks;
    // Only trackers that ran for this recording: a source they do not follow keeps no cursor or
    // caret track, even though the trackers still hold those of an earlier recording.
    if (trackersStarted_) {
        tracks.clicks = cursor_.asJSON();
        if (smoothCursorActive_) tracks.cursorPath = cursor_.pathJSON();
        tracks.caretPath = caret_.pathJSON();
        if (auto reason = caret_.missingReason()) tracks.missing["caretPath"] = *reason;
        if (auto reason = cursor_.clicksMissingReason()) tracks.missing["clicks"] = *reason;
        tracks.keys = keys_.asJSON();
        if (auto reason = keys_.missingReason()) tracks.missing["keys"] = *reason;
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
    if (keys_.keys.size() > journaledKeys_) {
        batch["keys"] = keys_.asJSON(journaledKeys_);
        journaledKeys_ = keys_.keys.size();
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
    postIfAlive(Queue::main(), weak_from_this(),
                [](RecordingController& self) { self.idleReached(); });
}

void RecordingController::cleanupAfterFailure(std::function<void()> writerGone) {
    if (writerGone) onIdle_.push_back(std::move(writerGone));
    if (options_.chrome) options_.chrome->hideCountdown();
    engine_.stop(nullptr);
    mic_.stop();
    cursor_.stop();
    caret_.stop();
    keys_.stop();
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
        postIfAlive(Queue::main(), weak, [](RecordingController& self) { self.idleReached(); });
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
    postIfAlive(Queue::main(), weak_from_this(),
                [error = std::move(error)](RecordingController& self) mutable {
                    self.unexpectedStop(std::move(error));
                });
}

void RecordingController::didLoseSystemAudio(Error error) {
    postIfAlive(Queue::main(), weak_from_this(),
                [error = std::move(error)](RecordingController& self) {
                    self.soundLost("The system audio", error);
                });
}

void RecordingController::soundLost(std::string_view which, const Error& error) {
    MARLUNE_ASSERT_ON(Queue::main());
    if (phase_ != Phase::recording && phase_ != Phase::paused) return;
    emit("notice", messageData(std::string(which) + " stopped while recording: " + error.message +
                               ". The recording goes on without it."));
}

void RecordingController::unexpectedStop(Error error) {
    MARLUNE_ASSERT_ON(Queue::main());
    stopOnItsOwn(kUnexpectedStopPrefix + error.message);
}

void RecordingController::writerFailed(Error error) {
    MARLUNE_ASSERT_ON(Queue::main());
    if (phase_ != Phase::recording && phase_ != Phase::paused) return;
    writerFailureTold_ = true;
    stopOnItsOwn(kWriterStoppedPrefix + error.message);
}

void RecordingController::stopOnItsOwn(const std::string& message) {
    if (phase_ != Phase::recording && phase_ != Phase::paused) return;
    emit("error", messageData(message));
    setPhase(Phase::stopping);
    ticker_.cancel();
    mic_.stop();
    stopTrackers();
    // The stream has ended; stopping it makes sure nothing more (system audio) comes in.
    engine_.stop([weak = weak_from_this()] {
        postIfAlive(Queue::main(), weak, [](RecordingController& self) {
            // Saved all the same; the page learns of it through "saved".
            if (self.currentWriter()) {
                self.stopWebcamAndFinalize([](Result<Json>) {});
            } else {
                self.dropWebcamRecording();
                self.finishTeardown();
            }
        });
    });
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
                                    : "Could not recover an interrupted recording: " + name + " (" +
                                          r.error + ")";
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
