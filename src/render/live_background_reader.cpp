#include "render/live_background_reader.h"

#include <cmath>

namespace marlune {

namespace {

constexpr double kMinDurationSeconds = 0.1;
// A picture stamped within a microsecond after the loop position still counts: movie times are
// rounded rationals.
constexpr double kTimeTolerance = 1e-6;

}  // namespace

Result<LiveBackgroundReader> LiveBackgroundReader::open(const std::filesystem::path& path) {
    return open(FolderPath{path.parent_path(), path.filename().string()});
}

Result<LiveBackgroundReader> LiveBackgroundReader::open(const FolderPath& location) {
    auto opened = location.open();
    if (!opened) return fail("The background movie is missing.");
    auto file = MediaFile::open(opened->procPath());
    if (!file) return std::unexpected(file.error());
    auto video = file->tracks(TrackKind::video);
    if (video.empty()) return fail("The background movie has no video.");
    std::optional<double> duration = file->durationSeconds();
    if (!duration) duration = video.front().durationSeconds;
    if (!duration || !std::isfinite(*duration) || *duration <= kMinDurationSeconds) {
        return fail("The background movie is too short.");
    }
    // One decoder thread: the export's own decoding and encoding already fill the cores. The first
    // pass decodes from the file just probed. A movie that cannot even be decoded once
    // is refused here, so that the caller falls back to its still background instead of black.
    auto decoder = VideoDecoder::open(std::move(*file), video.front().index, {.threads = 1});
    if (!decoder) return std::unexpected(decoder.error());
    LiveBackgroundReader reader(std::move(*opened), *duration);
    reader.decoder_.emplace(std::move(*decoder));
    return reader;
}

LiveBackgroundReader::LiveBackgroundReader(FolderFile file, double duration)
    : file_(std::move(file)), duration_(duration) {}

LiveBackgroundReader::LiveBackgroundReader(LiveBackgroundReader&&) noexcept = default;
LiveBackgroundReader& LiveBackgroundReader::operator=(LiveBackgroundReader&&) noexcept = default;
LiveBackgroundReader::~LiveBackgroundReader() = default;

void LiveBackgroundReader::restart() {
    decoder_.reset();
    next_.reset();
    auto file = MediaFile::open(file_.procPath());
    if (!file) return;
    auto video = file->tracks(TrackKind::video);
    if (video.empty()) return;
    const int index = video.front().index;
    auto decoder = VideoDecoder::open(std::move(*file), index, {.threads = 1});
    if (decoder) decoder_.emplace(std::move(*decoder));
}

const DecodedFrame* LiveBackgroundReader::frame(double seconds) {
    const double t = std::isfinite(seconds) ? std::max(seconds, 0.0) : 0.0;
    const double u = std::fmod(t, duration_);
    if (u < lastTarget_) restart();
    lastTarget_ = u;
    while (decoder_) {
        std::optional<DecodedFrame> sample = std::move(next_);
        next_.reset();
        if (!sample) {
            auto decoded = decoder_->next();
            // A damaged or finished pass keeps the last picture until the loop wraps.
            if (!decoded || !*decoded) break;
            sample = std::move(**decoded);
        }
        if (sample->timeSeconds > u + kTimeTolerance && current_) {
            next_ = std::move(sample);
            break;
        }
        const double shownAt = sample->timeSeconds;
        current_ = std::move(sample);
        ++generation_;
        if (!(shownAt <= u + kTimeTolerance)) break;
    }
    return current_ ? &*current_ : nullptr;
}

}  // namespace marlune
