#include "platform/media/video_encoder.h"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <thread>

#include "platform/media/av_support.h"
#include "platform/media/bgra_to_yuv.h"
#include "platform/media/vp9_lanes.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace marlune {

namespace {

// 90 kHz: every common frame rate (including 30000/1001 ones) lands on whole ticks.
constexpr AVRational kTimeBase{1, 90000};

// Each packet is held back until the next one shows how long its picture lasts: the muxer takes
// a track's end from its last packet's duration.
void passOn(av::PacketPtr next, av::PacketPtr& held, std::vector<Packet>& out) {
    if (held) {
        if (next->pts > held->pts) held->duration = next->pts - held->pts;
        auto impl = std::make_unique<Packet::Impl>();
        impl->packet = std::move(held);
        out.emplace_back(std::move(impl));
    }
    held = std::move(next);
}

// Turns the encoder's finished packets into Packets timed in its time base.
Result<void> drain(AVCodecContext* codec, AVPacket* scratch, av::PacketPtr& held,
                   std::vector<Packet>& out) {
    for (;;) {
        int rc = avcodec_receive_packet(codec, scratch);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return {};
        if (rc < 0) return std::unexpected(av::error(rc));
        auto next = av::makePacket();
        av_packet_move_ref(next.get(), scratch);
        next->time_base = codec->time_base;
        passOn(std::move(next), held, out);
    }
}

// Threads that each run one band of a conversion while the caller runs the first.
class BandWorkers {
  public:
    explicit BandWorkers(int helpers) : slots_(static_cast<std::size_t>(std::max(0, helpers))) {
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            slots_[i].thread = std::thread([this, i] { serve(slots_[i]); });
        }
    }
    ~BandWorkers() {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        wake_.notify_all();
        for (auto& slot : slots_) slot.thread.join();
    }

    int bands() const { return static_cast<int>(slots_.size()) + 1; }

    // Runs band(0) here and band(1 … helpers) on the helpers; returns when all are done.
    void run(const std::function<void(int)>& band) {
        {
            std::lock_guard lock(mutex_);
            for (std::size_t i = 0; i < slots_.size(); ++i) {
                slots_[i].job = [&band, i] { band(static_cast<int>(i) + 1); };
            }
            pending_ = slots_.size();
        }
        wake_.notify_all();
        band(0);
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [&] { return pending_ == 0; });
    }

  private:
    struct Slot {
        std::thread thread;
        std::function<void()> job;
    };

    void serve(Slot& slot) {
        pthread_setname_np(pthread_self(), "marlune.convert");
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return quit_ || slot.job; });
            if (quit_) return;
            auto job = std::move(slot.job);
            slot.job = nullptr;
            lock.unlock();
            job();
            lock.lock();
            if (--pending_ == 0) finished_.notify_one();
        }
    }

    std::vector<Slot> slots_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable finished_;
    std::size_t pending_ = 0;
    bool quit_ = false;
};

}  // namespace

struct VideoEncoder::Impl {
    VideoEncoderOptions options;
    av::CodecContext codec;
    int codedWidth = 0;  // the output size rounded up to even sides
    int codedHeight = 0;
    av::FramePtr work = av::makeFrame();     // H.264's converted pictures, coded size, reused
    av::FramePtr view = av::makeFrame();     // the converted picture seen at the output size
    av::FramePtr shared = av::makeFrame();   // a decoded picture handed on unchanged
    av::FramePtr wrapped = av::makeFrame();  // a BGRA image seen as a frame
    av::PacketPtr packet = av::makePacket();
    av::PacketPtr held;  // the newest packet, until its duration is known
    av::SwsPtr bgraSws;
    int bgraIn[2] = {0, 0};
    av::SwsPtr yuvSws;
    int yuvIn[3] = {0, 0, -1};
    PictureColour yuvColour;
    std::unique_ptr<BandWorkers> bands;  // BGRA conversions of the output size
    std::int64_t lastPts = std::numeric_limits<std::int64_t>::min();
    std::optional<std::int64_t> lastKeyPts;  // the newest key frame's time, once there is one
    // VP9 only: the encoders its groups of pictures are spread over, the picture being made for
    // them and where the current group started.
    std::unique_ptr<Vp9Lanes> lanes;
    av::FramePtr making;
    int groupPictures = 0;
    std::int64_t groupStart = 0;

