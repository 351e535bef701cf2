#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <vector>

#include "core/error.h"

namespace marlune {

// One audio track of a mix and its constant linear gain.
struct AudioMixTrack {
    int trackIndex = 0;
    double gain = 1.0;
};

// Reads a time range of a movie's audio as one mixed stream: every listed track is decoded,
// resampled to the same rate and channel count, multiplied by its gain and summed. Sample 0 of
// the mix is the range's start, so the mix lines up with the movie's pictures of the range
// (a track that starts late is preceded by silence). It ends at the range's end, or earlier
// when every track has ended. Interleaved 32-bit float samples. Each track reads the file on
// its own. One thread at a time (any thread). Move-only.
class AudioMixReader {
  public:
    // Fails with FFmpeg's text when the file can't be opened, a listed track is not audio or
    // has no usable decoder.
    static Result<AudioMixReader> open(const std::filesystem::path& movie,
                                       std::vector<AudioMixTrack> tracks, double startSeconds,
                                       double endSeconds, int sampleRate = 48000, int channels = 2);

    AudioMixReader(AudioMixReader&&) noexcept;
    AudioMixReader& operator=(AudioMixReader&&) noexcept;
    ~AudioMixReader();

    int sampleRate() const;
    int channels() const;

    // Fills `out` (a whole number of frames) with the next mixed frames; returns how many frames
    // it wrote, fewer than asked only at the end, 0 once the mix is over. A file that can't be
    // read further fails with FFmpeg's text.
    Result<std::int64_t> read(std::span<float> out);

    struct Impl;

  private:
    explicit AudioMixReader(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace marlune
