#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/error.h"
#include "platform/media/media_file.h"

namespace marlune {

enum class SampleFormat {
    s16,  // signed 16-bit, native (little) endian
    f32,  // 32-bit float, −1 … 1
};

// The PCM form an AudioDecoder delivers; samples are always interleaved.
struct AudioFormat {
    int sampleRate = 0;  // 0 keeps the track's own rate
    int channels = 1;    // 1 mixes every channel down to one
    SampleFormat format = SampleFormat::s16;
};

// One run of decoded PCM: `frameCount` frames of `channels` interleaved samples each.
struct AudioBuffer {
    int sampleRate = 0;
    int channels = 0;
    SampleFormat format = SampleFormat::s16;
    std::int64_t frameCount = 0;
    double startSeconds = 0.0;  // on the movie's timeline
    std::vector<std::uint8_t> data;

    // The samples, for the buffer's own format (empty for the other one).
    std::span<const std::int16_t> s16() const;
    std::span<const float> f32() const;
};

// Decodes one audio track to PCM of a chosen form, resampling and remixing as needed, in
// buffers of whatever size the codec produces. Owns its MediaFile; one thread at a time (any
// thread). Move-only.
class AudioDecoder {
  public:
    // Fails with FFmpeg's text when the track has no usable decoder or the conversion can't be
    // set up.
    static Result<AudioDecoder> open(MediaFile file, int trackIndex, AudioFormat format);

    AudioDecoder(AudioDecoder&&) noexcept;
    AudioDecoder& operator=(AudioDecoder&&) noexcept;
    ~AudioDecoder();

    // The delivered form, with the sample rate filled in.
    const AudioFormat& format() const;
    // Continues decoding from the packet at or before `seconds`; the next buffer may start
    // before `seconds`. Its times again come from the first packet decoded.
    Result<void> seek(double seconds);
    // The next buffer; nothing once the track is done. A damaged packet is skipped; a file that
    // can't be read further fails with FFmpeg's text.
    Result<std::optional<AudioBuffer>> next();

    struct Impl;

  private:
    explicit AudioDecoder(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace marlune
