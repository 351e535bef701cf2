#include "render/export/export_renderer.h"

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <thread>
#include <vector>

#include "core/thread_priority.h"
#include "render/export/export_job.h"

namespace marlune {

namespace fs = std::filesystem;

const Error ExportRenderer::cancelledError{"Export cancelled.", ErrorCode::cancelled};

void ExportRegistry::add(std::uint64_t id, std::function<void()> cancel, std::string recording) {
    std::lock_guard lock(lock_);
    running_[id] = {std::move(cancel), std::move(recording), {}};
}

void ExportRegistry::noteOutputName(std::uint64_t id, std::string name) {
    std::lock_guard lock(lock_);
    auto it = running_.find(id);
    if (it != running_.end()) it->second.outputName = std::move(name);
}

void ExportRegistry::setLatest(std::uint64_t id, std::function<void()> cancel) {
    std::lock_guard lock(lock_);
    latestCancel_ = std::move(cancel);
    latestId_ = id;
}

void ExportRegistry::clearLatest(std::uint64_t id) {
    std::lock_guard lock(lock_);
    // A newer export may have installed its own closure meanwhile: that one stays.
    if (latestId_ == id) {
        latestCancel_ = nullptr;
        latestId_ = 0;
    }
}

void ExportRegistry::ended(std::uint64_t id) {
    std::lock_guard lock(lock_);
    running_.erase(id);
    runningChanged_.notify_all();
}

void ExportRegistry::cancelLatest() {
    std::function<void()> cancel;
    {
        std::lock_guard lock(lock_);
        cancel = latestCancel_;
    }
    if (cancel) cancel();
}

int ExportRegistry::cancelNamed(std::string_view name) {
    std::vector<std::function<void()>> cancels;
    {
        std::lock_guard lock(lock_);
        for (const auto& [id, running] : running_) {
            if (running.recording == name || running.outputName == name) {
                cancels.push_back(running.cancel);
            }
        }
    }
    for (const auto& cancel : cancels) cancel();
    return static_cast<int>(cancels.size());
}

void ExportRegistry::cancelAllAndWait() {
    std::vector<std::function<void()>> cancels;
    {
        std::lock_guard lock(lock_);
        for (const auto& [id, running] : running_) cancels.push_back(running.cancel);
    }
    for (const auto& cancel : cancels) cancel();
    std::unique_lock lock(lock_);
    runningChanged_.wait(lock, [&] { return running_.empty(); });
}

ExportRenderer::ExportRenderer() : registry_(std::make_shared<ExportRegistry>()) {}

ExportRenderer::~ExportRenderer() {
    // Nobody could cancel them any more, and the application may be about to exit: every export
    // still running is cancelled, and its partial movie removed before this returns.
    registry_->cancelAllAndWait();
}

void ExportRenderer::render(ExportRequest request, std::optional<fs::path> webRoot,
                            Progress progress, Completion completion) {
    auto job = std::make_shared<ExportJob>(registry_, std::move(request), std::move(webRoot),
                                           std::move(progress), std::move(completion));
    registry_->add(
        job->id(),
        [weak = std::weak_ptr<ExportJob>(job)] {
            if (auto self = weak.lock()) self->cancel(ExportRenderer::cancelledError);
        },
        job->recordingName());
    // Prepared on a thread of its own at background priority: every thread the export starts
    // from there (decoding, the webcam, composition, the encoder's) inherits it.
    std::thread([job] {
        pthread_setname_np(pthread_self(), "render.prepare");
        lowerThisThreadPriority();
        job->prepareAndStart();
    }).detach();
}

void ExportRenderer::cancelExport() {
    registry_->cancelLatest();
}

int ExportRenderer::cancelExport(std::string_view name) {
    return registry_->cancelNamed(name);
}

PixelSize ExportRenderer::outputSize(int width, int height, std::int64_t targetHeight) {
    if (targetHeight <= 0 || targetHeight >= height || width <= 0 || height <= 0) {
        return {width, height};
    }
    const int outH = static_cast<int>(targetHeight) & ~1;
    const auto w = static_cast<int>(std::lround(double(outH) * width / height));
    return {w - w % 2, outH};
}

int ExportRenderer::exportFps(double nominalFrameRate) {
    if (!std::isfinite(nominalFrameRate)) return 10;
    // Far beyond any movie; keeps the conversion defined.
    const double rate = std::round(std::clamp(nominalFrameRate, 0.0, 1000.0));
    return std::max(10, static_cast<int>(rate));
}

std::int64_t ExportRenderer::bitRate(int outWidth, int outHeight, int fps) {
    const auto computed = static_cast<std::int64_t>(double(outWidth) * outHeight * fps * 0.13);
    return std::max<std::int64_t>(computed, 4'000'000);
}

}  // namespace marlune
