#include "platform/media/audio_decoder.h"

#include <cmath>

#include "platform/media/av_support.h"

namespace marlune {

namespace {

// A decoded frame stamped this much later (or earlier) than the end of the one before starts
// after a break in the track (buffers the recorder dropped): its samples keep their own time.
constexpr double kBreakSeconds = 0.002;

}  // namespace

std::span<const std::int16_t> AudioBuffer::s16() const {
    if (format != SampleFormat::s16) return {};
    return {reinterpret_cast<const std::int16_t*>(data.data()), data.size() / 2};
}

std::span<const float> AudioBuffer::f32() const {
    if (format != SampleFormat::f32) return {};
    return {reinterpret_cast<const float*>(data.data()), data.size() / 4};
}

struct AudioDecoder::Impl {
    MediaFile file;
    int trackIndex = 0;
    AVStream* stream = nullptr;
    av::CodecContext codec;
    AudioFormat format;
    AVSampleFormat outFormat = AV_SAMPLE_FMT_S16;
    AVChannelLayout outLayout{};
    av::SwrPtr swr;
    // The input form the converter was set up for; a change mid-track rebuilds it.
    AVChannelLayout inLayout{};
    int inRate = 0;
    int inFormat = -1;
    av::FramePtr frame = av::makeFrame();
    bool flushed = false;  // end of file reached, decoder told so
    bool done = false;     // decoder and converter drained
    std::optional<double> nextTime;
    // Where the next decoded frame would start if the track ran on without a break.
    std::optional<double> inputNext;

    explicit Impl(MediaFile f) : file(std::move(f)) {}
    ~Impl() {
        av_channel_layout_uninit(&outLayout);
        av_channel_layout_uninit(&inLayout);
    }

    int bytesPerFrame() const { return format.channels * av_get_bytes_per_sample(outFormat); }

    Result<void> setUpConverter(const AVFrame* f) {
        if (swr && inRate == f->sample_rate && inFormat == f->format &&
            av_channel_layout_compare(&inLayout, &f->ch_layout) == 0) {
            return {};
        }
        SwrContext* raw = nullptr;
        AVChannelLayout in{};
        if (f->ch_layout.nb_channels > 0 && f->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC) {
            av_channel_layout_copy(&in, &f->ch_layout);
        } else {
            // Unspecified order: FFmpeg's usual layout for that many channels.
            av_channel_layout_default(&in, std::max(1, f->ch_layout.nb_channels));
        }
        int rc =
            swr_alloc_set_opts2(&raw, &outLayout, outFormat, format.sampleRate, &in,
                                static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr);
        av::SwrPtr next(raw);
        // A mono track spread over several channels plays at its own level on each, as players
        // do, not 3 dB down (the converter's fixed weight for a lone centre channel).
        if (rc >= 0 && in.nb_channels == 1 && outLayout.nb_channels > 1) {
            std::vector<double> weights(static_cast<std::size_t>(outLayout.nb_channels), 1.0);
            rc = swr_set_matrix(raw, weights.data(), 1);
        }
        if (rc >= 0) rc = swr_init(raw);
        if (rc < 0) {
            av_channel_layout_uninit(&in);
            return std::unexpected(av::error(rc));
        }
        swr = std::move(next);
        av_channel_layout_uninit(&inLayout);
        inLayout = in;
        inRate = f->sample_rate;
        inFormat = f->format;
        return {};
    }

