#include "recording/recording_recovery.h"

#include <algorithm>
#include <cmath>

#include "core/debug_log.h"
#include "platform/desktop/desktop.h"
#include "platform/media/live_movie.h"

namespace marlune {

std::vector<InterruptedRecording> recoverInterruptedRecordings(
    const std::filesystem::path& folder) {
    std::vector<InterruptedRecording> out;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        std::error_code typeError;
        if (!entry.is_regular_file(typeError) || entry.path().extension() != ".mp4") continue;
        const std::string name = entry.path().filename().string();
        if (name.ends_with(".webcam.mp4") && entry.file_size(typeError) == 0 && !typeError &&
            liveMovieState(entry.path()) == LiveMovieState::notLive) {
            // Nothing of it was written; its recording (if any) is long gone or never began.
            std::filesystem::remove(entry.path(), typeError);
            systemLog("Marlune: removed the empty webcam movie " + name);
            continue;
        }
        if (liveMovieState(entry.path()) != LiveMovieState::unfinished) continue;
        InterruptedRecording r;
        r.name = name;
        auto finished = finishLiveMovie(entry.path());
        if (finished) {
            r.recovered = true;
            r.durationMs = static_cast<int>(std::floor(finished->durationSeconds * 1000.0));
            systemLog("Marlune: recovered the interrupted recording " + r.name);
        } else if (finished.error().code == ErrorCode::nothingKept) {
            // Not a movie anyone can play: out of the listing, into the trash (where it can still
            // be looked at), so that this is said once.
            if (desktop::moveToTrash(entry.path())) {
                r.error = "nothing of it could be kept; it was moved to the trash";
            } else {
                // No trash on this file system: a hidden name keeps it out of the listing and
                // out of the next recovery.
                const auto aside = entry.path().parent_path() / ("." + name + ".unplayable");
                std::filesystem::rename(entry.path(), aside, typeError);
                r.error = typeError ? finished.error().message
                                    : "nothing of it could be kept; it was renamed " +
                                          aside.filename().string();
            }
            systemLog("Marlune: could not recover " + r.name + ": " + finished.error().message);
        } else {
            r.error = finished.error().message;
            systemLog("Marlune: could not recover " + r.name + ": " + r.error);
        }
        out.push_back(std::move(r));
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return out;
}

}  // namespace marlune
