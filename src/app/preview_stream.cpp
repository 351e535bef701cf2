#include "app/preview_stream.h"

#include <algorithm>
#include <cmath>

#include <glib.h>

#include "library/edit_document.h"
#include "library/recordings_library.h"
#include "platform/media/media_file.h"
#include "render/edited_time.h"
#include "render/preview_renderer.h"

namespace marlune {

namespace fs = std::filesystem;

namespace {

// The bytes of "data:image/jpeg;base64,…".
std::optional<std::string> jpegBytes(const std::string& dataURL) {
    auto comma = dataURL.find(',');
    if (comma == std::string::npos) return std::nullopt;
    gsize length = 0;
    guchar* bytes = g_base64_decode(dataURL.c_str() + comma + 1, &length);
    if (!bytes) return std::nullopt;
    std::string out(reinterpret_cast<const char*>(bytes), length);
    g_free(bytes);
    return out;
}

}  // namespace

Result<std::shared_ptr<PreviewStream>> PreviewStream::make(std::weak_ptr<PreviewRenderer> renderer,
                                                           Json payload,
                                                           std::optional<fs::path> webRoot) {
    auto request = ExportRequest::fromPayload(payload);
    auto tMs = readNumber(payload, "tMs");
    if (!request || !tMs || !std::isfinite(*tMs)) return fail("Missing export parameters");
    if (request->startMs >= request->endMs) return fail("Export range is empty.");
    TimeMap map = requestTimeMap(*request, request->startMs, request->endMs);
    auto location = RecordingsLibrary::safeLocation(request->name);
    if (!location) return fail("Invalid file name.");
    const double startOut = std::clamp(map.outputOrJoin(*tMs), 0.0, map.totalOutMs());
    return std::shared_ptr<PreviewStream>(new PreviewStream(std::move(renderer), std::move(payload),
                                                            std::move(webRoot), std::move(map),
                                                            startOut, location->full()));
}

PreviewStream::PreviewStream(std::weak_ptr<PreviewRenderer> renderer, Json payload,
                             std::optional<fs::path> webRoot, TimeMap map, double startOutMs,
                             fs::path movie)
    : renderer_(std::move(renderer)),
      payload_(std::move(payload)),
      webRoot_(std::move(webRoot)),
      map_(std::move(map)),
      startOutMs_(startOutMs),
      movie_(std::move(movie)) {}

bool PreviewStream::waitUntil(Clock::time_point until) {
    std::unique_lock guard(lock_);
    wake_.wait_until(guard, until, [&] { return cancelled_; });
    return !cancelled_;
}

void PreviewStream::cancel() {
    std::lock_guard guard(lock_);
    cancelled_ = true;
    wake_.notify_all();
}

void PreviewStream::composeAtShownSize(int width, int height) {
    const double maxWidth = readNumber(payload_, "maxWidth").value_or(0);
    if (width <= 0 || height <= 0 || maxWidth < 1) return;
    // The output height whose width is the picture's; an edit asking for less keeps its own.
    const auto shown = static_cast<std::int64_t>(std::ceil(maxWidth * height / width / 2) * 2);
    const std::int64_t asked = readInt(payload_, "targetHeight").value_or(0);
    if (shown < (asked > 0 ? std::min<std::int64_t>(asked, height) : height)) {
        payload_["targetHeight"] = shown;
    }
}

std::optional<PictureStream::Part> PreviewStream::next() {
    if (frameMs_ <= 0) {
        // Movies without a rate of their own (or a wild one) play at 30 pictures a second.
        double rate = 30;
        if (auto file = MediaFile::open(movie_)) {
            auto video = file->tracks(TrackKind::video);
            if (!video.empty()) {
                if (video.front().frameRate >= 1 && video.front().frameRate <= 120) {
                    rate = video.front().frameRate;
                }
                composeAtShownSize(video.front().width, video.front().height);
            }
        }
        frameMs_ = 1000.0 / rate;
    }
    if (!started_) started_ = Clock::now();
    for (;;) {
        const double elapsed =
            std::chrono::duration<double, std::milli>(Clock::now() - *started_).count();
        // Behind the clock: on to the picture due now, the ones between are skipped.
        index_ = std::max(index_, dueIndex(elapsed, frameMs_));
        const double outMs = startOutMs_ + static_cast<double>(index_) * frameMs_;
        if (outMs >= map_.totalOutMs()) return std::nullopt;
        const auto dueAt =
            *started_ +
            std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double, std::milli>(static_cast<double>(index_) * frameMs_)) -
            kLead;
        if (!waitUntil(dueAt)) return std::nullopt;
        ++index_;

        auto renderer = renderer_.lock();
        if (!renderer) return std::nullopt;
        // The completion may come after this stream has given up waiting: it holds its own slot.
        struct Slot {
            std::mutex lock;
            std::condition_variable done;
            std::optional<Result<PreviewImage>> made;
        };
        auto slot = std::make_shared<Slot>();
        Json payload = payload_;
        payload["tMs"] = map_.source(outMs);
        renderer->preview(std::move(payload), webRoot_, [slot](Result<PreviewImage> made) {
            std::lock_guard guard(slot->lock);
            slot->made = std::move(made);
            slot->done.notify_all();
        });
        renderer.reset();
        std::optional<Result<PreviewImage>> made;
        {
            std::unique_lock guard(slot->lock);
            slot->done.wait(guard, [&] { return slot->made.has_value(); });
            made = std::move(slot->made);
        }
        if (!*made) return std::nullopt;  // failed, or another picture was asked for
        {
            std::lock_guard guard(lock_);
            if (cancelled_) return std::nullopt;
        }
        // A movie slower than the clock shows one picture for several ticks: sent once.
        if ((*made)->tMs == lastShownMs_) continue;
        auto jpeg = jpegBytes((*made)->dataURL);
        if (!jpeg) return std::nullopt;
        lastShownMs_ = (*made)->tMs;
        return Part{std::move(*jpeg), (*made)->tMs};
    }
}

}  // namespace marlune
