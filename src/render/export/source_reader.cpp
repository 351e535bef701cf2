#include "render/export/source_reader.h"

#include <pthread.h>

namespace marlune {

namespace {

// Pictures decoded ahead of the composition. Each holds a YUV picture and, for styled exports, its
// BGRA copy: 4 × 11 MB at 1080p.
constexpr std::size_t kDecodedAhead = 4;
// BGRA copies in existence at most: those waiting, the one being converted and the one being
// composed. They go round, so that a long export allocates a handful of them, not one per frame.
constexpr std::size_t kImagesInUse = kDecodedAhead + 2;
// Source times are rationals turned into doubles; frames this close to a range edge are on it.
constexpr double kEdgeSeconds = 1e-6;

}  // namespace

SourceReader::SourceReader()
    : decoded_(kDecodedAhead), images_(Recycler<BgraImage>::make(kImagesInUse)) {}

SourceReader::~SourceReader() {
    join();
}

void SourceReader::start(VideoDecoder decoder, Range range, bool convert, Failed failed) {
    thread_ = std::thread(
        [this, decoder = std::move(decoder), range, convert, failed = std::move(failed)]() mutable {
            run(decoder, range, convert, failed);
        });
}

void SourceReader::cancel() {
    stopped_ = true;
    decoded_.cancel();
}

void SourceReader::join() {
    cancel();
    if (thread_.joinable()) thread_.join();
}

void SourceReader::run(VideoDecoder& decoder, Range range, bool convert, const Failed& failed) {
    pthread_setname_np(pthread_self(), "marlune.decode");
    PictureConverter converter;
    auto hand = [&](VideoPicture picture, double time) {
        SourceItem item{std::move(picture), time, nullptr};
        if (convert) {
            std::shared_ptr<BgraImage> image =
                images_->take([](const BgraImage&) { return true; },
                              [] { return std::make_unique<BgraImage>(); });
            if (!image) image = std::make_shared<BgraImage>();  // more in use than ever expected
            if (auto converted = converter.toBgra(item.picture, *image); !converted) {
                failed(converted.error());
                return false;
            }
            item.bgra = std::move(image);
        }
        return decoded_.push(std::move(item));
    };
    const double start = range.startSeconds, end = range.endSeconds;
    // The last picture before the range: it is on screen at the range's start when no picture
    // starts exactly there.
    std::optional<VideoPicture> before;
    bool started = false;
    bool pastTheEnd = false;  // a picture at or after the range's end was reached
    while (!stopped_) {
        auto picture = decoder.nextPicture();
        if (!picture) {
            failed(picture.error());
            break;
        }
        if (!*picture) break;
        const double t = (*picture)->timeSeconds();
        if (t < start - kEdgeSeconds) {
            before = std::move(**picture);
            continue;
        }
        if (t >= end - kEdgeSeconds) {
            pastTheEnd = true;
            break;
        }
        if (!started && before && t > start + kEdgeSeconds) {
            if (!hand(std::move(*before), start)) break;
        }
        started = true;
        before.reset();
        if (!hand(std::move(**picture), t)) break;
    }
    // No picture starts inside the range (the screen stood still): the one before it shows all
    // through the range, unless the movie's pictures end before the range starts.
    if (!started && before && *before && !stopped_ &&
        (pastTheEnd || start < range.videoEndSeconds - kEdgeSeconds)) {
        hand(std::move(*before), start);
    }
    decoded_.end();
}

}  // namespace marlune
