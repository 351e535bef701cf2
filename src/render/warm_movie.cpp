#include "render/warm_movie.h"

#include <algorithm>
#include <cmath>

namespace marlune {

namespace {

// Movie times are rationals turned into doubles: pictures this close are the same picture.
constexpr double kSameSeconds = 1e-6;
// Without a known key frame before the wanted picture, decoding on from the last one is still
// cheaper than a seek when it is this close.
constexpr double kNearForwardSeconds = 1.0;

Error readingError(const Error& error) {
    return Error{error.message.empty() ? "Reading the source failed." : error.message};
}

double timeOf(const VideoPicture& p) {
    return p.timeSeconds();
}
double timeOf(const DecodedFrame& f) {
    return f.timeSeconds;
}

std::size_t bytesOf(const VideoPicture& p) {
    // 4:2:0, the decoders' usual form.
    return static_cast<std::size_t>(p.width()) * p.height() * 3 / 2;
}
std::size_t bytesOf(const DecodedFrame& f) {
    return f.image.pixels.size();
}

Result<std::optional<VideoPicture>> decodeNext(VideoDecoder& decoder, const VideoPicture*) {
    return decoder.nextPicture();
}
Result<std::optional<DecodedFrame>> decodeNext(VideoDecoder& decoder, const DecodedFrame*) {
    return decoder.next();
}

}  // namespace

template <class Picture>
Result<WarmMovie<Picture>> WarmMovie<Picture>::open(const std::filesystem::path& movie,
                                                    int trackIndex, VideoDecoderOptions options,
                                                    std::size_t keptBytes) {
    WarmMovie warm;
    warm.path_ = movie;
    warm.track_ = trackIndex;
    warm.options_ = options;
    warm.budget_ = keptBytes;
    auto timeline = PictureTimeline::open(movie, trackIndex);
    if (!timeline) return std::unexpected(timeline.error());
    warm.timeline_ = std::move(*timeline);
    if (auto opened = warm.openDecoder(); !opened) return std::unexpected(opened.error());
    return warm;
}

template <class Picture>
Result<void> WarmMovie<Picture>::openDecoder() {
    decodedUpTo_.reset();
    auto file = MediaFile::open(path_);
    if (!file) return std::unexpected(file.error());
    auto decoder = VideoDecoder::open(std::move(*file), track_, options_);
    if (!decoder) return std::unexpected(decoder.error());
    decoder_ = std::move(*decoder);
    return {};
}

template <class Picture>
bool WarmMovie<Picture>::continuesTo(double seconds) const {
    if (!decodedUpTo_ || !(*decodedUpTo_ < seconds - kSameSeconds)) return false;
    if (auto key = timeline_->keyFrameAtOrBefore(seconds)) {
        return *key <= *decodedUpTo_ + kSameSeconds;
    }
    return seconds - *decodedUpTo_ < kNearForwardSeconds;
}

template <class Picture>
std::optional<Picture> WarmMovie<Picture>::find(double seconds) {
    for (auto& k : kept_) {
        if (std::abs(timeOf(k.picture) - seconds) <= kSameSeconds) {
            k.used = ++clock_;
            return k.picture;
        }
    }
    return std::nullopt;
}

template <class Picture>
void WarmMovie<Picture>::keep(const Picture& picture) {
    if (find(timeOf(picture))) return;
    const std::size_t bytes = bytesOf(picture);
    kept_.push_back({picture, bytes, ++clock_});
    keptBytes_ += bytes;
    while (keptBytes_ > budget_ && kept_.size() > 1) {
        auto oldest =
            std::min_element(kept_.begin(), kept_.end(),
                             [](const Kept& a, const Kept& b) { return a.used < b.used; });
        keptBytes_ -= oldest->bytes;
        kept_.erase(oldest);
    }
}

template <class Picture>
Result<std::optional<Picture>> WarmMovie<Picture>::at(double seconds,
                                                      const std::function<bool()>& stale) {
    if (auto kept = find(seconds)) return kept;
    if (!continuesTo(seconds)) {
        decodedUpTo_.reset();
        // A movie without an index cannot seek: it decodes from its start again.
        if (!decoder_->seek(seconds)) {
            if (auto opened = openDecoder(); !opened) {
                return std::unexpected(readingError(opened.error()));
            }
        }
    }
    std::optional<Picture> shown;
    for (;;) {
        if (stale()) return std::optional<Picture>();
        auto next = decodeNext(*decoder_, static_cast<const Picture*>(nullptr));
        if (!next) return std::unexpected(readingError(next.error()));
        if (!*next) break;
        const double t = timeOf(**next);
        decodedUpTo_ = t;
        keep(**next);
        if (t > seconds + kSameSeconds) {
            if (!shown) shown = std::move(**next);  // the movie starts later
            break;
        }
        shown = std::move(**next);
        if (t >= seconds - kSameSeconds) break;
    }
    if (!shown) return std::unexpected(readingError({}));
    return shown;
}

template <class Picture>
Result<std::optional<Picture>> WarmMovie<Picture>::shownAt(double seconds,
                                                           const std::function<bool()>& stale) {
    PictureTimeline& timeline = *timeline_;
    Result<void> reached = timeline.reach(seconds);
    while (reached && timeline.times().empty() && !timeline.complete()) {
        reached = timeline.reach(seconds + 1);
    }
    const auto& times = timeline.times();
    if (times.empty()) return std::unexpected(readingError(reached ? Error{} : reached.error()));
    auto after = std::upper_bound(times.begin(), times.end(), seconds + kSameSeconds);
    return at(after == times.begin() ? times.front() : *(after - 1), stale);
}

template class WarmMovie<VideoPicture>;
template class WarmMovie<DecodedFrame>;

}  // namespace marlune
