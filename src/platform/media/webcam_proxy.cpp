#include "platform/media/webcam_proxy.h"

#include <chrono>
#include <cmath>
#include <string>

#include "platform/media/live_movie.h"
#include "platform/media/media_file.h"

namespace marlune {

std::filesystem::path webcamProxyPath(const std::filesystem::path& webcamMovie) {
    std::string name = webcamMovie.filename().string();
    constexpr std::string_view ext = ".mp4";
    if (name.ends_with(ext)) name.resize(name.size() - ext.size());
    return webcamMovie.parent_path() / (name + ".small.m4v");
}

std::optional<WebcamProxy> usableWebcamProxy(const std::filesystem::path& webcamMovie,
                                             int movieWidth, int movieHeight,
                                             std::optional<double> movieSeconds, int neededWidth) {
    if (movieWidth <= 0 || movieHeight <= 0 || !movieSeconds) return std::nullopt;
    const auto path = webcamProxyPath(webcamMovie);
    std::error_code ec;
    // The folder's own file only, never one a link leads to.
    if (std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::regular)
        return std::nullopt;
    // Written beside the movie and finished just after it: one much older is left from another
    // recording of that name (a copy that outlived its movie in the trash).
    const auto copyTime = std::filesystem::last_write_time(path, ec);
    if (ec) return std::nullopt;
    const auto movieTime = std::filesystem::last_write_time(webcamMovie, ec);
    if (ec || copyTime < movieTime - std::chrono::minutes(1)) return std::nullopt;
    // A copy still being written, or left unfinished by a crash, may end anywhere.
    if (liveMovieState(path) != LiveMovieState::notLive) return std::nullopt;
    auto file = MediaFile::open(path);
    if (!file) return std::nullopt;
    auto video = file->tracks(TrackKind::video);
    if (video.empty()) return std::nullopt;
    const TrackInfo& track = video.front();
    if (track.width < neededWidth || track.height <= 0) return std::nullopt;
    // Half the size, give or take the rounding of odd sides: the same pictures.
    const double shape = double(track.width) / track.height;
    if (std::abs(shape - double(movieWidth) / movieHeight) > 0.02) return std::nullopt;
    auto seconds = file->durationSeconds();
    if (!seconds || std::abs(*seconds - *movieSeconds) > 1.0) return std::nullopt;
    return WebcamProxy{path, track.index, track.width};
}

}  // namespace marlune
