#include "platform/media/video_decoder.h"

#include <cmath>
#include <cstring>

#include "platform/media/av_support.h"
#include "platform/media/yuv_reduce.h"

namespace marlune {

namespace {

// Frames a few microseconds past the requested time still count as "at" it: container times
// are rationals and the request is a double.
constexpr double kTimeTolerance = 1e-6;

// The picture turned clockwise by `degrees` (0, 90, 180, 270), then mirrored left to right.
BgraImage orient(BgraImage src, int degrees, bool mirrored) {
    if (degrees == 0 && !mirrored) return src;
    const bool swap = degrees == 90 || degrees == 270;
    const int w = src.width, h = src.height;
    BgraImage out = BgraImage::blank(swap ? h : w, swap ? w : h);
    for (int y = 0; y < h; ++y) {
        const auto* in = reinterpret_cast<const std::uint32_t*>(src.row(y));
        for (int x = 0; x < w; ++x) {
            int dx = x, dy = y;
            switch (degrees) {
                case 90:
                    dx = h - 1 - y;
                    dy = x;
                    break;
                case 180:
                    dx = w - 1 - x;
                    dy = h - 1 - y;
                    break;
                case 270:
                    dx = y;
                    dy = w - 1 - x;
                    break;
                default:
                    break;
            }
            if (mirrored) dx = out.width - 1 - dx;
            reinterpret_cast<std::uint32_t*>(out.row(dy))[dx] = in[x];
        }
    }
    return out;
}

bool isFullRange(const AVFrame* frame) {
    switch (frame->format) {
        case AV_PIX_FMT_YUVJ420P:
        case AV_PIX_FMT_YUVJ422P:
        case AV_PIX_FMT_YUVJ444P:
            return true;
        default:
            return frame->color_range == AVCOL_RANGE_JPEG;
    }
}

}  // namespace

struct VideoDecoder::Impl {
    MediaFile file;
    TrackInfo track;
    AVStream* stream = nullptr;
    av::CodecContext codec;
    VideoDecoderOptions options;
    av::FramePtr frame = av::makeFrame();
    bool flushed = false;  // the end of the file was reached and the decoder told so
    double lastTime = 0.0;

    av::SwsPtr sws;
    int swsIn[3] = {0, 0, -1};  // width, height, pixel format of the cached scaler's input
    PixelSize swsOut;

    explicit Impl(MediaFile f) : file(std::move(f)) {}

    // Decodes into `out`; false at the end of the track.
    Result<bool> decode(AVFrame* out) {
        return av::decodeNext(codec.get(), file, track.index, flushed, out);
    }

    double timeOf(const AVFrame* f) {
        std::int64_t ts =
            f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
        if (auto s = av::seconds(ts, stream->time_base)) {
            lastTime = *s;
        } else if (track.frameRate > 0) {
            lastTime += 1.0 / track.frameRate;
        }
        return lastTime;
    }

    PixelSize displaySize(int codedWidth, int codedHeight, AVRational sar) const {
        double aspect = (sar.num > 0 && sar.den > 0) ? av_q2d(sar) : track.pixelAspect;
        int w = std::max(1, static_cast<int>(std::lround(codedWidth * aspect)));
        int h = std::max(1, codedHeight);
        if (track.rotationDegrees == 90 || track.rotationDegrees == 270) std::swap(w, h);
        return {w, h};
    }

    PixelSize targetSize(PixelSize display) const {
        if (options.maxWidth <= 0) return display;
        return fittedSize(display.width, display.height, options.maxWidth).value_or(display);
    }

    // The picture reduced by a whole factor, when reduceToWidth asks for it and the picture
    // allows it (4:2:0, square pixels, at least twice the width asked for).
    std::optional<BgraImage> reduced(const AVFrame* f) {
        if (options.reduceToWidth <= 0) return std::nullopt;
        if (f->format != AV_PIX_FMT_YUV420P && f->format != AV_PIX_FMT_YUVJ420P) {
            return std::nullopt;
        }
        const AVRational sar = f->sample_aspect_ratio;
        const double aspect = (sar.num > 0 && sar.den > 0) ? av_q2d(sar) : track.pixelAspect;
        if (std::abs(aspect - 1.0) > 1e-6) return std::nullopt;
        const bool turned = track.rotationDegrees == 90 || track.rotationDegrees == 270;
        const int factor = (turned ? f->height : f->width) / options.reduceToWidth;
        if (factor < 2) return std::nullopt;
        const PictureColour colour = av::colourOf(f);
        BgraImage image;
        reduceYuv420ToBgra(
            {f->data[0], f->linesize[0], f->data[1], f->linesize[1], f->data[2], f->linesize[2]},
            f->width, f->height, factor, colour.matrix, colour.fullRange, image);
        return orient(std::move(image), track.rotationDegrees, track.mirrored);
    }

