#pragma once

#include <filesystem>
#include <memory>

#include "core/media_sample.h"
#include "recording/asset_writer_coordinator.h"

namespace marlune {

// Writes the webcam movie's small copy (platform/media/webcam_proxy.h) from the same pictures,
// halved, so that exports can decode a quarter of the pixels at a fraction of the bit rate. The
// copy is a cache: whatever goes wrong with it is logged and costs nothing but the copy.
//
// Used as the webcam movie's writer is: from the ".webcam" queue, and pause / resume from any
// thread.
class WebcamProxyWriter {
  public:
    // Starts the copy of `webcamMovie` with its first picture, replacing any copy left from
    // before. Nothing (and no copy on disk) when the camera is too narrow for a copy to help or
    // the writer cannot be set up.
    static std::shared_ptr<WebcamProxyWriter> start(const std::filesystem::path& webcamMovie,
                                                    const VideoFrame& first, int fps,
                                                    WriterTuning tuning);

    void append(const VideoFrame& picture);
    void pause() { writer_->pause(); }
    void resume() { writer_->resume(); }
    // Finishes the copy in the background; a copy that does not finish is removed.
    void finish();

  private:
    WebcamProxyWriter(std::shared_ptr<AssetWriterCoordinator> writer, std::filesystem::path path)
        : writer_(std::move(writer)), path_(std::move(path)) {}

    std::shared_ptr<AssetWriterCoordinator> writer_;
    std::filesystem::path path_;
};

}  // namespace marlune
