#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "core/bounded_channel.h"
#include "core/error.h"
#include "core/recycler.h"
#include "platform/image/bgra_image.h"
#include "platform/media/video_decoder.h"

namespace marlune {

// One source picture on its way to the composition.
struct SourceItem {
    VideoPicture picture;
    double timeSeconds = 0;  // may differ from the picture's own (the picture shown at the start)
    // Its BGRA copy when the reading thread made one, else null. The image goes back to the
    // reader's pool when let go.
    std::shared_ptr<BgraImage> bgra;
};

// The export's source pictures, decoded on a thread of its own ("marlune.decode") a few pictures
// ahead of the composition: the pictures of [startSeconds, endSeconds) in presentation order,
// preceded by the picture on screen at the start (handed over at the start time) when the first
// of them comes later; when no picture starts inside the range, the one on screen at its start
// shows all through (unless the movie's pictures end before the range).
//
// Constructed with its export; start() runs once; next() is the video queue's; cancel() may come
// from any thread at any time, even before start().
class SourceReader {
  public:
    struct Range {
        double startSeconds = 0;
        double endSeconds = 0;
        double videoEndSeconds = 0;  // where the source's last picture stops showing
    };
    // The reading failure that ends the reading, called once on the reading thread.
    using Failed = std::function<void(const Error& error)>;

    SourceReader();
    // Joins the reading thread.
    ~SourceReader();
    SourceReader(const SourceReader&) = delete;
    SourceReader& operator=(const SourceReader&) = delete;

    // Starts reading `decoder` (placed at or before the range's start). With `convert` each
    // picture also comes as BGRA, converted on the reading thread while the picture before it is
    // composed.
    void start(VideoDecoder decoder, Range range, bool convert, Failed failed);
    // The next picture; nothing once the range is over or the reading was cancelled. Blocks
    // while the next one is decoded.
    std::optional<SourceItem> next() { return decoded_.pop(); }
    // Stops reading and drops the pictures waiting; next() returns nothing from then on.
    void cancel();
    // Cancels, and waits for the reading thread to end.
    void join();

  private:
    void run(VideoDecoder& decoder, Range range, bool convert, const Failed& failed);

    BoundedChannel<SourceItem> decoded_;
    std::shared_ptr<Recycler<BgraImage>> images_;
    std::atomic<bool> stopped_{false};
    std::thread thread_;
};

}  // namespace marlune
