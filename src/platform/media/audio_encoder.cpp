#include "platform/media/audio_encoder.h"

#include <algorithm>

#include "platform/media/av_support.h"

namespace marlune {

struct AudioEncoder::Impl {
    AudioEncoderOptions options;
    av::CodecContext codec;
    av::FramePtr frame = av::makeFrame();
    av::PacketPtr packet = av::makePacket();
    int frameSize = 1024;      // samples per channel the encoder takes at once
    int buffered = 0;          // samples per channel waiting in `frame`
    std::int64_t nextPts = 0;  // in samples

    Result<void> drainInto(std::vector<Packet>& out) {
        for (;;) {
            int rc = avcodec_receive_packet(codec.get(), packet.get());
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return {};
            if (rc < 0) return std::unexpected(av::error(rc));
            auto impl = std::make_unique<Packet::Impl>();
            impl->packet = av::makePacket();
            av_packet_move_ref(impl->packet.get(), packet.get());
            impl->packet->time_base = codec->time_base;
            out.emplace_back(std::move(impl));
        }
    }

    // Sends the buffered samples (a short last frame included) and collects the packets.
    Result<void> sendBuffered(std::vector<Packet>& out) {
        if (buffered == 0) return {};
        frame->nb_samples = buffered;
        frame->pts = nextPts;
        nextPts += buffered;
        buffered = 0;
        int rc = avcodec_send_frame(codec.get(), frame.get());
        if (rc < 0) return std::unexpected(av::error(rc));
        // The encoder may keep a reference; the next samples go into a buffer of their own.
        frame->nb_samples = frameSize;
        rc = av_frame_make_writable(frame.get());
        if (rc < 0) return std::unexpected(av::error(rc));
        return drainInto(out);
    }
};

AudioEncoder::AudioEncoder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AudioEncoder::AudioEncoder(AudioEncoder&&) noexcept = default;
AudioEncoder& AudioEncoder::operator=(AudioEncoder&&) noexcept = default;
AudioEncoder::~AudioEncoder() = default;

Result<AudioEncoder> AudioEncoder::open(AudioEncoderOptions options) {
    if (options.sampleRate <= 0 || options.channels <= 0) {
        return std::unexpected(av::error(AVERROR(EINVAL)));
    }
    const AVCodec* aac = options.opus ? avcodec_find_encoder_by_name("libopus")
                                      : avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!aac) return std::unexpected(av::error(AVERROR_ENCODER_NOT_FOUND));
    auto impl = std::make_unique<Impl>();
    impl->options = options;
    impl->codec.reset(avcodec_alloc_context3(aac));
    AVCodecContext* c = impl->codec.get();
    if (!c) return std::unexpected(av::error(AVERROR(ENOMEM)));
    const AVSampleFormat format = options.opus ? AV_SAMPLE_FMT_FLT : AV_SAMPLE_FMT_FLTP;
    c->sample_fmt = format;
    c->sample_rate = options.sampleRate;
    av_channel_layout_default(&c->ch_layout, options.channels);
    c->bit_rate = options.bitRate;
    c->time_base = AVRational{1, options.sampleRate};
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int rc = avcodec_open2(c, aac, nullptr);
    if (rc < 0) return std::unexpected(av::error(rc));
    if (c->frame_size > 0) impl->frameSize = c->frame_size;

    AVFrame* f = impl->frame.get();
    f->format = format;
    f->sample_rate = options.sampleRate;
    rc = av_channel_layout_copy(&f->ch_layout, &c->ch_layout);
    if (rc < 0) return std::unexpected(av::error(rc));
    f->nb_samples = impl->frameSize;
    rc = av_frame_get_buffer(f, 0);
    if (rc < 0) return std::unexpected(av::error(rc));
    return AudioEncoder(std::move(impl));
}

const AVCodecContext* av::encoderContext(const AudioEncoder& encoder) {
    return encoder.impl().codec.get();
}

const AudioEncoderOptions& AudioEncoder::options() const {
    return impl_->options;
}

Result<std::vector<Packet>> AudioEncoder::encode(std::span<const float> interleaved) {
    Impl& e = *impl_;
    const int channels = e.options.channels;
    std::vector<Packet> out;
    std::size_t frames = interleaved.size() / channels;
    const float* in = interleaved.data();
    while (frames > 0) {
        const std::size_t take =
            std::min<std::size_t>(frames, static_cast<std::size_t>(e.frameSize - e.buffered));
        if (e.options.opus) {  // libopus takes the samples interleaved
            auto* to = reinterpret_cast<float*>(e.frame->data[0]) + e.buffered * channels;
            std::copy(in, in + take * channels, to);
        } else {
            for (int ch = 0; ch < channels; ++ch) {
                auto* plane = reinterpret_cast<float*>(e.frame->extended_data[ch]) + e.buffered;
                for (std::size_t i = 0; i < take; ++i) plane[i] = in[i * channels + ch];
            }
        }
        e.buffered += static_cast<int>(take);
        in += take * channels;
        frames -= take;
        if (e.buffered == e.frameSize) {
            auto sent = e.sendBuffered(out);
            if (!sent) return std::unexpected(sent.error());
        }
    }
    return out;
}

Result<std::vector<Packet>> AudioEncoder::finish() {
    Impl& e = *impl_;
    std::vector<Packet> out;
    auto sent = e.sendBuffered(out);
    if (!sent) return std::unexpected(sent.error());
    int rc = avcodec_send_frame(e.codec.get(), nullptr);
    if (rc < 0 && rc != AVERROR_EOF) return std::unexpected(av::error(rc));
    auto drained = e.drainInto(out);
    if (!drained) return std::unexpected(drained.error());
    return out;
}

}  // namespace marlune
