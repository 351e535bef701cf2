#include "recording/webcam_proxy_writer.h"

#include <system_error>
#include <utility>

#include "core/debug_log.h"
#include "platform/media/webcam_proxy.h"
#include "recording/webcam_bubble_layout.h"

namespace marlune {

namespace {

VideoFrame halved(const VideoFrame& picture) {
    auto image = std::make_shared<BgraImage>(halvedPicture(
        BgraPixels(picture.pixels.get(), picture.width, picture.height, picture.stride)));
    VideoFrame out = picture;
    out.width = image->width;
    out.height = image->height;
    out.stride = image->stride;
    out.pixels = std::shared_ptr<const std::uint8_t>(image, image->pixels.data());
    return out;
}

}  // namespace

std::shared_ptr<WebcamProxyWriter> WebcamProxyWriter::start(
    const std::filesystem::path& webcamMovie, const VideoFrame& first, int fps,
    WriterTuning tuning) {
    const auto path = webcamProxyPath(webcamMovie);
    // A copy of an earlier recording of that name must not pass for this one's.
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    if (first.width < kWebcamProxyMinCameraWidth) return nullptr;
    tuning.preset = kWebcamProxyPreset;
    auto writer = std::make_shared<AssetWriterCoordinator>(std::move(tuning));
    auto prepared = writer->prepare(path, first.width / 2, first.height / 2, fps, false, false,
                                    kWebcamProxyBitRate);
    if (!prepared) {
        systemLog("Marlune: no small webcam copy (" + prepared.error().message + ")");
        std::filesystem::remove(path, ignored);
        return nullptr;
    }
    return std::shared_ptr<WebcamProxyWriter>(new WebcamProxyWriter(std::move(writer), path));
}

void WebcamProxyWriter::append(const VideoFrame& picture) {
    writer_->appendVideo(halved(picture));
}

void WebcamProxyWriter::finish() {
    writer_->finish([writer = writer_, path = path_](Result<SavedInfo> saved) {
        if (saved) return;
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    });
}

}  // namespace marlune
