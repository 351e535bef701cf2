#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/error.h"

namespace marlune {

// When each picture of a movie's video track is shown and which pictures are key frames, learnt
// without decoding any: from the container's index when it lists the whole track (a plain MP4,
// nothing to read), otherwise by reading the movie's packets, only as far as asked. The times are
// the ones the track's decoder gives its pictures, so a caller can name a picture by its time.
// One thread at a time (any thread). Move-only.
class PictureTimeline {
  public:
    // Fails with the media library's text when the movie cannot be opened or has no such track.
    static Result<PictureTimeline> open(const std::filesystem::path& movie, int trackIndex);

    PictureTimeline(PictureTimeline&&) noexcept;
    PictureTimeline& operator=(PictureTimeline&&) noexcept;
    ~PictureTimeline();

    // Learns every picture shown up to `seconds`. A movie that cannot be read that far fails with
    // the media library's text; what was learnt stays, and the timeline then counts as complete.
    Result<void> reach(double seconds);
    // True once every picture of the track is known.
    bool complete() const;
    // The pictures known so far, in presentation order (seconds on the movie's timeline).
    const std::vector<double>& times() const;
    // The latest key frame shown at or before `seconds`, when one is known.
    std::optional<double> keyFrameAtOrBefore(double seconds) const;

    struct Impl;

  private:
    explicit PictureTimeline(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// One picture an export composes: the time it is handed over with (the composition's picture
// time) and the time of the source picture it is.
struct RangePicture {
    double ptsSeconds = 0;
    double pictureSeconds = 0;
};

// The pictures an export of [startSeconds, endSeconds) composes, in order, as its decoding hands
// them over: every picture shown inside the range, preceded by the picture on screen at the range's
// start (handed over at the start time) when the first of them comes later. When no picture starts
// inside the range the screen stood still: the picture on screen at the start shows all through,
// unless the movie's pictures end before the range (`videoEndSeconds`: where the last one stops
// showing). Times within a microsecond of a range edge count as on it.
//
// `times` are the pictures' times in presentation order, as far as they are known; the answer is
// exact for the part of the range they cover, provided they reach at least the first picture at or
// after the start when there is one.
std::vector<RangePicture> rangePictures(std::span<const double> times, double startSeconds,
                                        double endSeconds, double videoEndSeconds);

}  // namespace marlune
