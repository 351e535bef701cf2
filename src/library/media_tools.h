#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "library/exported_movie.h"

namespace marlune {

// Quick tools over one recording that need no re-encoding: the audio waveform the page draws
// under its timeline, and a trimmed copy. Its only state is the trims still running; the
// application object owns one.
class MediaTools {
  public:
    MediaTools();
    // Cancels the trims still running (their completions still come, with an error) and returns
    // once none of them is left, their partial copies removed. Main thread.
    ~MediaTools();
    MediaTools(const MediaTools&) = delete;
    MediaTools& operator=(const MediaTools&) = delete;

    static constexpr int kDefaultBuckets = 800;
    // Samples per loudness window.
    static constexpr int kWindowSamples = 2048;

    // The loudest sound per slice of the recording's first audio track: at most `buckets`
    // values in 0…1 with three decimals, scaled so the loudest is 1 unless the whole track is
    // nearly silent; empty for a movie without audio and for a file that is missing, unreadable,
    // not a regular file inside the folder, or no movie. Runs on the shared pool; `completion`
    // runs once, on a pool thread. Fails with "Invalid file name.", "Could not read audio
    // track.", the reader's own text, or "Audio read failed.". Any thread.
    using WaveformCompletion = std::function<void(Result<std::vector<double>>)>;
    void waveform(std::string_view name, int buckets, WaveformCompletion completion) const;

    // Copies [startMs, endMs) of the recording, fitted to the movie (from 0 at the earliest to its
    // end at the latest), without re-encoding, into a new movie beside it named "<name without
    // extension> trimmed.mp4" (" trimmed 2.mp4", " trimmed 3.mp4", … when taken). The copy is
    // written under a hidden temporary name and takes the first free name only once whole, never
    // replacing a file. The copy shows from startMs on (the pictures from the key frame before
    // it are there for decoding only, hidden by the movie's edit list). It takes the recording's
    // project file along, on its own timeline (trimmedProject), and its webcam movie trimmed to
    // the same moments, named after the copy; a copy whose companions cannot be made is made
    // without them.
    // `progress` gets the fraction done every 0.25 s from 0.25 s after the start until just
    // before `completion`; `completion` gets the new file's name relative to the folder and the
    // length of the range copied, or "Invalid file name.", "Trim range is empty.", "The range
    // lies outside the recording.", the copy's own error, or "Export failed." (nothing is left
    // behind). Both run on the main thread. Main thread.
    using TrimProgress = std::function<void(double)>;
    using TrimCompletion = std::function<void(Result<ExportedMovie>)>;
    void exportTrim(std::string_view name, std::int64_t startMs, std::int64_t endMs,
                    TrimProgress progress, TrimCompletion completion) const;

    struct Trims;

  private:
    std::shared_ptr<Trims> trims_;
};

// The loudness of consecutive 2048-sample windows of a sample stream delivered in pieces of any
// size (a window may span pieces). A window's value is its largest |sample| / 32767, with
// −32768 counted as 32767, so a full-scale window gives exactly 1.
class PeakWindows {
  public:
    void add(std::span<const std::int16_t> samples);
    // The window values, including a last, partial window.
    std::vector<double> finish();

  private:
    std::vector<double> peaks_;
    int peak_ = 0;
    int count_ = 0;
};

// From window values to what the page draws: at most `buckets` values (when there are more
// windows, bucket i is the largest of windows trunc(i·P/B) … max(trunc((i+1)·P/B), that + 1)
// − 1), divided by the largest when it exceeds 0.01 (and capped at 1), rounded to three
// decimals, halves away from zero.
std::vector<double> waveformFromPeaks(const std::vector<double>& windowPeaks, int buckets);

}  // namespace marlune
