#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "core/error.h"
#include "core/folder_file.h"
#include "platform/media/video_decoder.h"

namespace marlune {

// A short movie looping behind the recording. Decodes strictly forwards: each request reads on
// from where the previous one stopped, and a wrap-around (or a step back in time) reopens the movie
// instead of seeking, so a request costs at most the pictures between two loop positions.
//
// One export's video queue owns it; not thread-safe. Move-only.
class LiveBackgroundReader {
  public:
    // Fails when the file does not exist, is not a regular file inside its folder (a symbolic
    // link leading elsewhere, a named pipe), cannot be opened, has no video track, or lasts 0.1 s
    // or less (or does not say how long it lasts). The file is held open for the reader's life.
    static Result<LiveBackgroundReader> open(const FolderPath& location);
    // The same for a file whose folder is trusted; only the file itself is checked.
    static Result<LiveBackgroundReader> open(const std::filesystem::path& path);

    LiveBackgroundReader(LiveBackgroundReader&&) noexcept;
    LiveBackgroundReader& operator=(LiveBackgroundReader&&) noexcept;
    ~LiveBackgroundReader();

    double duration() const { return duration_; }

    // The picture for `seconds` on the output timeline: the loop position is
    // fmod(max(seconds, 0), duration), and the picture is the last one shown at or before it (the
    // first one before that). Nothing when no picture has been decoded yet. The pointer stays
    // valid until the next call; generation() changes whenever the picture does.
    const DecodedFrame* frame(double seconds);
    std::uint64_t generation() const { return generation_; }

  private:
    LiveBackgroundReader(FolderFile file, double duration);
    // Starts a new pass from the movie's start; the current picture stays until a new one comes.
    void restart();

    FolderFile file_;
    double duration_ = 0;
    std::optional<VideoDecoder> decoder_;  // none when the pass could not start
    std::optional<DecodedFrame> next_;     // decoded ahead, not shown yet
    std::optional<DecodedFrame> current_;
    double lastTarget_ = -1;
    std::uint64_t generation_ = 0;
};

}  // namespace marlune
