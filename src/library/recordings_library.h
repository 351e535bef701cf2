#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/folder_file.h"
#include "core/json.h"

namespace marlune {

// The recordings folder and the rules that turn page-supplied names into files inside it. Every
// command that takes a recording name resolves it with safeURL. The class keeps no state: the
// application object owns one instance for the listing and desktop operations; the rest are
// type-level.
class RecordingsLibrary {
  public:
    // createdAt of a file whose creation time can't be read: the start of year 1, in
    // milliseconds since 1970, so that such items sort after every real one.
    static constexpr double kDistantPastMs = -62135596800000.0;
    // Thumbnails in the listing are at most this wide.
    static constexpr int kThumbnailMaxWidth = 480;

    // The desktop's videos folder (else ~/Videos) with "Marlune" appended. Not created here.
    static std::filesystem::path dirURL();
    // Creates the folder and missing parents; failures are ignored.
    static void ensureDir();
    // The location of `name` inside the folder, or nothing when the name does not stay strictly
    // inside it. The check is textual on normalised absolute paths (symbolic links are not
    // followed): "../x", "", "." and names with a NUL byte are refused; "sub/clip.mp4" is fine.
    static std::optional<std::filesystem::path> safeURL(std::string_view name);
    // The same check, as the folder and the name's path inside it: what FolderFile opens, so that
    // the file cannot lie outside the folder (through a symbolic link) or be anything but a
    // regular file.
    static std::optional<FolderPath> safeLocation(std::string_view name);
    // Removes the hidden temporaries of exports, trimmed copies and project saves that a crash
    // left in the folder. Called once at launch.
    static void removeLeftovers();
    // The companion webcam movie of a recording: a final ".mp4" (any case) becomes ".webcam.mp4",
    // any other name gets ".webcam.mp4" appended. Text only; works on names and paths alike.
    static std::string webcamPath(std::string_view recordingPath);

    // Whether a file name in the folder is a recording or an export the listing shows: extension
    // "mp4", "gif" or "webm" in any case, not a webcam companion (".webcam.mp4", exactly that
    // case), not hidden.
    static bool isListedName(std::string_view fileName);
    // Where the listing takes a movie's thumbnail: 0.1 s before its end but no later than 0.5 s,
    // on a 1/600 s grid; 0 when the duration is unknown.
    static double thumbnailTimeSeconds(std::optional<double> durationSeconds);

    // The listing: one object per recording (name, size, createdAt, durationMs, webcam: whether
    // its webcam movie is there, thumb when a picture could be made), newest first. Reads every
    // movie, several at once on the shared pool; `completion` runs once, on a pool thread. An
    // unreadable folder lists nothing. Any thread.
    using ListCompletion = std::function<void(Json items)>;
    void list(ListCompletion completion) const;
    // Whether a listing makes every recording's thumbnail (slow for a large folder: a still frame
    // is decoded per movie) or leaves them to `thumbnail`, for a page that shows them lazily.
    enum class Thumbnails { include, omit };
    void list(Thumbnails thumbnails, ListCompletion completion) const;
    // The thumbnail the listing would give `name`: a JPEG data URL, or nothing when no picture
    // can be made (a damaged movie, or no such file); fails with "Invalid file name." for a name
    // outside the folder. The work runs on the shared pool; `completion` runs once, there. Any
    // thread.
    using ThumbnailCompletion = std::function<void(Result<std::optional<std::string>>)>;
    void thumbnail(std::string_view name, ThumbnailCompletion completion) const;

    // Moves the recording, then its project file and webcam movie (when they exist), to the
    // trash. Fails with "Invalid file name." for a name outside the folder (nothing is touched),
    // "Only recordings can be deleted." for anything the listing would not show as a recording
    // (a folder, a companion, a symbolic link leading out of the folder), or with the trash's own
    // text when the movie can't be moved (the companions stay). Main thread.
    Result<void> deleteRecording(std::string_view name) const;
    // Fails with "“NAME” is still being recorded; export it once it has stopped" while a recording
    // (of this process or another) is writing the movie `name`: such a file can be neither deleted,
    // trimmed, exported nor previewed until its recording has stopped. Any other name passes.
    // Cheap (an open and a lock probe). Any thread.
    static Result<void> refuseWhileRecording(std::string_view name);

    // The file name a recording `name` gets when the person renames it `newName`: the new name,
    // its surrounding spaces trimmed, with `name`'s extension kept (added unless `newName` ends
    // with it already, in any case). Nothing for a name that could not be a listed recording in
    // the folder itself: empty, hidden (a leading "."), with a "/" or a NUL byte, not UTF-8,
    // longer than 200 bytes, or one that would read as a webcam companion.
    static std::optional<std::string> renamedFileName(std::string_view name,
                                                      std::string_view newName);
    // Renames the recording `name` (in the folder itself) to renamedFileName(name, newName),
    // together with its project file and webcam movie: all of them or, when one cannot be moved,
    // none (those already moved go back). A file is never replaced: fails with ErrorCode::nameTaken
    // and "A recording called “NEW” exists already." when the movie's or a companion's new name is
    // taken. Also fails with "Invalid file name." (a name outside the folder, an unusable new
    // name), "Only recordings can be renamed." (a folder, a companion, a symbolic link, a file in
    // a folder below), refuseWhileRecording's text, or the file system's complaint. Answers the
    // new name (the old one when nothing changes). Main thread.
    Result<std::string> rename(std::string_view name, std::string_view newName) const;

    // Shows the movie selected in the file manager; nothing for a rejected name. Main thread.
    void reveal(std::string_view name) const;
    // Opens the movie in the user's default player; nothing for a rejected name. Main thread.
    void open(std::string_view name) const;
    // Opens the recordings folder in the file manager. Main thread.
    void openFolder() const;
};

}  // namespace marlune