    // Converts `f` (or drains the converter when null) into a buffer; an empty buffer when the
    // converter holds everything back.
    Result<AudioBuffer> convert(const AVFrame* f) {
        int inSamples = f ? f->nb_samples : 0;
        int capacity = swr_get_out_samples(swr.get(), inSamples);
        if (capacity < 0) return std::unexpected(av::error(capacity));
        AudioBuffer buffer;
        buffer.sampleRate = format.sampleRate;
        buffer.channels = format.channels;
        buffer.format = format.format;
        buffer.data.resize(static_cast<std::size_t>(capacity) * bytesPerFrame());
        std::uint8_t* out[1] = {buffer.data.data()};
        int made = swr_convert(swr.get(), out, capacity,
                               f ? const_cast<const std::uint8_t**>(f->extended_data) : nullptr,
                               inSamples);
        if (made < 0) return std::unexpected(av::error(made));
        buffer.frameCount = made;
        buffer.data.resize(static_cast<std::size_t>(made) * bytesPerFrame());
        if (f) {
            std::int64_t ts =
                f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
            if (auto s = av::seconds(ts, stream->time_base)) {
                if (!nextTime) {
                    nextTime = *s;
                } else if (inputNext && std::abs(*s - *inputNext) > kBreakSeconds) {
                    *nextTime += *s - *inputNext;
                }
                if (f->sample_rate > 0) inputNext = *s + double(f->nb_samples) / f->sample_rate;
            }
        }
        // Time runs on from the first stamp by the samples delivered, so the converter's delay
        // doesn't make the buffers overlap; only a break in the track moves it.
        buffer.startSeconds = nextTime.value_or(0.0);
        nextTime = buffer.startSeconds + double(made) / format.sampleRate;
        return buffer;
    }

    // Decodes the next frame into `frame`; false at the end of the track.
    Result<bool> decode() {
        return av::decodeNext(codec.get(), file, trackIndex, flushed, frame.get());
    }
};

AudioDecoder::AudioDecoder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AudioDecoder::AudioDecoder(AudioDecoder&&) noexcept = default;
AudioDecoder& AudioDecoder::operator=(AudioDecoder&&) noexcept = default;
AudioDecoder::~AudioDecoder() = default;

Result<AudioDecoder> AudioDecoder::open(MediaFile file, int trackIndex, AudioFormat format) {
    const auto& tracks = file.tracks();
    if (trackIndex < 0 || trackIndex >= static_cast<int>(tracks.size()) ||
        tracks[trackIndex].kind != TrackKind::audio || format.channels < 1) {
        return std::unexpected(av::error(AVERROR_STREAM_NOT_FOUND));
    }
    auto impl = std::make_unique<Impl>(std::move(file));
    impl->trackIndex = trackIndex;
    AVFormatContext* input = impl->file.impl().input.get();
    impl->stream = input->streams[trackIndex];
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        if (static_cast<int>(i) != trackIndex) input->streams[i]->discard = AVDISCARD_ALL;
    }
    auto codec = av::openDecoder(impl->stream, 1);
    if (!codec) return std::unexpected(codec.error());
    impl->codec = std::move(*codec);
    if (format.sampleRate <= 0) format.sampleRate = impl->codec->sample_rate;
    if (format.sampleRate <= 0) return std::unexpected(av::error(AVERROR_INVALIDDATA));
    impl->format = format;
    impl->outFormat = format.format == SampleFormat::s16 ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_FLT;
    av_channel_layout_default(&impl->outLayout, format.channels);
    return AudioDecoder(std::move(impl));
}

const AudioFormat& AudioDecoder::format() const {
    return impl_->format;
}

Result<void> AudioDecoder::seek(double seconds) {
    Impl& d = *impl_;
    auto rc = d.file.seek(seconds, d.trackIndex);
    if (!rc) return rc;
    avcodec_flush_buffers(d.codec.get());
    // Whatever the converter still holds belongs before the seek.
    d.swr.reset();
    d.inRate = 0;
    d.inFormat = -1;
    d.flushed = false;
    d.done = false;
    d.nextTime.reset();
    d.inputNext.reset();
    return {};
}

Result<std::optional<AudioBuffer>> AudioDecoder::next() {
    Impl& d = *impl_;
    while (!d.done) {
        auto got = d.decode();
        if (!got) return std::unexpected(got.error());
        if (!*got) {
            d.done = true;
            if (!d.swr) break;
            auto tail = d.convert(nullptr);
            if (!tail) return std::unexpected(tail.error());
            if (tail->frameCount > 0) return std::optional<AudioBuffer>(std::move(*tail));
            break;
        }
        auto ready = d.setUpConverter(d.frame.get());
        if (!ready) return std::unexpected(ready.error());
        auto buffer = d.convert(d.frame.get());
        av_frame_unref(d.frame.get());
        if (!buffer) return std::unexpected(buffer.error());
        if (buffer->frameCount > 0) return std::optional<AudioBuffer>(std::move(*buffer));
    }
    return std::optional<AudioBuffer>();
}

}  // namespace marlune