    std::int64_t ptsFor(double seconds) {
        std::int64_t pts = av::timestamp(seconds, kTimeBase);
        if (lastPts != std::numeric_limits<std::int64_t>::min() && pts <= lastPts) {
            pts = lastPts + 1;
        }
        lastPts = pts;
        return pts;
    }

    // Prepares the next picture's frame for a conversion and returns the frame to convert into:
    // that frame itself, or a view of its top-left output-sized part when a side is odd.
    Result<AVFrame*> target() {
        auto frame = picture();
        if (!frame) return frame;
        if (codedWidth == options.width && codedHeight == options.height) return *frame;
        av_frame_unref(view.get());
        int rc = av_frame_ref(view.get(), *frame);
        if (rc < 0) return std::unexpected(av::error(rc));
        view->width = options.width;
        view->height = options.height;
        return view.get();
    }

    // Repeats the last column and row of an odd-sized picture into the coded padding. The chroma
    // planes of a 4:2:0 picture with odd sides already cover the padding.
    void padEdges() {
        av_frame_unref(view.get());
        AVFrame* frame = current();
        std::uint8_t* luma = frame->data[0];
        const int stride = frame->linesize[0];
        if (codedWidth != options.width) {
            for (int y = 0; y < options.height; ++y) {
                luma[y * stride + options.width] = luma[y * stride + options.width - 1];
            }
        }
        if (codedHeight != options.height) {
            std::memcpy(luma + options.height * stride, luma + (options.height - 1) * stride,
                        codedWidth);
        }
    }

    // The frame the next picture is converted into, made writable: `work`, or for VP9 one its
    // lanes are done with (or a new one).
    Result<AVFrame*> picture() {
        if (lanes && !making) {
            making = lanes->spare();
            if (!making) {
                making = av::makeFrame();
                if (auto made = allocate(making.get()); !made) return std::unexpected(made.error());
            }
        }
        int rc = av_frame_make_writable(current());
        if (rc < 0) return std::unexpected(av::error(rc));
        return current();
    }
    AVFrame* current() { return lanes ? making.get() : work.get(); }

    // Gives `frame` pixels for a picture of the coded size in the stream's colours.
    Result<void> allocate(AVFrame* frame) const {
        frame->format = AV_PIX_FMT_YUV420P;
        frame->width = codedWidth;
        frame->height = codedHeight;
        frame->color_range = AVCOL_RANGE_MPEG;
        frame->colorspace =
            options.matrix == ColourMatrix::bt709 ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
        int rc = av_frame_get_buffer(frame, 0);
        if (rc < 0) return std::unexpected(av::error(rc));
        return {};
    }

    // Encodes the converted picture.
    Result<std::vector<Packet>> sendConverted(std::int64_t pts) {
        if (!lanes) return send(work.get(), pts);
        return toLanes(std::move(making), pts, true);
    }

    // Hands a picture to the VP9 lanes, starting a group of pictures where a key frame is due.
    Result<std::vector<Packet>> toLanes(av::FramePtr frame, std::int64_t pts, bool reusable) {
        const bool key = groupPictures == 0 ||
                         groupPictures >= std::max(1, options.keyFrameInterval) ||
                         (options.keyFrameSeconds > 0 &&
                          pts - groupStart >= av::timestamp(options.keyFrameSeconds, kTimeBase));
        if (key) {
            groupPictures = 0;
            groupStart = pts;
        }
        ++groupPictures;
        auto ready = lanes->add(std::move(frame), pts, key, reusable);
        if (!ready) return std::unexpected(ready.error());
        return hold(std::move(*ready));
    }

    std::vector<Packet> hold(std::vector<av::PacketPtr> ready) {
        std::vector<Packet> out;
        for (auto& next : ready) passOn(std::move(next), held, out);
        return out;
    }

