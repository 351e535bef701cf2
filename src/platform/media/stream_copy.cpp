#include "platform/media/stream_copy.h"

#include <algorithm>
#include <deque>
#include <map>

#include "platform/media/av_support.h"
#include "platform/media/media_file.h"
#include "platform/media/movie_muxer.h"

namespace marlune {

namespace {

struct CopiedTrack {
    int output = 0;
    bool isVideo = false;
    bool done = false;
};

}  // namespace

StreamCopyJob::StreamCopyJob(std::filesystem::path source, std::filesystem::path destination,
                             double startSeconds, double endSeconds)
    : source_(std::move(source)),
      destination_(std::move(destination)),
      startSeconds_(startSeconds),
      endSeconds_(endSeconds) {}

Result<void> StreamCopyJob::run() {
    auto opened = MediaFile::open(source_);
    if (!opened) return std::unexpected(opened.error());
    MediaFile file = std::move(*opened);
    // A range reaching far outside the movie would copy nothing more, but would keep the
    // progress near 0 and put a wrong length on the copy.
    startSeconds_ = std::max(startSeconds_, 0.0);
    if (auto duration = file.durationSeconds()) endSeconds_ = std::min(endSeconds_, *duration);
    if (!(startSeconds_ < endSeconds_)) return fail("The range lies outside the recording.");

    // Audio and video decide the container; subtitles come along where they fit.
    std::vector<TrackInfo> wanted;
    for (const auto& t : file.tracks()) {
        if (t.isCoverArt) continue;
        if (t.kind == TrackKind::video || t.kind == TrackKind::audio ||
            t.kind == TrackKind::subtitle) {
            wanted.push_back(t);
        }
    }
    auto carriesAll = [&](MovieContainer c) {
        return std::ranges::all_of(wanted, [&](const TrackInfo& t) {
            return t.kind == TrackKind::subtitle || MovieMuxer::canCarry(c, file, t.index);
        });
    };
    MovieContainer container = carriesAll(MovieContainer::mp4) || !carriesAll(MovieContainer::mov)
                                   ? MovieContainer::mp4
                                   : MovieContainer::mov;

    auto muxer = MovieMuxer::create(destination_, container, {.indexAtFront = true});
    if (!muxer) return std::unexpected(muxer.error());
    std::map<int, CopiedTrack> copied;
    int reference = -1;
    for (const auto& t : wanted) {
        if (!MovieMuxer::canCarry(container, file, t.index)) continue;
        auto out = muxer->addTrackCopiedFrom(file, t.index);
        if (!out) return std::unexpected(out.error());
        copied[t.index] = {*out, t.kind == TrackKind::video, false};
        if (reference < 0 && t.kind == TrackKind::video) reference = t.index;
    }
    if (copied.empty()) return fail("The movie has no audio or video to copy.");
    if (reference < 0) reference = copied.begin()->first;
    for (unsigned i = 0; i < file.tracks().size(); ++i) {
        if (!copied.contains(static_cast<int>(i))) {
            file.impl().input->streams[i]->discard = AVDISCARD_ALL;
        }
    }

    auto began = muxer->begin();
    if (!began) return began;
    // A movie without an index is copied from its start.
    (void)file.seek(startSeconds_, reference);

    const double end = endSeconds_;
    // Source time that becomes 0: the range's start, or the reference's first key frame when
    // that comes later. Pictures from the key frame before the start are copied too, for the
    // pictures after them to decode, with times before 0: the movie's edit list hides them, so
    // the copy shows from the asked start on.
    std::optional<double> origin;
    std::deque<Packet> waiting;  // other tracks' packets read before the origin is known
    auto emit = [&](Packet packet) -> Result<void> {
        const CopiedTrack& track = copied[packet.trackIndex()];
        auto pts = packet.ptsSeconds().or_else([&] { return packet.dtsSeconds(); });
        // Sound from before the start is left out (it could not be hidden as pictures are).
        if (!track.isVideo && pts && *pts < *origin - 1e-6) return {};
        return muxer->write(std::move(packet), track.output, *origin);
    };

    for (;;) {
        if (cancelled_.load(std::memory_order_relaxed))
            return fail("Cancelled.", ErrorCode::cancelled);
        auto read = file.readPacket();
        if (!read) return std::unexpected(read.error());
        if (!*read) break;
        Packet packet = std::move(**read);
        auto it = copied.find(packet.trackIndex());
        if (it == copied.end()) continue;
        CopiedTrack& track = it->second;
        if (track.done) continue;

        auto pts = packet.ptsSeconds();
        auto dts = packet.dtsSeconds().or_else([&] { return pts; });
        // Decode order reaching the end: nothing later in this track is shown before it. Video
        // keeps every packet decoded before the end, so the last pictures keep their references.
        if (dts && *dts >= end) {
            track.done = true;
            if (!origin && packet.trackIndex() == reference) {
                // The reference has nothing in the range: the other tracks start at the start.
                origin = startSeconds_;
                while (!waiting.empty()) {
                    auto r = emit(std::move(waiting.front()));
                    waiting.pop_front();
                    if (!r) return r;
                }
            }
            if (std::ranges::all_of(copied, [](const auto& kv) { return kv.second.done; })) break;
            continue;
        }
        if (!track.isVideo && pts && *pts >= end) continue;

        if (!origin) {
            if (packet.trackIndex() != reference) {
                waiting.push_back(std::move(packet));
                continue;
            }
            if (track.isVideo && !packet.isKeyFrame()) continue;  // can't be decoded alone
            origin = std::max(pts.value_or(dts.value_or(0.0)), startSeconds_);
            while (!waiting.empty()) {
                auto r = emit(std::move(waiting.front()));
                waiting.pop_front();
                if (!r) return r;
            }
        }
        if (packet.trackIndex() == reference && dts && end > *origin) {
            double fraction = std::max(0.0, *dts - *origin) / (end - *origin);
            double before = progress_.load(std::memory_order_relaxed);
            progress_.store(std::clamp(std::max(before, fraction), 0.0, 1.0),
                            std::memory_order_relaxed);
        }
        auto r = emit(std::move(packet));
        if (!r) return r;
    }
    if (!origin) return fail("The range holds nothing to copy.");
    auto finished = muxer->finish();
    if (!finished) return finished;
    progress_.store(1.0, std::memory_order_relaxed);
    return {};
}

}  // namespace marlune
