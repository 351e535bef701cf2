#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <thread>

#include "core/bounded_channel.h"
#include "library/edit_document.h"
#include "platform/media/video_decoder.h"

namespace marlune {

// The webcam movie of `webcam` (a file of the recordings folder) as a W × H recording framed by
// `frame` shows it: where it is, its picture track, and the width worth decoding it at (no wider
// than the webcam shows, webcamDecodeWidth()). That is the movie's small copy
// (platform/media/webcam_proxy.h) when the copy is there, sound and wide enough, else the movie
// itself. Nothing when the movie is missing, has no picture or the webcam would not show; the
// webcam is then dropped. Blocking file I/O; any thread.
struct WebcamMovie {
    std::filesystem::path path;
    int trackIndex = 0;
    int decodeWidth = 0;
};
std::optional<WebcamMovie> findWebcamMovie(const WebcamFX& webcam,
                                           const std::optional<FrameSettings>& frame, int width,
                                           int height);
// The same movie with a decoder (one thread) at that width.
std::optional<VideoDecoder> openWebcamMovie(const WebcamFX& webcam,
                                            const std::optional<FrameSettings>& frame, int width,
                                            int height);

// The webcam movie decoded on a thread of its own ("marlune.webcam"), a few pictures ahead of the
// composition, from the export's webcam start onwards: the picture on screen at the start first,
// then every later one. A damaged movie just ends early.
//
// next() is the export's video queue's (through CompositionInputs::webcamFrames); destruction
// stops the thread and waits for it.
class WebcamFeed {
  public:
    WebcamFeed(VideoDecoder decoder, double fromSeconds);
    ~WebcamFeed();
    WebcamFeed(const WebcamFeed&) = delete;
    WebcamFeed& operator=(const WebcamFeed&) = delete;

    // The next picture; nothing once the movie is over. Blocks while the next one is decoded.
    std::optional<DecodedFrame> next() { return frames_.pop(); }

  private:
    void run(VideoDecoder& decoder, double from);

    BoundedChannel<DecodedFrame> frames_;
    std::thread thread_;
};

}  // namespace marlune