    Result<std::vector<Packet>> send(AVFrame* frame, std::int64_t pts) {
        frame->pts = pts;
        // Picture kinds and side data of a decoded picture would steer the encoder (a source
        // key frame would force one here).
        frame->pict_type = AV_PICTURE_TYPE_NONE;
        if (options.keyFrameSeconds > 0 &&
            (!lastKeyPts ||
             pts - *lastKeyPts >= av::timestamp(options.keyFrameSeconds, kTimeBase))) {
            frame->pict_type = AV_PICTURE_TYPE_I;
        }
        while (frame->nb_side_data > 0) {
            av_frame_remove_side_data(frame, frame->side_data[0]->type);
        }
        int rc = avcodec_send_frame(codec.get(), frame);
        if (rc < 0) return std::unexpected(av::error(rc));
        std::vector<Packet> out;
        auto drained = drain(codec.get(), packet.get(), held, out);
        if (!drained) return std::unexpected(drained.error());
        if (frame->pict_type == AV_PICTURE_TYPE_I) lastKeyPts = pts;
        for (const auto& p : out) {
            const auto at = p.ptsSeconds();
            if (!p.isKeyFrame() || !at) continue;
            const std::int64_t ticks = av::timestamp(*at, kTimeBase);
            lastKeyPts = std::max(lastKeyPts.value_or(ticks), ticks);
        }
        return out;
    }
};

VideoEncoder::VideoEncoder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
VideoEncoder::VideoEncoder(VideoEncoder&&) noexcept = default;
VideoEncoder& VideoEncoder::operator=(VideoEncoder&&) noexcept = default;
VideoEncoder::~VideoEncoder() = default;

namespace {

// One encoder with the options' settings, for pictures of the coded size. `threads` is libvpx's
// (libx264 picks its own).
Result<av::CodecContext> openCodec(const VideoEncoderOptions& options, int width, int height,
                                   int threads) {
    const bool vp9 = options.codec == VideoCodec::vp9;
    const AVCodec* encoder = avcodec_find_encoder_by_name(vp9 ? "libvpx-vp9" : "libx264");
    if (!encoder) return std::unexpected(av::error(AVERROR_ENCODER_NOT_FOUND));
    av::CodecContext codec(avcodec_alloc_context3(encoder));
    AVCodecContext* c = codec.get();
    if (!c) return std::unexpected(av::error(AVERROR(ENOMEM)));
    c->width = width;
    c->height = height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = kTimeBase;
    c->framerate = AVRational{options.fps, 1};
    c->bit_rate = options.bitRate;
    c->gop_size = options.keyFrameInterval;
    c->max_b_frames = 0;
    c->thread_count = vp9 ? threads : 0;
    // MPEG-4 keeps the parameter sets in the track header, not in the stream.
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const bool hd = options.matrix == ColourMatrix::bt709;
    c->color_range = AVCOL_RANGE_MPEG;
    c->colorspace = hd ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
    c->color_primaries = hd ? AVCOL_PRI_BT709 : AVCOL_PRI_SMPTE170M;
    c->color_trc = hd ? AVCOL_TRC_BT709 : AVCOL_TRC_SMPTE170M;

    AVDictionary* settings = nullptr;
    if (vp9) {
        av_dict_set(&settings, "deadline", "realtime", 0);
        av_dict_set(&settings, "cpu-used", "8", 0);
        av_dict_set(&settings, "row-mt", "1", 0);
        av_dict_set(&settings, "tile-columns", "2", 0);
    } else {
        av_dict_set(&settings, "preset", options.preset.c_str(), 0);
        av_dict_set(&settings, "profile", "high", 0);
    }
    int rc = avcodec_open2(c, encoder, &settings);
    av_dict_free(&settings);
    if (rc < 0) return std::unexpected(av::error(rc));
    return codec;
}

// How VP9 is spread: over two lanes on two cores or more, each with an equal share of the cores
// (at most four threads: one per tile column), with pictures queued for each lane up to a whole
// group of pictures, within 200 MB a lane. Each lane's encoder holds its own look-ahead (about
// 100 MB at 1080p), so pictures larger than 1080p keep to one lane.
Vp9Lanes::Options laneOptions(const VideoEncoderOptions& options, int width, int height,
                              int cores) {
    const std::size_t pictureBytes = static_cast<std::size_t>(width) * height * 3 / 2;
    const std::size_t fit = (std::size_t{200} << 20) / std::max<std::size_t>(pictureBytes, 1);
    const bool spread = cores >= 2 && static_cast<std::int64_t>(width) * height <= 1920 * 1088;
    return {.lanes = spread ? 2 : 1,
            .queued = std::clamp<std::size_t>(
                fit, 4, static_cast<std::size_t>(std::max(options.keyFrameInterval, 4))),
            .frameTicks = std::max<std::int64_t>(1, kTimeBase.den / options.fps)};
}

}  // namespace

