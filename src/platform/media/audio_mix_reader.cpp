#include "platform/media/audio_mix_reader.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "platform/media/audio_decoder.h"

namespace marlune {

namespace {

// Decoding starts this long before the range: a decoder needs a packet or two of history before
// its output is right (AAC overlaps each frame with the one before).
constexpr double kPreRollSeconds = 0.2;

// One track's decoded samples waiting to be mixed: `silence` frames from mix frame `position`
// on, then `pending`. The silence before a track's first sound is only counted: a range that
// starts long before the movie would not fit in memory.
struct TrackFeed {
    AudioDecoder decoder;
    double gain = 1.0;
    std::vector<float> pending;
    std::size_t offset = 0;  // samples of `pending` already mixed
    bool ended = false;
    std::int64_t silence = 0;

    std::int64_t framesHeld(int channels) const {
        return silence + static_cast<std::int64_t>((pending.size() - offset) / channels);
    }
};

}  // namespace

struct AudioMixReader::Impl {
    std::vector<TrackFeed> tracks;
    double startSeconds = 0;
    std::int64_t totalFrames = 0;  // frames in the range
    std::int64_t position = 0;     // frames of the mix delivered so far
    int sampleRate = 48000;
    int channels = 2;

    // Appends `buffer` to the track so that its samples sit at their own times relative to the
    // range: samples before the mix position are dropped, a gap is filled with silence.
    void place(TrackFeed& t, const AudioBuffer& buffer) {
        auto samples = buffer.f32();
        auto at = static_cast<std::int64_t>(
            std::llround((buffer.startSeconds - startSeconds) * sampleRate));
        const std::int64_t expected = position + t.framesHeld(channels);
        std::size_t skip = 0;
        if (at < expected) {
            skip = static_cast<std::size_t>(
                std::min<std::int64_t>(expected - at, buffer.frameCount) * channels);
        } else if (at > expected) {
            // Silence up to the buffer, or to the range's end: what lies beyond is never mixed.
            const std::int64_t gap = std::min(at, totalFrames) - expected;
            if (gap > 0 && t.pending.size() == t.offset) {
                t.silence += gap;
            } else if (gap > 0) {
                t.pending.insert(t.pending.end(), static_cast<std::size_t>(gap) * channels, 0.0f);
            }
            if (at >= totalFrames) return;
        }
        t.pending.insert(t.pending.end(), samples.begin() + skip, samples.end());
    }

    // Decodes until the track holds `frames` frames from the mix position, or has ended.
    Result<void> fill(TrackFeed& t, std::int64_t frames) {
        while (!t.ended && t.framesHeld(channels) < frames) {
            auto buffer = t.decoder.next();
            if (!buffer) return std::unexpected(buffer.error());
            if (!*buffer) {
                t.ended = true;
                break;
            }
            place(t, **buffer);
        }
        return {};
    }
};

AudioMixReader::AudioMixReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AudioMixReader::AudioMixReader(AudioMixReader&&) noexcept = default;
AudioMixReader& AudioMixReader::operator=(AudioMixReader&&) noexcept = default;
AudioMixReader::~AudioMixReader() = default;

Result<AudioMixReader> AudioMixReader::open(const std::filesystem::path& movie,
                                            std::vector<AudioMixTrack> tracks, double startSeconds,
                                            double endSeconds, int sampleRate, int channels) {
    auto impl = std::make_unique<Impl>();
    impl->startSeconds = startSeconds;
    impl->sampleRate = sampleRate;
    impl->channels = channels;
    impl->totalFrames = std::max<std::int64_t>(
        0, std::llround((endSeconds - startSeconds) * static_cast<double>(sampleRate)));
    for (const auto& track : tracks) {
        auto file = MediaFile::open(movie);
        if (!file) return std::unexpected(file.error());
        auto decoder = AudioDecoder::open(
            std::move(*file), track.trackIndex,
            {.sampleRate = sampleRate, .channels = channels, .format = SampleFormat::f32});
        if (!decoder) return std::unexpected(decoder.error());
        // A movie without an index still reads from its start; the early samples are dropped.
        if (startSeconds > 0) (void)decoder->seek(std::max(0.0, startSeconds - kPreRollSeconds));
        impl->tracks.push_back(TrackFeed{std::move(*decoder), track.gain, {}, 0, false, 0});
    }
    return AudioMixReader(std::move(impl));
}

int AudioMixReader::sampleRate() const {
    return impl_->sampleRate;
}

int AudioMixReader::channels() const {
    return impl_->channels;
}

Result<std::int64_t> AudioMixReader::read(std::span<float> out) {
    Impl& m = *impl_;
    const int ch = m.channels;
    std::int64_t frames = std::min<std::int64_t>(static_cast<std::int64_t>(out.size()) / ch,
                                                 m.totalFrames - m.position);
    if (frames <= 0) return 0;
    std::int64_t available = 0;
    for (auto& t : m.tracks) {
        auto filled = m.fill(t, frames);
        if (!filled) return std::unexpected(filled.error());
        available = std::max(available, t.framesHeld(ch));
    }
    // Short only when every track has ended.
    frames = std::min(frames, available);
    const auto samples = static_cast<std::size_t>(frames * ch);
    std::fill(out.begin(), out.begin() + samples, 0.0f);
    for (auto& t : m.tracks) {
        const std::int64_t quiet = std::min(t.silence, frames);
        t.silence -= quiet;
        const auto from = static_cast<std::size_t>(quiet * ch);
        const std::size_t take = std::min(samples - from, t.pending.size() - t.offset);
        const float gain = static_cast<float>(t.gain);
        const float* in = t.pending.data() + t.offset;
        for (std::size_t i = 0; i < take; ++i) out[from + i] += gain * in[i];
        t.offset += take;
        // Keep the waiting samples at the front once most of the vector is spent.
        if (t.offset > t.pending.size() / 2) {
            t.pending.erase(t.pending.begin(), t.pending.begin() + t.offset);
            t.offset = 0;
        }
    }
    m.position += frames;
    return frames;
}

}  // namespace marlune
