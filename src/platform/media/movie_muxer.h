#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "core/error.h"
#include "platform/media/media_file.h"

namespace marlune {
class AudioEncoder;
class VideoEncoder;
}  // namespace marlune

namespace marlune {

enum class MovieContainer {
    mp4,   // MPEG-4
    mov,   // QuickTime, for codecs MPEG-4 can't carry
    webm,  // WebM (Matroska): VP9 pictures and Opus sound, for exports
};

struct MovieMuxerOptions {
    // Moves the index ahead of the media when the file is finished, so that it plays while it
    // downloads ("faststart"). Ignored for a live movie.
    bool indexAtFront = true;
    // A movie written as it is recorded (MPEG-4 only): a header first, then one fragment (its
    // own small index and media) per video key frame, each handed to the file system as soon
    // as it is complete and made durable shortly after. Whatever happens to the process, the
    // file holds every fragment but the one being filled and plays as it stands. Packets are
    // written in the order given, not interleaved: a track that stays silent never holds the
    // others back. `finish` leaves the file fragmented; `finishLiveMovie` (live_movie.h) turns
    // it into an ordinary movie.
    bool live = false;
    // The file's major brand (four letters), when not the container's usual one.
    std::string brand;
    // A live movie's file already created by the caller (an empty file claimed under its name),
    // written through this descriptor instead of creating the file anew: nobody can take the
    // name between the claim and the writing. Taken over by `create`, failed or not.
    int fd = -1;
};

// Writes a movie file: tracks are declared, the header written, packets added in any order
// (they are interleaved by time here), and the file finished. A muxer dropped before `finish`
// leaves an unplayable file behind; removing it is the caller's business. One thread at a time
// (any thread). Move-only.
class MovieMuxer {
  public:
    // Creates (or truncates) the file, or takes over `options.fd`. A live movie's file is locked
    // (flock, exclusive) while it is written; one some other writer holds fails with EAGAIN's
    // text. Fails with FFmpeg's text.
    static Result<MovieMuxer> create(const std::filesystem::path& path, MovieContainer container,
                                     MovieMuxerOptions options = {});
    // True when `container` can hold `track` of `source` without re-encoding.
    static bool canCarry(MovieContainer container, const MediaFile& source, int trackIndex);

    MovieMuxer(MovieMuxer&&) noexcept;
    MovieMuxer& operator=(MovieMuxer&&) noexcept;
    ~MovieMuxer();

    // Declares a track that takes `source`'s packets of `trackIndex` unchanged (codec, its
    // parameters, display matrix, language). Before `begin`. Returns the new track's index.
    Result<int> addTrackCopiedFrom(const MediaFile& source, int trackIndex);
    // Declares a track for the packets an encoder makes, with the encoder's codec parameters,
    // picture size (odd sides included) and colour tags. Before `begin`; the encoder must be
    // open. Returns the new track's index.
    Result<int> addTrack(const VideoEncoder& encoder);
    Result<int> addTrack(const AudioEncoder& encoder);
    // Writes the header. After the tracks are declared.
    Result<void> begin();
    // Adds a packet (read from a copied track, or made by a track's encoder) to `outputTrack`,
    // its times moved earlier by `shiftSeconds` (so a range starting at t can start the new
    // movie at 0).
    Result<void> write(Packet packet, int outputTrack, double shiftSeconds);
    // Flushes what is still interleaving, writes the index (moving it to the front when asked)
    // and closes the file. A live movie gets its last fragment and is made durable.
    Result<void> finish();

    // Bytes handed to the file so far (a live movie's size on disk, the fragment being filled
    // aside).
    std::int64_t bytesWritten() const;

    struct Impl;

  private:
    explicit MovieMuxer(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace marlune
