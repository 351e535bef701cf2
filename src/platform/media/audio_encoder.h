#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/error.h"
#include "platform/media/media_file.h"

namespace marlune {

struct AudioEncoderOptions {
    int sampleRate = 48000;
    int channels = 2;
    std::int64_t bitRate = 192'000;  // bits per second
    bool opus = false;               // Opus (libopus, for WebM) instead of AAC
};

// AAC (FFmpeg's encoder, low complexity) or Opus from interleaved 32-bit float samples. The first
// sample given is time 0; packets carry their times in seconds from there (the encoder's own
// start-up delay shows as a slightly negative first time, which the muxer records so that
// players skip it). One thread at a time (any thread). Move-only.
class AudioEncoder {
  public:
    // Fails with FFmpeg's text when the encoder refuses the settings.
    static Result<AudioEncoder> open(AudioEncoderOptions options);

    AudioEncoder(AudioEncoder&&) noexcept;
    AudioEncoder& operator=(AudioEncoder&&) noexcept;
    ~AudioEncoder();

    const AudioEncoderOptions& options() const;

    // Appends samples (a whole number of frames); returns the packets completed.
    Result<std::vector<Packet>> encode(std::span<const float> interleaved);
    // Encodes what is buffered and drains the encoder. Nothing may be encoded afterwards.
    Result<std::vector<Packet>> finish();

    struct Impl;
    Impl& impl() const { return *impl_; }

  private:
    explicit AudioEncoder(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace marlune
