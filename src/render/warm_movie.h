#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "core/error.h"
#include "platform/media/video_decoder.h"
#include "render/picture_timeline.h"

namespace marlune {

// A movie's video track decoded at whatever picture a caller asks for next, for a caller that
// jumps about (a scrubbed playhead): the decoder stays where it stopped, so a picture a little
// later costs only the pictures between; a seek happens only when a key frame lies closer; and
// the pictures decoded lately are kept up to a byte budget, so stepping back costs nothing.
//
// `Picture` is what the decoder hands out: VideoPicture (as decoded, for a caller that converts
// it itself) or DecodedFrame (converted to BGRA, scaled to the decoder's maxWidth). One thread at a
// time (any thread). Move-only.
template <class Picture>
class WarmMovie {
  public:
    // Fails with the media library's text when the movie or its track cannot be read.
    static Result<WarmMovie> open(const std::filesystem::path& movie, int trackIndex,
                                  VideoDecoderOptions options, std::size_t keptBytes);

    PictureTimeline& timeline() { return *timeline_; }

    // The picture whose time is `seconds` (a time from the timeline; the first picture after it
    // when there is none at it). Nothing when `stale` says, between two pictures, that the
    // answer is no longer wanted. Fails with the media library's text, or "Reading the source
    // failed." when the movie ends before any picture.
    Result<std::optional<Picture>> at(double seconds, const std::function<bool()>& stale);

    // The picture on screen at `seconds`: the last one shown at or before it, the first one for a
    // time before it.
    Result<std::optional<Picture>> shownAt(double seconds, const std::function<bool()>& stale);

  private:
    WarmMovie() = default;
    Result<void> openDecoder();
    bool continuesTo(double seconds) const;
    std::optional<Picture> find(double seconds);
    void keep(const Picture& picture);

    struct Kept {
        Picture picture;
        std::size_t bytes = 0;
        std::uint64_t used = 0;
    };

    std::filesystem::path path_;
    int track_ = 0;
    VideoDecoderOptions options_;
    std::size_t budget_ = 0;
    std::optional<PictureTimeline> timeline_;
    std::optional<VideoDecoder> decoder_;
    std::optional<double> decodedUpTo_;  // time of the last picture decoded
    std::vector<Kept> kept_;
    std::size_t keptBytes_ = 0;
    std::uint64_t clock_ = 0;
};

extern template class WarmMovie<VideoPicture>;
extern template class WarmMovie<DecodedFrame>;

}  // namespace marlune
