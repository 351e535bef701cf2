#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/json.h"
#include "core/queue.h"
#include "core/steady_timer.h"
#include "library/project_store.h"
#include "recording/asset_writer_coordinator.h"
#include "recording/capture_plan.h"
#include "recording/caret_tracker.h"
#include "recording/cursor_tracker.h"
#include "recording/key_tracker.h"
#include "recording/mic_capture_engine.h"
#include "recording/recording_clock.h"
#include "recording/recording_options.h"
#include "recording/screen_capture_engine.h"
#include "recording/track_journal.h"
#include "recording/webcam_bubble_controller.h"

namespace marlune {

// The webcam settings the bubble is shown with, read from the settings each time.
struct WebcamSettings {
    bool enabled = false;  // the bubble stays up between recordings
    std::string corner = "br";
    std::string size = "m";
    bool ring = true;
    std::string shape = "squircle";
    double zoom = 1.0;

    // Reads any store with the settings' accessors (webcamEnabled(), webcamCorner(), …).
    template <class Settings>
    static WebcamSettings from(const Settings& s) {
        return {s.webcamEnabled(), s.webcamCorner(), s.webcamSize(),
                s.webcamRing(),    s.webcamShape(),  s.webcamZoom()};
    }
};

// The project file's entry for the webcam movie of the recording `movieName`: where it lies,
// how far its first picture comes after the screen movie's (ms, rounded half away from zero),
// and the bubble's shape at the time.
Json webcamProjectEntry(const std::string& movieName, double webcamFirstSeconds,
                        double screenFirstSeconds, const std::string& shape);

// What a recording shows around itself, supplied by the application: the countdown overlay, the
// tray item and the main window. Main thread only.
class RecordingChrome {
  public:
    virtual ~RecordingChrome() = default;
    // The big number `n` over the display `displayID` (or, without one, the monitor under the
    // pointer); below 1 hides it.
    virtual void showCountdown(int n, std::optional<std::uint32_t> displayID) = 0;
    virtual void hideCountdown() = 0;
    virtual void showStatusItem() = 0;
    virtual void updateStatusItem(const std::string& timeText, bool paused) = 0;
    virtual void hideStatusItem() = 0;
    // The main window goes out of the way while recording (when the options ask for it), and
    // comes back afterwards.
    virtual void hideForRecording() = 0;
    virtual void restoreAfterRecording() = 0;
};

// The state machine of one screen recording at a time: options, the recordable content and the
// capture plan, the movie writer and the microphone, a 3-2-1-0 countdown, the screen stream, the
// cursor and caret trackers, the elapsed-time clock with its pauses, and at the end the finished
// movie and its project file. Progress reaches the page as events ("state", "countdown", "tick",
// "notice", "error", "saved").
//
// Nothing a recording captured is lost on any path: a stop, a quit, the stream ending on its own
// (the recorded window closed), a failed finish (the part written is kept with its tracks) or a
// crash (the movie is written so that all but its last second plays, and the tracks go to a
// journal beside it every second; recoverAtLaunch makes both whole again).
//
// Threads: every public member may be called from any thread and hops to the main queue before it
// touches state; completions run on the main thread, exactly once. The capture callbacks run on
// the capture queues and only hand samples to the current writer. Always owned by a shared_ptr
// (callbacks hold it weakly and do nothing once it is gone).
class RecordingController : public ScreenCaptureEngineDelegate,
                            public std::enable_shared_from_this<RecordingController> {
  public:
    // The raw value of each is what the page sees.
    enum class Phase { idle, countdown, preparing, recording, paused, stopping };
    static std::string_view phaseName(Phase phase);

    using Completion = std::function<void(Result<Json>)>;
    using Emit = std::function<void(std::string_view name, Json data)>;

    struct Options {
        // The settings a start command falls back on, read at each start.
        std::function<RecordingDefaults()> defaults;
        std::function<WebcamSettings()> webcamSettings;
        // How the webcam bubble is made when first needed.
        WebcamBubbleController::Options webcam;
        // Pushes an event to the page; may be empty.
        Emit emit;
        std::shared_ptr<RecordingChrome> chrome;
        // Whether the screen can be captured now.
        std::function<bool()> screenCaptureGranted;
        // How long each number of the countdown stays (the page is told N, …, 1, 0, for the
        // recording's length N of 0, 3 or 5).
        std::chrono::milliseconds countdownStep{1000};
        // How often the page is told the elapsed time.
        std::chrono::milliseconds tickInterval{500};
        // How often the tracks recorded so far are added to the journal beside the movie.
        std::chrono::milliseconds journalInterval{1000};
    };

    static std::shared_ptr<RecordingController> create(Options options);
    ~RecordingController() override;
    RecordingController(const RecordingController&) = delete;
    RecordingController& operator=(const RecordingController&) = delete;

    // Starts a recording from a "recording.start" payload. `completion` gets {"file": the movie's
    // name} once capture has really started (after the countdown), or the failure.
    void start(Json payload, Completion completion);
    // Pause and resume act only while recording / paused.
    void pause();
    void resume();
    void togglePause();
    // Stops and saves: {"name", "durationMs"}, or the failure ("No recording is in progress."
    // outside recording and paused).
    void stop(Completion completion);

    // Ends whatever is under way before the program quits, then runs `done` (main thread): a
    // recording is stopped and saved; one still counting down or preparing is called off (its
    // start fails, its empty movie goes); a stop in progress is waited for. At once when idle.
    void shutdown(std::function<void()> done);

    // Shows the webcam bubble with the current webcam settings (again, so that changed ones take
    // effect), or hides it. Any thread.
    void setWebcamPreview(bool on);
    // Zooms the bubble's picture. Any thread.
    void setWebcamZoom(double zoom);

    // Not idle. Main thread.
    bool isActive() const { return phase_ != Phase::idle; }
    Phase phase() const { return phase_; }

    // Makes whole what a crash left behind in the recordings folder: movies cut short are
    // finished, and the tracks kept beside them become their project files. Returns the notices
    // for the page, one per recording: "Recovered an interrupted recording: NAME", or
    // "Could not recover an interrupted recording: NAME (reason)". Blocking (milliseconds per
    // movie); at launch, before the page is ready.
    static std::vector<std::string> recoverAtLaunch();

    // The file name for a recording started at `when` (local time): "Marlune yyyy-MM-dd at
    // HH.mm.ss.mp4", or, when `taken` says that name (or a file that goes with it) is in use,
    // the same with " (2)", " (3)", … before ".mp4".
    static std::string outputName(std::chrono::system_clock::time_point when,
                                  const std::function<bool(const std::string& name)>& taken);

    // Capture callbacks (ScreenCaptureEngineDelegate).
    void didOutputVideo(VideoFrame frame) override;
    void didOutputSystemAudio(AudioBuffer buffer) override;
    void didStopWithError(Error error) override;
    void didLoseSystemAudio(Error error) override;

  private:
    explicit RecordingController(Options options);

    void emit(std::string_view name, Json data);
    void setPhase(Phase phase);
    std::int64_t elapsedMs() const { return clock_->elapsedMs(); }

    void startOnMain(Json payload, Completion completion);
    void planAndBegin(Result<ShareableContent> content, const RecordingOptions& options,
                      Completion completion);
    Result<void> beginSession(const CapturePlan& plan, const RecordingOptions& options);
    // The new movie's path and its file, created under that name and locked (flock) by this
    // process: the descriptor is handed to the writer, so the name stays ours.
    Result<std::pair<std::filesystem::path, int>> newOutputURL();
    void runCountdown(int n, std::uint64_t session);
    void launchCapture();
    // The stream of the start `session` has started (or failed to).
    void streamStarted(std::uint64_t session, std::optional<Error> error);
    void captureStarted(Completion completion);
    void startTicker();
    void updateStatusItem();
    // On each tick: ends a recording whose stream has given no picture for seconds.
    void watchPictures();
    void pauseOnMain();
    void resumeOnMain();
    void stopOnMain(Completion completion);
    // Ends the webcam movie (when one is recorded), then finishes the screen movie and saves.
    void stopWebcamAndFinalize(Completion completion);
    void finalize(std::optional<Json> webcamEntry, Completion completion);
    // The screen movie is finished (or failed to be): the project file, the journal, the page.
    void movieFinished(Result<SavedInfo> saved, const std::optional<Json>& webcamEntry,
                       Completion completion);
    // Writes the project file of the movie `name` from the trackers of this recording.
    void saveProject(const std::string& name, const std::optional<Json>& webcamEntry);
    // The webcam bubble, made on first use.
    WebcamBubbleController& webcam();
    void showWebcam(const WebcamSettings& settings);
    // Ends a webcam movie (its result unused) and hides the bubble unless it stays up.
    void dropWebcamRecording();
    void hideWebcamUnlessEnabled();
    WebcamSettings webcamSettings() const;
    // The project entry of the webcam movie `camera` recorded beside the current screen movie,
    // once both have their first picture.
    std::optional<Json> webcamEntryFor(const AssetWriterCoordinator& camera,
                                       const AssetWriterCoordinator& screen) const;
    // The journal goes once its tracks are in the project file (or there were none).
    void dropJournal();
    void finishTeardown();
    void cleanupAfterFailure(std::function<void()> writerGone = nullptr);
    void unexpectedStop(Error error);
    // A sound input ended while the picture goes on: the page is told.
    void soundLost(std::string_view which, const Error& error);
    // The movie writer failed while recording (a full disk): told at once, stopped and saved.
    void writerFailed(Error error);
    // Stops a recording that ends on its own after `message` went to the page as "error"; what was
    // recorded is saved all the same.
    void stopOnItsOwn(const std::string& message);
    void flushJournal();
    void stopTrackers();
    void idleReached();

    std::shared_ptr<AssetWriterCoordinator> currentWriter() const;
    void setWriter(std::shared_ptr<AssetWriterCoordinator> writer);

    Options options_;
    Phase phase_ = Phase::idle;
    ScreenCaptureEngine engine_;
    MicCaptureEngine mic_;
    CursorTracker cursor_;
    CaretTracker caret_;
    KeyTracker keys_;
    ProjectStore projects_;
    std::unique_ptr<WebcamBubbleController> webcam_;
    // A webcam movie is being recorded: the bubble is left as it is until it ends, and a change
    // of the preview asked for meanwhile is made then.
    bool webcamRecording_ = false;
    bool previewChangedWhileRecording_ = false;
    std::optional<std::uint32_t> countdownDisplayID_;
    std::chrono::steady_clock::time_point countdownStartedAt_;

    // Read on the capture queues, set and cleared on the main thread.
    mutable std::mutex writerMutex_;
    std::shared_ptr<AssetWriterCoordinator> writer_;

    // Shared with the trackers' clock callbacks, which hold it weakly.
    std::shared_ptr<RecordingClock> clock_ = std::make_shared<RecordingClock>();
    SteadyTimer ticker_;

    // The recording being made (main thread).
    std::optional<RecordingOptions> recordingOptions_;
    std::optional<CapturePlan> plan_;
    std::optional<std::string> currentFileName_;
    std::filesystem::path currentPath_;
    bool smoothCursorActive_ = false;
    bool trackersStarted_ = false;
    // The start waiting for the countdown; answered when capture starts or the start fails.
    Completion pendingStart_;
    // Tells one start's countdown from the next one's.
    std::uint64_t session_ = 0;

    // Tracks kept safe while recording: the journal and how much of each track it holds.
    std::unique_ptr<TrackJournal> journal_;
    SteadyTimer journalTimer_;
    std::size_t journaledClicks_ = 0;
    std::size_t journaledPath_ = 0;
    std::size_t journaledCaret_ = 0;
    std::size_t journaledKeys_ = 0;
    bool journaledWebcam_ = false;
    // The project file could not be saved: the journal stays for the next launch.
    bool journalKept_ = false;
    // Pictures coming in while recording: the stream's counts at the last tick, and how long
    // every picture has been refused (see watchPictures).
    std::uint64_t lastDelivered_ = 0, lastDropped_ = 0;
    std::chrono::milliseconds picturelessTime_{0};
    // The writer's failure has been told to the page already: finishing does not repeat it.
    bool writerFailureTold_ = false;

    // Run once the controller is idle again (a quit waiting for a stop).
    std::vector<std::function<void()>> onIdle_;
};

}  // namespace marlune
