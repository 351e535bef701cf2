#include "render/export/webcam_feed.h"

#include <pthread.h>

#include "library/recordings_library.h"
#include "platform/media/media_file.h"
#include "platform/media/webcam_proxy.h"
#include "render/composition.h"

namespace marlune {

namespace {

// Webcam pictures decoded ahead.
constexpr std::size_t kWebcamAhead = 3;
// Movie times are rationals turned into doubles; pictures this close to the start are on it.
constexpr double kEdgeSeconds = 1e-6;

}  // namespace

std::optional<WebcamMovie> findWebcamMovie(const WebcamFX& webcam,
                                           const std::optional<FrameSettings>& frame, int width,
                                           int height) {
    // Only a regular file inside the recordings folder is read.
    auto location = RecordingsLibrary::safeLocation(webcam.file);
    if (!location) return std::nullopt;
    auto opened = location->open();
    if (!opened) return std::nullopt;
    auto file = MediaFile::open(opened->procPath());
    if (!file) return std::nullopt;
    auto video = file->tracks(TrackKind::video);
    if (video.empty()) return std::nullopt;
    // Decoded no wider than the webcam box will show it, so that frames are not scaled down
    // again for every composed picture.
    const TrackInfo& track = video.front();
    auto decodeWidth = webcamDecodeWidth(webcam, frame, width, height, track.width, track.height);
    if (!decodeWidth) return std::nullopt;
    // The recorder's small copy, when it shows enough: it decodes several times faster.
    if (*decodeWidth < track.width) {
        if (auto proxy = usableWebcamProxy(location->full(), track.width, track.height,
                                           file->durationSeconds(), *decodeWidth)) {
            return WebcamMovie{proxy->path, proxy->trackIndex, *decodeWidth};
        }
    }
    return WebcamMovie{location->full(), track.index, *decodeWidth};
}

std::optional<VideoDecoder> openWebcamMovie(const WebcamFX& webcam,
                                            const std::optional<FrameSettings>& frame, int width,
                                            int height) {
    auto movie = findWebcamMovie(webcam, frame, width, height);
    if (!movie) return std::nullopt;
    auto file = MediaFile::open(movie->path);
    if (!file) return std::nullopt;
    auto decoder = VideoDecoder::open(
        std::move(*file), movie->trackIndex,
        {.maxWidth = movie->decodeWidth, .reduceToWidth = movie->decodeWidth, .threads = 1});
    if (!decoder) return std::nullopt;
    return std::move(*decoder);
}

WebcamFeed::WebcamFeed(VideoDecoder decoder, double fromSeconds) : frames_(kWebcamAhead) {
    thread_ = std::thread(
        [this, decoder = std::move(decoder), fromSeconds]() mutable { run(decoder, fromSeconds); });
}

WebcamFeed::~WebcamFeed() {
    frames_.cancel();
    thread_.join();
}

void WebcamFeed::run(VideoDecoder& decoder, double from) {
    pthread_setname_np(pthread_self(), "marlune.webcam");
    if (from > 0) (void)decoder.seek(from);
    // The picture on screen at `from` is the last one not later than it: hold each such picture
    // until the next one shows whether it is.
    std::optional<DecodedFrame> held;
    for (;;) {
        auto frame = decoder.next();
        if (!frame || !*frame) break;  // a damaged webcam movie just ends early
        if ((*frame)->timeSeconds <= from + kEdgeSeconds) {
            held = std::move(**frame);
            continue;
        }
        if (held && !frames_.push(std::move(*held))) return;
        held.reset();
        if (!frames_.push(std::move(**frame))) return;
    }
    if (held) frames_.push(std::move(*held));
    frames_.end();
}

}  // namespace marlune
