#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/error.h"
#include "core/json.h"

namespace marlune {

class Queue;

// One still picture of an edit, exactly as its export would show it.
struct PreviewImage {
    std::string dataURL;  // "data:image/jpeg;base64,…"
    int width = 0;        // picture size in pixels
    int height = 0;
    // The source (recording) time of the picture shown, ms: the time of the movie's picture on
    // screen at the requested time, or the range's start for the picture held there.
    double tMs = 0;
};

// Composes single pictures of an edit for the editor, with the export's own code: the same
// pictures, the same motion (the springs ticked through every picture from the range's start, as
// the export ticks them), the same layers. A picture of a 1080p recording takes tens of
// milliseconds once the recording is open, so dragging the playhead stays interactive:
//
// - the movie stays open with its decoder where it stopped, and the pictures decoded lately are
//   kept (up to about 128 MB), so a nearby time forwards or backwards decodes little or nothing;
// - the motion ticked so far is kept per edit (zooms, cursor, range), so only new pictures are
//   ticked; the layers (background, shadow, mask, cursor art, webcam) are kept while the frame,
//   cursor, webcam and range stay the same;
// - a request still waiting when a newer one arrives is answered at once with supersededError,
//   and one under way gives up at its next step: only the newest picture is ever made.
//
// Everything is let go a minute after the last request, or when another recording is asked for.
// The work runs on the ".render.preview" queue. Any thread may call.
class PreviewRenderer {
  public:
    // The picture, or the reason there is none. Called exactly once per request: on the preview
    // queue, or on the caller's thread for a request superseded before it started.
    using Completion = std::function<void(Result<PreviewImage>)>;

    // The answer to a request that a newer one made pointless: "Superseded by a newer preview.",
    // ErrorCode::superseded (callers branch on the code).
    static const Error supersededError;
    // JPEG quality of the pictures, on libjpeg's 1–100 scale, with colour at full resolution:
    // crisp (coloured) text, some tens of KB at 960 pixels wide.
    static constexpr int kJpegQuality = 90;

    explicit PreviewRenderer(std::chrono::milliseconds idleRelease = std::chrono::seconds(60));
    // Answers a waiting request with supersededError and waits for the one under way to finish.
    ~PreviewRenderer();
    PreviewRenderer(const PreviewRenderer&) = delete;
    PreviewRenderer& operator=(const PreviewRenderer&) = delete;

    // Makes the picture of the edit in `payload` at its time. The payload holds the export
    // request's keys ("name", "startMs", "endMs", "zooms", "frame", "cursor", "webcam",
    // "targetHeight", "cuts", "speeds", "shape"; ExportRequest::fromPayload reads them) and:
    // - "tMs": number, required: the source time, ms, taken into the range [startMs, endMs];
    // - "maxWidth": number, optional: the picture is at most this wide (never wider than the
    //   export's output); missing or below 1 gives the output's width.
    // Fails as an export of the same payload would before its first picture: "Missing export
    // parameters" (also for a missing "tMs"), "Invalid file name.", "Export range is empty.",
    // "The file has no video track.", "The cuts remove the entire clip."; "Export failed." when
    // the range holds no picture; the media library's text when the movie cannot be decoded.
    // `webRoot` is the page's folder (wallpapers, live backgrounds, cursor packs).
    void preview(Json payload, std::optional<std::filesystem::path> webRoot, Completion completion);

    struct State;

  private:
    struct Request;

    std::shared_ptr<State> state_;
    std::shared_ptr<Queue> queue_;
};

}  // namespace marlune
