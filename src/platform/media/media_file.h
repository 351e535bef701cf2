#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/error.h"

namespace marlune {

enum class TrackKind { video, audio, subtitle, other };

// The matrix that turns a video's YUV values into RGB.
enum class ColourMatrix { bt601, bt709 };

// One track (stream) of a movie, as the container describes it.
struct TrackInfo {
    int index = 0;  // position in the file's track order; the id every wrapper takes
    TrackKind kind = TrackKind::other;
    std::string codecName;                  // FFmpeg's short name: "h264", "aac", …
    std::optional<double> durationSeconds;  // when the container says
    // Video: the coded picture size, the clockwise rotation (0, 90, 180 or 270) and mirroring
    // the display matrix asks for, the pixel aspect ratio (1 for square pixels) and frame rate.
    int width = 0;
    int height = 0;
    int rotationDegrees = 0;
    bool mirrored = false;
    double pixelAspect = 1.0;
    double frameRate = 0.0;
    bool isCoverArt = false;             // a still picture attached to the file, not a moving track
    std::optional<ColourMatrix> matrix;  // when the stream is tagged with one of these
    // Audio.
    int sampleRate = 0;
    int channels = 0;
};

// One compressed packet read from a movie. Times are seconds on the movie's timeline (the
// container's presentation times). Move-only.
class Packet {
  public:
    Packet(Packet&&) noexcept;
    Packet& operator=(Packet&&) noexcept;
    ~Packet();

    int trackIndex() const;
    std::optional<double> ptsSeconds() const;
    std::optional<double> dtsSeconds() const;
    double durationSeconds() const;  // 0 when unknown
    bool isKeyFrame() const;
    std::size_t size() const;

    struct Impl;
    explicit Packet(std::unique_ptr<Impl> impl);
    Impl& impl() const { return *impl_; }

  private:
    std::unique_ptr<Impl> impl_;
};

// One sample of a track as the container's index lists it.
struct IndexedSample {
    double seconds = 0;  // presentation time on the movie's timeline
    bool keyFrame = false;
};

// An open movie file: its tracks and duration, and reading its packets in file order. A
// MediaFile and the decoders built on it are used by one thread at a time (any thread).
// Move-only.
class MediaFile {
  public:
    // Opens and probes the file. Fails with FFmpeg's text ("No such file or directory",
    // "Invalid data found when processing input", …).
    static Result<MediaFile> open(const std::filesystem::path& path);

    MediaFile(MediaFile&&) noexcept;
    MediaFile& operator=(MediaFile&&) noexcept;
    ~MediaFile();

    const std::filesystem::path& path() const;
    // The movie's duration in seconds, when it is known and finite.
    std::optional<double> durationSeconds() const;
    const std::vector<TrackInfo>& tracks() const;
    // Tracks of one kind in file order; cover art never counts as video.
    std::vector<TrackInfo> tracks(TrackKind kind) const;

    // The next packet in file order; nothing at the end of the file.
    Result<std::optional<Packet>> readPacket();
    // Moves the read position so that `trackIndex`'s packets continue from its key frame at or
    // before `seconds` (the other tracks continue from about the same point).
    Result<void> seek(double seconds, int trackIndex);

    // Every sample of `trackIndex` from the container's index, in presentation order, learnt
    // without reading the media data. Nothing when the index does not list the whole track (a
    // fragmented movie lists only what has been read), drops samples on purpose (edit lists), or
    // holds decoding times that differ from the presentation times (pictures coded out of order):
    // the track's first packets are read to check that, and the read position is then back at the
    // start of the file.
    std::optional<std::vector<IndexedSample>> indexedSamples(int trackIndex);

    struct Impl;
    Impl& impl() const { return *impl_; }

  private:
    explicit MediaFile(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace marlune
