#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/error.h"
#include "platform/image/bgra_image.h"
#include "platform/media/media_file.h"
#include "platform/media/video_decoder.h"

namespace marlune {

enum class VideoCodec {
    h264,  // libx264, High profile
    vp9,   // libvpx, for WebM
};

struct VideoEncoderOptions {
    VideoCodec codec = VideoCodec::h264;
    // Size of the encoded pictures. Odd sides are kept: the stream is coded one pixel larger
    // (the edge repeated) and tells players to crop it back.
    int width = 0;
    int height = 0;
    int fps = 30;  // the expected frame rate, for rate control; times come with each picture
    std::int64_t bitRate = 4'000'000;  // average, bits per second
    int keyFrameInterval = 60;         // at most this many frames from one key frame to the next
    // When above 0, also at most this long from one key frame to the next, however many frames
    // a busy machine dropped in between (a live movie's parts end at key frames).
    double keyFrameSeconds = 0;
    // libx264's speed preset. "ultrafast" gives up the High profile (no CABAC, no 8×8
    // transform): keep to "superfast" or slower. VP9 always encodes in libvpx's real-time mode
    // at its fastest setting, its groups of pictures spread over encoders side by side.
    std::string preset = "veryfast";
    // The matrix pictures are converted with and the stream is tagged with; always the studio
    // range. Pictures in that form pass unconverted.
    ColourMatrix matrix = ColourMatrix::bt709;
    // Bands per BGRA conversion, run side by side.
    int conversionThreads = 1;
};

// H.264 (libx264, High profile, no B-frames) or VP9 from decoded pictures or BGRA images, in
// presentation order. Packets come out as they are ready, timed in seconds from the times given
// with the pictures; they may lag a few pictures behind (the encoder's threads and look-ahead),
// and `finish` returns the rest. Each packet lasts until the next picture's time. One thread at a
// time (any thread). Move-only.
class VideoEncoder {
  public:
    // Fails with FFmpeg's text when libx264 is missing or refuses the settings.
    static Result<VideoEncoder> open(VideoEncoderOptions options);

    VideoEncoder(VideoEncoder&&) noexcept;
    VideoEncoder& operator=(VideoEncoder&&) noexcept;
    ~VideoEncoder();

    const VideoEncoderOptions& options() const;

    // Encodes a decoded picture shown at `timeSeconds`. A 4:2:0 studio-range picture of the
    // output size goes to the encoder as it is (no copy); any other is converted (and scaled)
    // first. Times must grow from one picture to the next.
    Result<std::vector<Packet>> encode(const VideoPicture& picture, double timeSeconds);
    // Encodes opaque BGRA pixels shown at `timeSeconds`, converting them in one pass (scaled to
    // the output size when it differs). The pixels are read during the call only.
    Result<std::vector<Packet>> encode(const BgraPixels& image, double timeSeconds);
    // Drains the encoder: the packets still inside. The last picture lasts until `endSeconds`
    // (one frame at `fps` without it, or when it is not later). Nothing may be encoded
    // afterwards.
    Result<std::vector<Packet>> finish(std::optional<double> endSeconds = std::nullopt);

    struct Impl;
    Impl& impl() const { return *impl_; }

  private:
    explicit VideoEncoder(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace marlune