    Result<BgraImage> convert(const AVFrame* f) {
        if (f->width <= 0 || f->height <= 0) return fail("The picture has no size.");
        if (auto image = reduced(f)) return std::move(*image);
        PixelSize target = targetSize(displaySize(f->width, f->height, f->sample_aspect_ratio));
        // Scale first, turn afterwards: turning the small picture is cheaper.
        PixelSize scaled = target;
        if (track.rotationDegrees == 90 || track.rotationDegrees == 270) {
            std::swap(scaled.width, scaled.height);
        }
        if (!sws || swsIn[0] != f->width || swsIn[1] != f->height || swsIn[2] != f->format ||
            swsOut != scaled) {
            sws.reset(sws_getContext(f->width, f->height, static_cast<AVPixelFormat>(f->format),
                                     scaled.width, scaled.height, AV_PIX_FMT_BGRA, SWS_BILINEAR,
                                     nullptr, nullptr, nullptr));
            if (!sws) return fail("Could not convert the picture.");
            swsIn[0] = f->width;
            swsIn[1] = f->height;
            swsIn[2] = f->format;
            swsOut = scaled;
            int space = f->colorspace != AVCOL_SPC_UNSPECIFIED ? f->colorspace
                        : f->height >= 720                     ? SWS_CS_ITU709
                                                               : SWS_CS_DEFAULT;
            sws_setColorspaceDetails(sws.get(), sws_getCoefficients(space), isFullRange(f) ? 1 : 0,
                                     sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
        }
        BgraImage image = BgraImage::blank(scaled.width, scaled.height);
        std::uint8_t* dst[4] = {image.pixels.data(), nullptr, nullptr, nullptr};
        const int dstStride[4] = {image.stride, 0, 0, 0};
        int rows = sws_scale(sws.get(), f->data, f->linesize, 0, f->height, dst, dstStride);
        if (rows != scaled.height) return fail("Could not convert the picture.");
        return orient(std::move(image), track.rotationDegrees, track.mirrored);
    }
};

// ---------------------------------------------------------------------------------------------
// VideoPicture and PictureConverter

int VideoPicture::width() const {
    return impl_ ? impl_->frame->width : 0;
}

int VideoPicture::height() const {
    return impl_ ? impl_->frame->height : 0;
}

double VideoPicture::timeSeconds() const {
    return impl_ ? impl_->time : 0.0;
}

PictureColour VideoPicture::colour() const {
    return impl_ ? impl_->colour : PictureColour{};
}

struct PictureConverter::Impl {
    int threads = 1;
    av::SwsPtr sws;
    int swsIn[3] = {0, 0, -1};  // width, height, pixel format of the scaler's input
    PictureColour swsColour;
    av::FramePtr dst = av::makeFrame();
};

PictureConverter::PictureConverter(int threads) : impl_(std::make_unique<Impl>()) {
    impl_->threads = std::max(1, threads);
}
PictureConverter::PictureConverter(PictureConverter&&) noexcept = default;
PictureConverter& PictureConverter::operator=(PictureConverter&&) noexcept = default;
PictureConverter::~PictureConverter() = default;

Result<void> PictureConverter::toBgra(const VideoPicture& picture, BgraImage& into) {
    if (!picture || picture.width() <= 0 || picture.height() <= 0) {
        return fail("The picture has no size.");
    }
    Impl& c = *impl_;
    const AVFrame* f = picture.impl()->frame.get();
    const PictureColour colour = picture.colour();
    if (!c.sws || c.swsIn[0] != f->width || c.swsIn[1] != f->height || c.swsIn[2] != f->format ||
        c.swsColour != colour) {
        c.sws = av::makeScaler(f->width, f->height, static_cast<AVPixelFormat>(f->format), f->width,
                               f->height, AV_PIX_FMT_BGRA, c.threads);
        if (!c.sws) return fail("Could not convert the picture.");
        sws_setColorspaceDetails(c.sws.get(), av::swsCoefficients(colour.matrix),
                                 colour.fullRange ? 1 : 0, sws_getCoefficients(SWS_CS_DEFAULT), 1,
                                 0, 1 << 16, 1 << 16);
        c.swsIn[0] = f->width;
        c.swsIn[1] = f->height;
        c.swsIn[2] = f->format;
        c.swsColour = colour;
    }
    if (into.width != f->width || into.height != f->height || into.pixels.empty()) {
        into = BgraImage::blank(f->width, f->height);
    }
    // The frame interface wants a destination that a buffer owns; this one only borrows `into`.
    auto wrapped = av::wrapImage(into, c.dst.get());
    if (!wrapped) return wrapped;
    int rc = sws_scale_frame(c.sws.get(), c.dst.get(), f);
    av_frame_unref(c.dst.get());
    if (rc < 0) return std::unexpected(av::error(rc));
    return {};
}

// ---------------------------------------------------------------------------------------------
// VideoDecoder

VideoDecoder::VideoDecoder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
VideoDecoder::VideoDecoder(VideoDecoder&&) noexcept = default;
VideoDecoder& VideoDecoder::operator=(VideoDecoder&&) noexcept = default;
VideoDecoder::~VideoDecoder() = default;

Result<VideoDecoder> VideoDecoder::open(MediaFile file, int trackIndex,
                                        VideoDecoderOptions options) {
    const auto& tracks = file.tracks();
    if (trackIndex < 0 || trackIndex >= static_cast<int>(tracks.size()) ||
        tracks[trackIndex].kind != TrackKind::video) {
        return std::unexpected(av::error(AVERROR_STREAM_NOT_FOUND));
    }
    auto impl = std::make_unique<Impl>(std::move(file));
    impl->track = impl->file.tracks()[trackIndex];
    impl->options = options;
    AVFormatContext* input = impl->file.impl().input.get();
    impl->stream = input->streams[trackIndex];
    // Packets of the other tracks are dropped by the demuxer instead of read and thrown away.
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        if (static_cast<int>(i) != trackIndex) input->streams[i]->discard = AVDISCARD_ALL;
    }
    auto codec = av::openDecoder(impl->stream, options.threads);
    if (!codec) return std::unexpected(codec.error());
    impl->codec = std::move(*codec);
    return VideoDecoder(std::move(impl));
}

PixelSize VideoDecoder::outputSize() const {
    const TrackInfo& t = impl_->track;
    return impl_->targetSize(impl_->displaySize(t.width, t.height, AVRational{0, 1}));
}

const TrackInfo& VideoDecoder::track() const {
    return impl_->track;
}

Result<void> VideoDecoder::seek(double seconds) {
    auto rc = impl_->file.seek(seconds, impl_->track.index);
    if (!rc) return rc;
    avcodec_flush_buffers(impl_->codec.get());
    impl_->flushed = false;
    return {};
}

Result<std::optional<DecodedFrame>> VideoDecoder::next() {
    AVFrame* frame = impl_->frame.get();
    av_frame_unref(frame);
    auto got = impl_->decode(frame);
    if (!got) return std::unexpected(got.error());
    if (!*got) return std::optional<DecodedFrame>();
    double time = impl_->timeOf(frame);
    auto image = impl_->convert(frame);
    av_frame_unref(frame);
    if (!image) return std::unexpected(image.error());
    return std::optional<DecodedFrame>(DecodedFrame{std::move(*image), time});
}

Result<std::optional<VideoPicture>> VideoDecoder::nextPicture() {
    auto frame = av::makeFrame();
    auto got = impl_->decode(frame.get());
    if (!got) return std::unexpected(got.error());
    if (!*got) return std::optional<VideoPicture>();
    auto picture = std::make_shared<VideoPicture::Impl>();
    picture->time = impl_->timeOf(frame.get());
    picture->colour = av::colourOf(frame.get());
    picture->frame = std::move(frame);
    return std::optional<VideoPicture>(VideoPicture(std::move(picture)));
}

Result<DecodedFrame> VideoDecoder::frameAt(double seconds) {
    // A movie without an index still decodes from wherever it stands (its start, when new).
    (void)seek(seconds);
    av::FramePtr shown = av::makeFrame();
    bool haveShown = false;
    double shownTime = 0.0;
    AVFrame* frame = impl_->frame.get();
    for (;;) {
        av_frame_unref(frame);
        auto got = impl_->decode(frame);
        if (!got) {
            if (haveShown) break;  // the damage lies after the picture we have
            return std::unexpected(got.error());
        }
        if (!*got) break;
        double time = impl_->timeOf(frame);
        if (time <= seconds + kTimeTolerance || !haveShown) {
            av_frame_unref(shown.get());
            av_frame_move_ref(shown.get(), frame);
            haveShown = true;
            shownTime = time;
            if (time > seconds + kTimeTolerance) break;  // the first picture comes later
        } else {
            break;
        }
    }
    if (!haveShown) return fail("The movie has no picture to show.");
    auto image = impl_->convert(shown.get());
    if (!image) return std::unexpected(image.error());
    return DecodedFrame{std::move(*image), shownTime};
}

Result<BgraImage> stillFrame(MediaFile file, double seconds, int maxWidth) {
    auto video = file.tracks(TrackKind::video);
    if (video.empty()) return fail("The movie has no video.");
    int index = video.front().index;
    auto decoder = VideoDecoder::open(std::move(file), index, {.maxWidth = maxWidth, .threads = 1});
    if (!decoder) return std::unexpected(decoder.error());
    auto frame = decoder->frameAt(seconds);
    if (!frame) return std::unexpected(frame.error());
    return std::move(frame->image);
}

}  // namespace marlune
