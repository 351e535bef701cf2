#include "platform/media/camera_input.h"

#include <time.h>

#include <cstdint>

#include "platform/media/av_support.h"
#include "platform/media/ffmpeg_extras.h"
#include "platform/media/yuv_reduce.h"

extern "C" {
#include <libavutil/time.h>
}

namespace marlune {

namespace {

// A device timestamp further from now than this is not on the host clock (lavfi counts from
// zero; some drivers stamp the wall clock).
constexpr std::int64_t kSameClockWindow = 2'000'000'000;

std::int64_t hostClockNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// The full-range ("J") formats MJPEG cameras decode to, as their ordinary twins plus a flag, so
// that swscale is told the range instead of guessing it.
AVPixelFormat withoutJpegRange(AVPixelFormat f, bool& fullRange) {
    fullRange = true;
    switch (f) {
        case AV_PIX_FMT_YUVJ420P:
            return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P:
            return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P:
            return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P:
            return AV_PIX_FMT_YUV440P;
        default:
            fullRange = false;
            return f;
    }
}

}  // namespace

struct CameraInput::Impl {
    av::InputContext input;
    av::CodecContext decoder;
    av::PacketPtr packet = av::makePacket();
    av::FramePtr frame = av::makeFrame();
    int streamIndex = -1;
    int width = 0;
    int height = 0;
    bool grabbed = false;

    av::SwsPtr scaler;
    AVPixelFormat scalerFormat = AV_PIX_FMT_NONE;
};

CameraInput::CameraInput(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
CameraInput::CameraInput(CameraInput&&) noexcept = default;
CameraInput& CameraInput::operator=(CameraInput&&) noexcept = default;
CameraInput::~CameraInput() = default;

int CameraInput::width() const {
    return impl_->width;
}
int CameraInput::height() const {
    return impl_->height;
}

Result<CameraInput> CameraInput::open(const CameraSource& source, const CameraMode& mode) {
    if (auto registered = av::registerDevices(); !registered) {
        return std::unexpected(registered.error());
    }

    const AVInputFormat* format = av_find_input_format(source.format.c_str());
    if (!format) return fail("There is no camera input named \"" + source.format + "\".");

    // Requests a device may not honour; inputs that do not know them leave them unused.
    AVDictionary* options = nullptr;
    std::string size = std::to_string(mode.width) + "x" + std::to_string(mode.height);
    av_dict_set(&options, "video_size", size.c_str(), 0);
    av_dict_set(&options, "framerate", std::to_string(mode.fps).c_str(), 0);

    AVFormatContext* raw = nullptr;
    int rc = avformat_open_input(&raw, source.device.c_str(), format, &options);
    av_dict_free(&options);
    if (rc < 0) return std::unexpected(av::error(rc));

    auto impl = std::make_unique<Impl>();
    impl->input.reset(raw);
    // No probing: on a live device it waits for pictures (well over half a second) and learns
    // nothing the device's header has not said.
    int index = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) return fail("The camera delivers no pictures.");
    impl->streamIndex = index;
    const AVStream* stream = raw->streams[index];
    impl->width = stream->codecpar->width;
    impl->height = stream->codecpar->height;
    if (impl->width <= 0 || impl->height <= 0) return fail("The camera reports no picture size.");
    auto decoder = av::openDecoder(stream, 1);
    if (!decoder) return std::unexpected(decoder.error());
    impl->decoder = std::move(*decoder);
    return CameraInput(std::move(impl));
}

Result<std::int64_t> CameraInput::grab() {
    Impl& s = *impl_;
    for (;;) {
        av_packet_unref(s.packet.get());
        int rc = av_read_frame(s.input.get(), s.packet.get());
        if (rc == AVERROR(EAGAIN)) continue;
        if (rc == AVERROR_EOF) return fail("The camera stopped delivering pictures.");
        if (rc < 0) return std::unexpected(av::error(rc));
        if (s.packet->stream_index != s.streamIndex) continue;
        break;
    }
    const std::int64_t now = hostClockNow();
    std::int64_t taken = now;
    const AVStream* stream = s.input->streams[s.streamIndex];
    if (s.packet->pts != AV_NOPTS_VALUE) {
        std::int64_t device =
            av_rescale_q(s.packet->pts, stream->time_base, AVRational{1, 1'000'000'000});
        // A picture is never taken after it arrives, nor long before.
        if (device <= now && now - device < kSameClockWindow) taken = device;
    }
    s.grabbed = true;
    return taken;
}

Result<void> CameraInput::retrieve(BgraImage& into) {
    Impl& s = *impl_;
    if (!s.grabbed) return fail("No picture has been taken yet.");
    s.grabbed = false;
    int rc = avcodec_send_packet(s.decoder.get(), s.packet.get());
    if (rc < 0) return std::unexpected(av::error(rc));
    av_frame_unref(s.frame.get());
    rc = avcodec_receive_frame(s.decoder.get(), s.frame.get());
    if (rc < 0) return std::unexpected(av::error(rc));
    const AVFrame* f = s.frame.get();
    if (f->width != s.width || f->height != s.height)
        return fail("The camera changed its picture size.");

    auto format = static_cast<AVPixelFormat>(f->format);
    if (into.width != s.width || into.height != s.height || into.pixels.empty())
        into = BgraImage::blank(s.width, s.height);
    // What most cameras send uncompressed: converted by our own loop, several times cheaper
    // than swscale's general path for it, with the same BT.601 studio-range reading.
    if (format == AV_PIX_FMT_YUYV422) {
        yuyvToBgra(f->data[0], f->linesize[0], s.width, s.height, ColourMatrix::bt601, false, into);
        return {};
    }
    if (!s.scaler || format != s.scalerFormat) {
        bool fullRange = false;
        AVPixelFormat plain = withoutJpegRange(format, fullRange);
        s.scaler = av::makeScaler(s.width, s.height, plain, s.width, s.height, AV_PIX_FMT_BGRA, 1);
        if (!s.scaler) return fail("The camera's pictures cannot be converted.");
        const int* coefficients = sws_getCoefficients(SWS_CS_ITU601);
        sws_setColorspaceDetails(s.scaler.get(), coefficients, fullRange ? 1 : 0, coefficients, 1,
                                 0, 1 << 16, 1 << 16);
        s.scalerFormat = format;
    }
    std::uint8_t* dst[4] = {into.pixels.data(), nullptr, nullptr, nullptr};
    int dstStride[4] = {into.stride, 0, 0, 0};
    sws_scale(s.scaler.get(), f->data, f->linesize, 0, s.height, dst, dstStride);
    return {};
}

}  // namespace marlune
