#pragma once

#include <memory>
#include <optional>

#include "core/error.h"
#include "platform/image/bgra_image.h"
#include "platform/media/media_file.h"

namespace marlune {

// How a picture's YUV values relate to RGB: the matrix and whether the values use the full
// 0–255 range (else the studio range, 16–235 for luma).
struct PictureColour {
    ColourMatrix matrix = ColourMatrix::bt709;
    bool fullRange = false;

    bool operator==(const PictureColour&) const = default;
};

// A decoded picture in the decoder's own form (usually YUV 4:2:0), as coded: no rotation,
// mirroring or aspect correction applied. Copies share the pixels, which nobody writes, so a
// picture may be kept, queued and handed to an encoder without copying. Empty when
// default-constructed. Any thread.
class VideoPicture {
  public:
    VideoPicture() = default;

    explicit operator bool() const { return impl_ != nullptr; }
    int width() const;
    int height() const;
    // When it is shown, in seconds on the movie's timeline.
    double timeSeconds() const;
    // The stream's colour matrix and range; an untagged stream counts as BT.709 from 720 rows
    // up and BT.601 below, the usual convention for untagged video.
    PictureColour colour() const;

    struct Impl;
    const Impl* impl() const { return impl_.get(); }
    explicit VideoPicture(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}

  private:
    std::shared_ptr<const Impl> impl_;
};

// Turns decoded pictures into BGRA of the same size, honouring each picture's colour matrix and
// range. Keeps its scaler (and so its worker threads) between pictures of the same form. One
// thread at a time (any thread). Move-only.
class PictureConverter {
  public:
    // `threads` splits each conversion into that many bands run side by side.
    explicit PictureConverter(int threads = 1);
    PictureConverter(PictureConverter&&) noexcept;
    PictureConverter& operator=(PictureConverter&&) noexcept;
    ~PictureConverter();

    // Converts into `into`, which is reallocated only when its size differs: a caller that
    // keeps its image pays for the memory once. Opaque pixels (alpha 255).
    Result<void> toBgra(const VideoPicture& picture, BgraImage& into);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// One decoded picture and the time it is shown, in seconds on the movie's timeline.
struct DecodedFrame {
    BgraImage image;
    double timeSeconds = 0.0;
};

struct VideoDecoderOptions {
    // Pictures are scaled to fit this width (fittedSize: never enlarged); 0 keeps the display
    // size.
    int maxWidth = 0;
    // Instead of scaling: a 4:2:0 picture at least twice this wide (as displayed) is reduced by
    // the largest whole factor that keeps it at least this wide, each pixel the mean of its block
    // (see reduceYuv420ToBgra). For a reader that scales the pictures again anyway (the webcam
    // overlay), this is several times cheaper than the scaler. 0: off; other pictures go by
    // `maxWidth`.
    int reduceToWidth = 0;
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

    // The size pictures come out at (after rotation and scaling), from the track's description;
    // pictures that `reduceToWidth` reduces come out at their reduced size instead.
    PixelSize outputSize() const;
    const TrackInfo& track() const;

    // Continues decoding from the key frame at or before `seconds`; the next frames may start
    // before `seconds`.
    Result<void> seek(double seconds);
    // The next picture; nothing at the end of the track.
    Result<std::optional<DecodedFrame>> next();
    // The next picture as decoded, without conversion (see VideoPicture); nothing at the end of
    // the track. For readers that convert only some pictures, or none.
    Result<std::optional<VideoPicture>> nextPicture();
    // The picture on screen at `seconds`: the last one shown at or before it (the first picture
    // when `seconds` comes before it, the last when after the end). Seeks; converts only the
    // picture it returns.
    Result<DecodedFrame> frameAt(double seconds);

    struct Impl;

  private:
    explicit VideoDecoder(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// A still picture of a movie at `seconds` on its first video track, at most `maxWidth` wide.
// Fails with FFmpeg's text, or "The movie has no video." Any thread.
Result<BgraImage> stillFrame(MediaFile file, double seconds, int maxWidth);

}  // namespace marlune
