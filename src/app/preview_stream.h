#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

#include "bridge/media_stream_route.h"
#include "core/error.h"
#include "core/json.h"
#include "render/time_map.h"

namespace marlune {

class PreviewRenderer;

// The editor's playback: the export's own pictures of an edit from a time on, made by the preview
// renderer one after another and let out at the movie's rate on the output clock (cuts jumped,
// sped-up stretches faster), as the export would show them. A picture that could not be made in
// time is skipped, never shown late: the page plays the sound and keeps the pictures to it.
//
// Pictures are made up to kLead ahead of their time, so the page holds them before they are due.
// The clock starts at the first next(). The stream ends at the range's end, when the renderer
// fails or is asked for another picture (a newer request supersedes the stream's), or on cancel().
class PreviewStream : public PictureStream {
  public:
    static constexpr std::chrono::milliseconds kLead{150};

    // `payload` is a whole preview request (tracks included) whose "tMs" is where playing starts.
    // Fails as the request is invalid ("Missing export parameters").
    static Result<std::shared_ptr<PreviewStream>> make(
        std::weak_ptr<PreviewRenderer> renderer, Json payload,
        std::optional<std::filesystem::path> webRoot);

    std::optional<Part> next() override;
    void cancel() override;

    // Which picture of the output clock is due `elapsedMs` after the start: pictures are
    // `frameMs` apart and the first is 0. Pure.
    static long dueIndex(double elapsedMs, double frameMs) {
        return static_cast<long>(elapsedMs / frameMs);
    }

  private:
    PreviewStream(std::weak_ptr<PreviewRenderer> renderer, Json payload,
                  std::optional<std::filesystem::path> webRoot, TimeMap map, double startOutMs,
                  std::filesystem::path movie);
    // The pictures are composed at the size they are shown at (the export's at that output
    // height, the same look scaled), not composed large and scaled down: a quarter of the work
    // for a 1080p recording shown 960 wide. `width` and `height` are the recording's.
    void composeAtShownSize(int width, int height);
    // Waits until `until` or cancel(); false when cancelled.
    bool waitUntil(std::chrono::steady_clock::time_point until);

    using Clock = std::chrono::steady_clock;
    std::weak_ptr<PreviewRenderer> renderer_;
    Json payload_;
    std::optional<std::filesystem::path> webRoot_;
    TimeMap map_;
    double startOutMs_;
    std::filesystem::path movie_;  // the recording, read once for its picture rate
    double frameMs_ = 0;           // next()'s: the time between pictures, once known
    // next()'s only (the sending thread).
    std::optional<Clock::time_point> started_;
    long index_ = 0;
    double lastShownMs_ = -1;

    mutable std::mutex lock_;
    std::condition_variable wake_;
    bool cancelled_ = false;  // guarded
};

}  // namespace marlune
