#include "recording/recording_recovery.h"

#include <algorithm>
#include <cmath>

#include "core/debug_log.h"
#include "platform/media/live_movie.h"

namespace marlune {

std::vector<InterruptedRecording> recoverInterruptedRecordings(
    const std::filesystem::path& folder) {
    std::vector<InterruptedRecording> out;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        std::error_code typeError;
        if (!entry.is_regular_file(typeError) || entry.path().extension() != ".mp4") continue;
        if (liveMovieState(entry.path()) != LiveMovieState::unfinished) continue;
        InterruptedRecording r;
        r.name = entry.path().filename().string();
        auto finished = finishLiveMovie(entry.path());
        if (finished) {
            r.recovered = true;
            r.durationMs = static_cast<int>(std::floor(finished->durationSeconds * 1000.0));
            systemLog("Marlune: recovered the interrupted recording " + r.name);
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