Result<VideoEncoder> VideoEncoder::open(VideoEncoderOptions options) {
    if (options.width <= 0 || options.height <= 0 || options.fps <= 0) {
        return std::unexpected(av::error(AVERROR(EINVAL)));
    }
    auto impl = std::make_unique<Impl>();
    impl->options = options;
    const int width = impl->codedWidth = options.width + (options.width & 1);
    const int height = impl->codedHeight = options.height + (options.height & 1);
    if (options.codec == VideoCodec::vp9) {
        const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
        const auto spread = laneOptions(options, width, height, cores);
        const int threads = std::clamp(cores / spread.lanes, 1, 4);
        auto lanes =
            Vp9Lanes::open(spread, [&] { return openCodec(options, width, height, threads); });
        if (!lanes) return std::unexpected(lanes.error());
        impl->lanes = std::move(*lanes);
    } else {
        auto codec = openCodec(options, width, height, 0);
        if (!codec) return std::unexpected(codec.error());
        impl->codec = std::move(*codec);
        // H.264 converts every picture into `work`; VP9's are made in frames that travel to its
        // lanes and back.
        if (auto made = impl->allocate(impl->work.get()); !made) {
            return std::unexpected(made.error());
        }
    }
    return VideoEncoder(std::move(impl));
}

const AVCodecContext* av::encoderContext(const VideoEncoder& encoder) {
    const auto& e = encoder.impl();
    return e.lanes ? e.lanes->context() : e.codec.get();
}

const VideoEncoderOptions& VideoEncoder::options() const {
    return impl_->options;
}

Result<std::vector<Packet>> VideoEncoder::encode(const VideoPicture& picture, double timeSeconds) {
    Impl& e = *impl_;
    if (!picture) return std::unexpected(av::error(AVERROR(EINVAL)));
    const AVFrame* f = picture.impl()->frame.get();
    const PictureColour colour = picture.colour();
    const std::int64_t pts = e.ptsFor(timeSeconds);
    if (f->format == AV_PIX_FMT_YUV420P && !colour.fullRange && f->width == e.codedWidth &&
        f->height == e.codedHeight) {
        if (e.lanes) {
            auto shared = av::makeFrame();
            int rc = av_frame_ref(shared.get(), f);
            if (rc < 0) return std::unexpected(av::error(rc));
            return e.toLanes(std::move(shared), pts, false);
        }
        av_frame_unref(e.shared.get());
        int rc = av_frame_ref(e.shared.get(), f);
        if (rc < 0) return std::unexpected(av::error(rc));
        auto out = e.send(e.shared.get(), pts);
        av_frame_unref(e.shared.get());
        return out;
    }
    if (!e.yuvSws || e.yuvIn[0] != f->width || e.yuvIn[1] != f->height || e.yuvIn[2] != f->format ||
        e.yuvColour != colour) {
        e.yuvSws = av::makeScaler(f->width, f->height, static_cast<AVPixelFormat>(f->format),
                                  e.options.width, e.options.height, AV_PIX_FMT_YUV420P,
                                  e.options.conversionThreads);
        if (!e.yuvSws) return fail("Could not convert the picture.");
        sws_setColorspaceDetails(e.yuvSws.get(), av::swsCoefficients(colour.matrix),
                                 colour.fullRange ? 1 : 0, av::swsCoefficients(e.options.matrix), 0,
                                 0, 1 << 16, 1 << 16);
        e.yuvIn[0] = f->width;
        e.yuvIn[1] = f->height;
        e.yuvIn[2] = f->format;
        e.yuvColour = colour;
    }
    auto dst = e.target();
    if (!dst) return std::unexpected(dst.error());
    int rc = sws_scale_frame(e.yuvSws.get(), *dst, f);
    e.padEdges();
    if (rc < 0) return std::unexpected(av::error(rc));
    return e.sendConverted(pts);
}

