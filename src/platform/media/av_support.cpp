#include "platform/media/av_support.h"

#include <algorithm>
#include <cmath>

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

}  // namespace marlune::av
