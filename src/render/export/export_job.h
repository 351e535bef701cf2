#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/folder_file.h"
#include "core/queue.h"
#include "platform/media/audio_encoder.h"
#include "platform/media/audio_mix_reader.h"
#include "platform/media/gif_writer.h"
#include "platform/media/media_file.h"
#include "platform/media/movie_muxer.h"
#include "platform/media/video_encoder.h"
#include "render/compose/frame_composer.h"
#include "render/export/export_renderer.h"
#include "render/export/source_reader.h"
#include "render/export/webcam_feed.h"
#include "render/resample.h"
#include "render/time_map.h"

namespace marlune {

// One export, from preparation to completion (see ExportRenderer for what it makes). Shared by
// the threads that work on it; the last of them to let go destroys it, never on a queue of its
// own (see finish()).
//
// Threads: prepareAndStart() runs on the preparing thread; then the reader decodes on its thread,
// runVideo() runs on the ".render.video" queue and runAudio() on ".render.audio"; finish() runs on
// the shared pool once both sides are done. cancel() may come from any thread at any time.
class ExportJob : public std::enable_shared_from_this<ExportJob> {
  public:
    ExportJob(std::shared_ptr<ExportRegistry> registry, ExportRequest request,
              std::optional<std::filesystem::path> webRoot, ExportRenderer::Progress progress,
              ExportRenderer::Completion completion);
    // Gone once its output is settled: completed, or removed.
    ~ExportJob();

    std::uint64_t id() const { return id_; }
    const std::string& recordingName() const { return request_.name; }

    // Prepares the export and starts its two sides, or completes with the failure.
    void prepareAndStart();
    // Records `error` as the export's error unless one is recorded already, and stops reading.
    void cancel(const Error& error);

  private:
    Result<void> prepare();
    Result<void> openVideoEncoder(const TrackInfo& track);
    void openAudio(MediaFile& file);
    void openWebcam(CompositionInputs& inputs);
    void start();
    void runVideo();
    void runAudio();
    Result<std::int64_t> readKept(std::span<float> chunk);
    Result<void> write(std::vector<Packet> packets, int track);
    void reportProgress(double outMs);
    // Records the reader's failure (the first one) and stops reading.
    void setReaderError(const Error& error);
    void sideFinished();
    void finish();
    // The error the export ends with, if any, once both sides are done.
    std::optional<Error> outcome();
    void complete(Result<ExportedMovie> result);
    void removeTemporary();
    void noteIntendedName();

    // Fixed once prepared.
    const std::shared_ptr<ExportRegistry> registry_;
    const std::uint64_t id_;
    const ExportRequest request_;
    const std::optional<std::filesystem::path> webRoot_;
    const ExportRenderer::Progress progress_;
    ExportRenderer::Completion completion_;   // moved out when called
    TimeMap timeMap_;                         // over the range fitted to the movie, once prepared
    std::optional<FolderFile> sourceFile_;    // the recording, held open for the whole export
    std::filesystem::path source_;            // a path to it for the media library
    std::optional<FolderFile> outputFolder_;  // where the movie is written
    std::string temporaryName_;     // the hidden name it is written under; empty until created
    std::string outputStem_;        // "<recording without extension>", for the final name
    std::string outputFolderName_;  // the output's folder relative to the recordings folder
    std::int64_t startMs_ = 0;      // the range fitted to the movie
    std::int64_t endMs_ = 0;
    double startSeconds_ = 0;
    double endSeconds_ = 0;
    double videoEndSeconds_ = 0;  // where the source's last picture stops showing
    int width_ = 0;
    int height_ = 0;
    PixelSize out_;
    int fps_ = 0;
    bool convertWhileDecoding_ = false;

    std::optional<VideoDecoder> decoder_;  // until start() hands it to the reader
    std::optional<VideoEncoder> videoEncoder_;
    std::optional<AudioMixReader> mix_;  // the sound of the kept stretch being read
    std::vector<AudioMixTrack> mixTracks_;
    std::size_t keptIndex_ = 0;    // the audio queue's: the kept stretch being read …
    std::int64_t keptFrames_ = 0;  // … and the audio frames written so far
    std::optional<AudioEncoder> audioEncoder_;
    std::mutex muxLock_;  // the two sides write into one file
    std::optional<MovieMuxer> muxer_;
    std::optional<GifWriter> gif_;  // instead of the muxer and encoders, for a GIF
    PixelSize gifSize_;             // its pictures' size, which they are scaled to here
    int videoTrack_ = -1;
    int audioTrack_ = -1;
    std::unique_ptr<FrameComposer> composer_;  // the video queue's once started
    std::shared_ptr<WebcamFeed> webcam_;

    // The first error wins; the reader's failure is kept apart, as it only counts when nothing
    // else went wrong.
    std::mutex errorLock_;
    std::optional<Error> error_;
    std::optional<Error> readerError_;
    std::atomic<bool> stopReading_{false};

    SourceReader reader_;
    std::shared_ptr<Queue> videoQueue_;
    std::shared_ptr<Queue> audioQueue_;
    std::atomic<int> sidesRunning_{0};

    // Pacing of the audio behind the pictures.
    std::mutex paceLock_;
    std::condition_variable paceChanged_;
    double videoSeconds_ = 0;  // output time of the last picture written
    bool videoDone_ = false;

    // The video queue's, until its side is done.
    int lastPercent_ = -1;
    std::int64_t picturesWritten_ = 0;
    double lastOutMs_ = 0;  // output time of the last picture written
};

}  // namespace marlune