Result<std::vector<Packet>> VideoEncoder::encode(const BgraPixels& image, double timeSeconds) {
    Impl& e = *impl_;
    if (!image.empty() && image.width == e.options.width && image.height == e.options.height) {
        // The common case, a canvas of the output size: our own conversion, in bands side by
        // side, about four times faster than the general scaler's path for BGRA.
        const std::int64_t pts = e.ptsFor(timeSeconds);
        auto target = e.picture();
        if (!target) return std::unexpected(target.error());
        AVFrame* work = *target;
        if (!e.bands) e.bands = std::make_unique<BandWorkers>(e.options.conversionThreads - 1);
        const YuvPlanes planes{work->data[0],     work->linesize[0], work->data[1],
                               work->linesize[1], work->data[2],     work->linesize[2]};
        const int count = e.bands->bands();
        const int height = image.height;
        e.bands->run([&](int band) {
            // Bands start on even rows: they never share a chroma row.
            const int begin = (height * band / count) & ~1;
            const int end = band + 1 == count ? height : (height * (band + 1) / count) & ~1;
            bgraToYuv420(image, begin, end, planes, e.options.matrix);
        });
        e.padEdges();
        return e.sendConverted(pts);
    }
    auto wrapped = av::wrapImage(image, e.wrapped.get());
    if (!wrapped) return std::unexpected(wrapped.error());
    if (!e.bgraSws || e.bgraIn[0] != image.width || e.bgraIn[1] != image.height) {
        e.bgraSws =
            av::makeScaler(image.width, image.height, AV_PIX_FMT_BGRA, e.options.width,
                           e.options.height, AV_PIX_FMT_YUV420P, e.options.conversionThreads);
        if (!e.bgraSws) return fail("Could not convert the picture.");
        sws_setColorspaceDetails(e.bgraSws.get(), sws_getCoefficients(SWS_CS_DEFAULT), 1,
                                 av::swsCoefficients(e.options.matrix), 0, 0, 1 << 16, 1 << 16);
        e.bgraIn[0] = image.width;
        e.bgraIn[1] = image.height;
    }
    const std::int64_t pts = e.ptsFor(timeSeconds);
    auto dst = e.target();
    if (!dst) return std::unexpected(dst.error());
    int rc = sws_scale_frame(e.bgraSws.get(), *dst, e.wrapped.get());
    av_frame_unref(e.wrapped.get());
    e.padEdges();
    if (rc < 0) return std::unexpected(av::error(rc));
    return e.sendConverted(pts);
}

Result<std::vector<Packet>> VideoEncoder::finish(std::optional<double> endSeconds) {
    Impl& e = *impl_;
    std::vector<Packet> out;
    if (e.lanes) {
        auto rest = e.lanes->finish();
        if (!rest) return std::unexpected(rest.error());
        out = e.hold(std::move(*rest));
    } else {
        int rc = avcodec_send_frame(e.codec.get(), nullptr);
        if (rc < 0 && rc != AVERROR_EOF) return std::unexpected(av::error(rc));
        auto drained = drain(e.codec.get(), e.packet.get(), e.held, out);
        if (!drained) return std::unexpected(drained.error());
    }
    if (e.held) {
        std::int64_t duration = kTimeBase.den / e.options.fps;
        if (endSeconds) {
            const std::int64_t end = av::timestamp(*endSeconds, kTimeBase);
            if (end > e.held->pts) duration = end - e.held->pts;
        }
        e.held->duration = duration;
        auto impl = std::make_unique<Packet::Impl>();
        impl->packet = std::move(e.held);
        out.emplace_back(std::move(impl));
    }
    return out;
}

}  // namespace marlune
