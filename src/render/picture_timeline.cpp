#include "render/picture_timeline.h"

#include <algorithm>

#include "platform/media/media_file.h"

namespace marlune {

namespace {

// Pictures coded out of order arrive a few pictures late in file order: reading this far past a
// time is sure to have met every picture shown before it.
constexpr double kReorderSlack = 0.5;
// Range edges: source times are rationals turned into doubles.
constexpr double kEdgeSeconds = 1e-6;

}  // namespace

struct PictureTimeline::Impl {
    MediaFile file;
    int track = 0;
    std::vector<double> times;
    std::vector<double> keyFrames;  // sorted
    double readUpTo = -1;           // decoding time of the last packet read
    bool complete = false;

    explicit Impl(MediaFile f) : file(std::move(f)) {}

    void add(double at, bool key) {
        // Packets come in decoding order; pictures coded out of order land a few places back.
        auto place = [](std::vector<double>& v, double t) {
            auto it = v.end();
            while (it != v.begin() && *(it - 1) > t) --it;
            v.insert(it, t);
        };
        place(times, at);
        if (key) place(keyFrames, at);
    }
};

PictureTimeline::PictureTimeline(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PictureTimeline::PictureTimeline(PictureTimeline&&) noexcept = default;
PictureTimeline& PictureTimeline::operator=(PictureTimeline&&) noexcept = default;
PictureTimeline::~PictureTimeline() = default;

Result<PictureTimeline> PictureTimeline::open(const std::filesystem::path& movie, int trackIndex) {
    auto file = MediaFile::open(movie);
    if (!file) return std::unexpected(file.error());
    const auto& tracks = file->tracks();
    if (trackIndex < 0 || trackIndex >= static_cast<int>(tracks.size())) {
        return fail("The movie has no such track.");
    }
    auto impl = std::make_unique<Impl>(std::move(*file));
    impl->track = trackIndex;
    if (auto samples = impl->file.indexedSamples(trackIndex)) {
        for (const auto& s : *samples) {
            impl->times.push_back(s.seconds);
            if (s.keyFrame) impl->keyFrames.push_back(s.seconds);
        }
        impl->complete = true;
    }
    return PictureTimeline(std::move(impl));
}

Result<void> PictureTimeline::reach(double seconds) {
    Impl& c = *impl_;
    while (!c.complete && !(c.readUpTo > seconds + kReorderSlack)) {
        auto packet = c.file.readPacket();
        if (!packet || !*packet) {
            c.complete = true;
            if (!packet) return std::unexpected(packet.error());
            break;
        }
        if ((*packet)->trackIndex() != c.track) continue;
        auto pts = (*packet)->ptsSeconds();
        auto dts = (*packet)->dtsSeconds();
        if (pts) c.add(*pts, (*packet)->isKeyFrame());
        if (dts || pts) c.readUpTo = std::max(c.readUpTo, dts.value_or(pts.value_or(0)));
    }
    return {};
}

bool PictureTimeline::complete() const {
    return impl_->complete;
}

const std::vector<double>& PictureTimeline::times() const {
    return impl_->times;
}

std::optional<double> PictureTimeline::keyFrameAtOrBefore(double seconds) const {
    const auto& keys = impl_->keyFrames;
    auto it = std::upper_bound(keys.begin(), keys.end(), seconds + kEdgeSeconds);
    if (it == keys.begin()) return std::nullopt;
    return *(it - 1);
}

std::vector<RangePicture> rangePictures(std::span<const double> times, double startSeconds,
                                        double endSeconds, double videoEndSeconds) {
    std::vector<RangePicture> out;
    const auto first = std::lower_bound(times.begin(), times.end(), startSeconds - kEdgeSeconds);
    const auto last = std::lower_bound(first, times.end(), endSeconds - kEdgeSeconds);
    const bool pastTheEnd = last != times.end();
    std::optional<double> before;
    if (first != times.begin()) before = *(first - 1);
    if (first != last) {
        if (before && *first > startSeconds + kEdgeSeconds) {
            out.push_back({startSeconds, *before});
        }
        out.reserve(out.size() + static_cast<std::size_t>(last - first));
        for (auto it = first; it != last; ++it) out.push_back({*it, *it});
    } else if (before && (pastTheEnd || startSeconds < videoEndSeconds - kEdgeSeconds)) {
        out.push_back({startSeconds, *before});
    }
    return out;
}

}  // namespace marlune
