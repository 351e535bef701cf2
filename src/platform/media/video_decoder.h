#pragma once

#include <memory>
#include <optional>

#include "core/error.h"
#include "platform/image/bgra_image.h"
#include "platform/media/media_file.h"

namespace marlune {

// One decoded picture and the time it is shown, in seconds on the movie's timeline.
struct VideoFrame {
    BgraImage image;
    double timeSeconds = 0.0;
};

struct VideoDecoderOptions {
    // Pictures are scaled to fit this width (fittedSize: never enlarged); 0 keeps the display
    // size.
    int maxWidth = 0;
    // Decoder threads; 0 lets FFmpeg choose. Many small decoders running side by side (a
    // listing) do better with 1 each.
    int threads = 0;
};

// Decodes one video track to BGRA pictures in presentation order, as the movie is meant to be
// seen: the display matrix's rotation and mirroring and the pixel aspect ratio are applied.
// Owns its MediaFile; one thread at a time (any thread). Move-only.
class VideoDecoder {
  public:
    // Fails with FFmpeg's text when the track has no usable decoder.
    static Result<VideoDecoder> open(MediaFile file, int trackIndex,
                                     VideoDecoderOptions options = {});

    VideoDecoder(VideoDecoder&&) noexcept;
    VideoDecoder& operator=(VideoDecoder&&) noexcept;
    ~VideoDecoder();

    // The size pictures come out at (after rotation and scaling), from the track's description.
    PixelSize outputSize() const;
    const TrackInfo& track() const;

    // Continues decoding from the key frame at or before `seconds`; the next frames may start
    // before `seconds`.
    Result<void> seek(double seconds);
    // The next picture; nothing at the end of the track.
    Result<std::optional<VideoFrame>> next();
    // The picture on screen at `seconds`: the last one shown at or before it (the first picture
    // when `seconds` comes before it, the last when after the end). Seeks; converts only the
    // picture it returns.
    Result<VideoFrame> frameAt(double seconds);

    struct Impl;

  private:
    explicit VideoDecoder(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// A still picture of a movie at `seconds` on its first video track, at most `maxWidth` wide.
// Fails with FFmpeg's text, or "The movie has no video." Any thread.
Result<BgraImage> stillFrame(MediaFile file, double seconds, int maxWidth);

}  // namespace marlune
