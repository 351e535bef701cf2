#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "core/error.h"

namespace marlune {

// The major brand that marks a live movie (MovieMuxerOptions::live) as not finished yet. Players
// ignore it; `finishLiveMovie` replaces it as its last step, so a file that still carries it was
// left behind by a recording that never finished (or whose finishing was cut short).
inline constexpr std::string_view kLiveMovieBrand = "mrln";

enum class LiveMovieState {
    notLive,     // not a movie of ours, or already an ordinary movie: leave it alone
    unfinished,  // a live movie that `finishLiveMovie` should make whole
    inUse,       // a live movie (or a recording's still empty file) some process is writing
};

// Looks at a file's type box and whether a writer holds it. Cheap (one small read). Any thread.
LiveMovieState liveMovieState(const std::filesystem::path& path);

struct LiveMovieSummary {
    double durationSeconds = 0;     // the longest track's length, as players will show it
    int fragments = 0;              // fragments kept
    std::int64_t bytesDropped = 0;  // an unfinished fragment (or other tail) cut off the end
};

// Turns a live movie into an ordinary MPEG-4 movie in place, without copying its media: the
// complete fragments stay where they are, their small indexes and the live header become
// padding, and one full index is appended (so the file plays, seeks and shows its duration in
// any player). A fragment cut short by a crash or a full disk is cut off. Takes milliseconds
// even for an hour of video (it reads the indexes, never the media).
//
// Safe to interrupt at any point, and to run again: every step keeps what a second run needs,
// and the brand that marks the file unfinished is replaced last. The file is made durable
// before this returns. Fails (leaving a playable live movie) when the disk has no room for the
// index, or, with ErrorCode::nothingKept, when the file holds no complete fragment or no header
// (nothing was recorded; the file is left as it is). Any thread; not while a writer is still
// writing the file.
Result<LiveMovieSummary> finishLiveMovie(const std::filesystem::path& path);

}  // namespace marlune
