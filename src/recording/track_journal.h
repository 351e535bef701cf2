#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/json.h"
#include "recording/recording_recovery.h"

namespace marlune {

class Queue;

// What a recording's project file keeps of the recording itself: the tracks of the cursor and
// caret trackers and the webcam movie's entry. Times are on the recording clock, positions are
// fractions of the recorded display.
struct RecordedTracks {
    Json clicks = Json::array();      // {"t", "fx", "fy"} per press
    Json cursorPath = Json::array();  // [t, fx, fy, type]; kept only in smooth-cursor mode
    Json caretPath = Json::array();   // [t, fx, fy]
    Json keys = Json::array();        // [t, "Ctrl+S"] per kept key press
    std::optional<Json> webcam;       // where the webcam movie goes, when one was recorded
    // Why a track is missing when the recording knew it could not have it ({"clicks": text,
    // "caretPath": text, "keys": text}), for the editor to show. Not journaled: a recovered
    // recording has none.
    Json missing = Json::object();

    // Adds `batch`'s members ("clicks", "cursorPath", "caretPath", "keys": arrays appended;
    // "webcam": replaces). Members of another type are ignored.
    void append(const Json& batch);

    // The project object: {"version": 1, "clicks": …} plus "cursorPath", "caretPath", "keys",
    // "webcam" and "missing" when they have something; nothing when none has anything (no file is
    // made for such a recording).
    std::optional<Json> projectData() const;
};

// The tracks of a recording in progress, kept beside its movie so that a crash, a kill or a power
// cut loses at most the last batch of them: an append-only file of JSON lines, "." + the movie's
// name + ".tracks" (hidden, so neither the listing nor a file manager shows it). The first line
// is {"journal": 1, "movie": NAME}; each later line is one batch of what is new (the members of
// RecordedTracks::append). Each line is written with a single write and flushed to the disk before
// the next; a line a crash cut short is ignored when the file is read back, so every batch is
// there whole or not at all.
//
// While its recording runs the file is locked, so that recovery in another instance leaves it
// alone. Writing happens on the journal's own serial queue (".tracks"): a slow disk never holds
// up the main thread. Members from one thread at a time (the main thread).
class TrackJournal {
  public:
    // The journal of the movie at `movie`.
    static std::filesystem::path pathFor(const std::filesystem::path& movie);

    // Creates the journal of `movie` (replacing a stale one) and writes its first line. Fails with
    // the file system's text.
    static Result<std::unique_ptr<TrackJournal>> create(const std::filesystem::path& movie);

    // Finishes the writes in flight and closes the file, which stays on disk.
    ~TrackJournal();
    TrackJournal(const TrackJournal&) = delete;
    TrackJournal& operator=(const TrackJournal&) = delete;

    // Queues one batch; nothing for an empty batch. A batch that cannot be written (the disk is
    // full) is logged once and the journal stops; the recording goes on.
    void append(Json batch);
    // Deletes the file once the writes in flight are done: the project file has been saved.
    void discard();

    const std::filesystem::path& path() const { return path_; }

    // The tracks a journal holds, reading up to its first incomplete line; nothing when the file
    // cannot be read or does not start as a journal.
    static std::optional<RecordedTracks> read(const std::filesystem::path& journal);

    struct Sink;

  private:
    TrackJournal(std::filesystem::path path, std::shared_ptr<Sink> sink);

    std::filesystem::path path_;
    std::shared_ptr<Sink> sink_;
    std::shared_ptr<Queue> queue_;
};

// Turns the journals that interrupted recordings left in the recordings folder into project
// files: each whose movie is still there gets its project file (unless the recording got as far
// as saving one) and the journal goes. A journal still locked by a running recording is left
// alone, as is one whose project could not be saved (the next launch tries again). A movie still
// empty (the recording was cut short before its first picture was written) holds nothing to keep
// and goes with its journal. Returns, in name order, the movies whose tracks were kept
// (`recovered`) and the empty ones removed (with the reason). Blocking; main thread at launch.
std::vector<InterruptedRecording> recoverTrackJournals();

}  // namespace marlune
