#include "platform/media/av_support.h"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavutil/opt.h>
}

namespace marlune::av {

std::string errorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(code, text, sizeof text) < 0)
        return "Unknown media error " + std::to_string(code);
    return text;
}

FramePtr makeFrame() {
    FramePtr frame(av_frame_alloc());
    if (!frame) throw std::bad_alloc();
    return frame;
}

PacketPtr makePacket() {
    PacketPtr packet(av_packet_alloc());
    if (!packet) throw std::bad_alloc();
    return packet;
}

std::optional<double> seconds(std::int64_t ts, AVRational base) {
    if (ts == AV_NOPTS_VALUE || base.den == 0) return std::nullopt;
    return static_cast<double>(ts) * base.num / base.den;
}

std::int64_t timestamp(double s, AVRational base) {
    if (base.num == 0) return 0;
    double ts = std::round(s * base.den / base.num);
    // Far outside any movie; keeps the conversion defined for absurd requests.
    constexpr double limit = 9.0e18;
    return static_cast<std::int64_t>(std::clamp(ts, -limit, limit));
}

Result<CodecContext> openDecoder(const AVStream* stream, int threads) {
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) return std::unexpected(error(AVERROR_DECODER_NOT_FOUND));
    CodecContext ctx(avcodec_alloc_context3(codec));
    if (!ctx) return std::unexpected(error(AVERROR(ENOMEM)));
    int rc = avcodec_parameters_to_context(ctx.get(), stream->codecpar);
    if (rc < 0) return std::unexpected(error(rc));
    ctx->pkt_timebase = stream->time_base;
    ctx->thread_count = threads;
    rc = avcodec_open2(ctx.get(), codec, nullptr);
    if (rc < 0) return std::unexpected(error(rc));
    return ctx;
}

Result<bool> decodeNext(AVCodecContext* codec, MediaFile& file, int trackIndex, bool& flushed,
                        AVFrame* out) {
    for (;;) {
        int rc = avcodec_receive_frame(codec, out);
        if (rc == 0) return true;
        if (rc == AVERROR_EOF) return false;
        if (rc != AVERROR(EAGAIN)) return std::unexpected(error(rc));
        if (flushed) return false;
        auto packet = file.readPacket();
        if (!packet) return std::unexpected(packet.error());
        if (!*packet) {
            flushed = true;
            avcodec_send_packet(codec, nullptr);
            continue;
        }
        if ((*packet)->trackIndex() != trackIndex) continue;
        rc = avcodec_send_packet(codec, (*packet)->impl().packet.get());
        if (rc < 0 && rc != AVERROR_INVALIDDATA) return std::unexpected(error(rc));
    }
}

PictureColour colourOf(const AVFrame* frame) {
    PictureColour colour;
    switch (frame->colorspace) {
        case AVCOL_SPC_BT709:
            colour.matrix = ColourMatrix::bt709;
            break;
        case AVCOL_SPC_SMPTE170M:
        case AVCOL_SPC_BT470BG:
        case AVCOL_SPC_FCC:
        case AVCOL_SPC_SMPTE240M:
            colour.matrix = ColourMatrix::bt601;
            break;
        default:
            colour.matrix = frame->height >= 720 ? ColourMatrix::bt709 : ColourMatrix::bt601;
            break;
    }
    switch (frame->format) {
        case AV_PIX_FMT_YUVJ420P:
        case AV_PIX_FMT_YUVJ422P:
        case AV_PIX_FMT_YUVJ444P:
            colour.fullRange = true;
            break;
        default:
            colour.fullRange = frame->color_range == AVCOL_RANGE_JPEG;
            break;
    }
    return colour;
}

const int* swsCoefficients(ColourMatrix matrix) {
    return sws_getCoefficients(matrix == ColourMatrix::bt709 ? SWS_CS_ITU709 : SWS_CS_ITU601);
}

SwsPtr makeScaler(int srcWidth, int srcHeight, AVPixelFormat srcFormat, int dstWidth, int dstHeight,
                  AVPixelFormat dstFormat, int threads) {
    SwsPtr sws(sws_alloc_context());
    if (!sws) return nullptr;
    av_opt_set_int(sws.get(), "srcw", srcWidth, 0);
    av_opt_set_int(sws.get(), "srch", srcHeight, 0);
    av_opt_set_int(sws.get(), "src_format", srcFormat, 0);
    av_opt_set_int(sws.get(), "dstw", dstWidth, 0);
    av_opt_set_int(sws.get(), "dsth", dstHeight, 0);
    av_opt_set_int(sws.get(), "dst_format", dstFormat, 0);
    av_opt_set_int(sws.get(), "sws_flags", SWS_BILINEAR, 0);
    av_opt_set_int(sws.get(), "threads", std::max(1, threads), 0);
    if (sws_init_context(sws.get(), nullptr, nullptr) < 0) return nullptr;
    return sws;
}

namespace {
void keepPixels(void*, std::uint8_t*) {}
}  // namespace

Result<void> wrapImage(const BgraPixels& image, AVFrame* frame) {
    av_frame_unref(frame);
    if (image.empty()) return fail("The picture has no size.");
    // A borrowed buffer: freeing it leaves the image's pixels alone.
    frame->buf[0] = av_buffer_create(const_cast<std::uint8_t*>(image.data),
                                     static_cast<std::size_t>(image.stride) * image.height,
                                     keepPixels, nullptr, 0);
    if (!frame->buf[0]) return std::unexpected(error(AVERROR(ENOMEM)));
    frame->data[0] = frame->buf[0]->data;
    frame->linesize[0] = image.stride;
    frame->width = image.width;
    frame->height = image.height;
    frame->format = AV_PIX_FMT_BGRA;
    return {};
}

}  // namespace marlune::av
