#pragma once

// FFmpeg plumbing shared by the sources of this folder. Included only by .cpp files here: the
// public headers beside it never show FFmpeg types.

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "core/error.h"
#include "platform/media/media_file.h"
#include "platform/media/video_decoder.h"

namespace marlune {
class AudioEncoder;
class VideoEncoder;
}  // namespace marlune

namespace marlune::av {

// FFmpeg's own text for an error code ("Invalid data found when processing input").
std::string errorText(int code);
inline Error error(int code) {
    return Error{errorText(code)};
}

struct InputDeleter {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsDeleter {
    void operator()(SwsContext* c) const { sws_freeContext(c); }
};
struct SwrDeleter {
    void operator()(SwrContext* c) const { swr_free(&c); }
};

using InputContext = std::unique_ptr<AVFormatContext, InputDeleter>;
using CodecContext = std::unique_ptr<AVCodecContext, CodecDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;

FramePtr makeFrame();
PacketPtr makePacket();

// Seconds for a timestamp in `base`; nothing for AV_NOPTS_VALUE.
std::optional<double> seconds(std::int64_t ts, AVRational base);
// The timestamp in `base` nearest to `s` seconds.
std::int64_t timestamp(double s, AVRational base);

// A decoder opened for one stream's parameters. `threads` 0 lets FFmpeg choose.
Result<CodecContext> openDecoder(const AVStream* stream, int threads);

// Decodes the next frame of `trackIndex` into `out`, reading packets from `file` as the decoder
// asks for them and skipping other tracks' packets; false at the end of the track. `flushed`
// remembers that the end of the file was reached and the decoder told so (clear it after a seek).
// A damaged packet costs its frame, not the rest of the track.
Result<bool> decodeNext(AVCodecContext* codec, MediaFile& file, int trackIndex, bool& flushed,
                        AVFrame* out);

// The codec context inside an open encoder (defined beside each encoder).
const AVCodecContext* encoderContext(const VideoEncoder& encoder);
const AVCodecContext* encoderContext(const AudioEncoder& encoder);

// The colour matrix and range a decoded picture uses (see VideoPicture::colour).
PictureColour colourOf(const AVFrame* frame);
// swscale's coefficient table for a matrix.
const int* swsCoefficients(ColourMatrix matrix);
// A scaler whose conversions are split into `threads` bands run side by side; null when
// swscale refuses the conversion.
SwsPtr makeScaler(int srcWidth, int srcHeight, AVPixelFormat srcFormat, int dstWidth, int dstHeight,
                  AVPixelFormat dstFormat, int threads);
// `frame` made to carry `image`'s pixels without copying them (swscale's frame interface copies
// pixels that no buffer owns), as a source or a destination. The image must outlive every use
// of the frame.
Result<void> wrapImage(const BgraPixels& image, AVFrame* frame);

}  // namespace marlune::av

namespace marlune {

// What the folder's other wrappers reach inside the public types.
struct MediaFile::Impl {
    std::filesystem::path path;
    av::InputContext input;
    std::vector<TrackInfo> tracks;
};

struct Packet::Impl {
    av::PacketPtr packet;
};

struct VideoPicture::Impl {
    av::FramePtr frame;  // never written once the picture exists
    double time = 0.0;
    PictureColour colour;
};

}  // namespace marlune
