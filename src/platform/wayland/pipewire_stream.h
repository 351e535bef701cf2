#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/error.h"
#include "platform/image/bgra_image.h"

namespace marlune::wayland {

// One picture of the stream. `pixels` are BGRA (alpha 255 where the source has none) and are
// valid only during the callback: copy what you keep.
struct PipeWireFrame {
    BgraPixels pixels;
    // True when each pixel's fourth byte is padding (BGRx), to be read as 255. Only `readNewest`
    // hands such pictures on, so that its reader makes them opaque as it copies them (one pass
    // over the picture instead of two).
    bool paddedAlpha = false;
    // When the compositor produced the picture, on the monotonic clock (g_get_monotonic_time),
    // in microseconds; the time it arrived when the stream carries no timestamp.
    std::int64_t ptsUs = 0;
};

// The newest picture read in place, in the producer's buffer: `pixels` stay valid, and the
// buffer out of the producer's hands, as long as `lease` (or a copy of it) lives. Let it go
// soon: the producer has only a few buffers.
struct LentPicture {
    BgraPixels pixels;
    bool paddedAlpha = false;  // as in PipeWireFrame
    std::uint64_t sequence = 0;
    std::shared_ptr<const void> lease;
};

// The cursor as the stream's metadata describes it (cursor mode "metadata" only).
struct PipeWireCursor {
    bool visible = false;
    // The pointer's position in stream pixels; the picture's top-left corner is at
    // (x - hotspotX, y - hotspotY).
    int x = 0;
    int y = 0;
    int hotspotX = 0;
    int hotspotY = 0;
    // The cursor's picture (premultiplied BGRA), present only when it changed: keep the last
    // one. Empty when the cursor has no picture (an application hid it).
    std::optional<BgraImage> image;
    std::int64_t ptsUs = 0;
};

struct PipeWireStreamCallbacks {
    std::function<void(const PipeWireFrame&)> onFrame;
    // When set, pictures are not handed to `onFrame`: the stream keeps the newest one (its buffer
    // held back from the producer until a newer picture replaces it) and only says that it came,
    // with its number (counting from 1), size and time (as PipeWireFrame::ptsUs). `readNewest`
    // reads it. A picture nobody reads is then never copied, however often the compositor
    // redraws.
    std::function<void(std::uint64_t sequence, PixelSize size, std::int64_t ptsUs)> onPicture;
    // Runs when the cursor moved or changed, also between pictures.
    std::function<void(const PipeWireCursor&)> onCursor;
    // Runs once when no more pictures will come: the source went away (the portal session was
    // closed, the window destroyed), the daemon disconnected or the stream failed.
    std::function<void(const Error&)> onEnded;
};

// A consumer of one PipeWire video stream (a screen-cast portal's node), on a PipeWire thread
// loop of its own.
//
// It offers BGRx, BGRA, RGBx and RGBA in any size, in shared memory (MemFd, MemPtr) or linear
// DMA-BUF buffers, which it maps; everything is handed on as BGRA. Cursor metadata is read when
// the producer sends it.
//
// Threads: create and destroy on any one thread. The callbacks run on the stream's own thread,
// one at a time and must return quickly (copy the pixels, post the rest); they must not destroy
// the stream. Once the destructor has returned, no callback runs.
class PipeWireStream {
  public:
    // Connects through `remoteFd` (from PortalScreenCast::openPipeWireRemote; taken over and
    // closed with the stream; -1 for the default daemon) to `nodeId`. The callbacks are copied.
    static Result<std::unique_ptr<PipeWireStream>> connect(int remoteFd, std::uint32_t nodeId,
                                                           PipeWireStreamCallbacks callbacks);
    ~PipeWireStream();
    PipeWireStream(const PipeWireStream&) = delete;
    PipeWireStream& operator=(const PipeWireStream&) = delete;

    // Pauses or resumes the flow of buffers (the producer stops sending while paused). Any
    // thread but the stream's own.
    void setActive(bool active);

    // Runs `read` with the newest picture kept (see `onPicture`) and its number, on the calling
    // thread with the stream's thread held off meanwhile: copy what you keep (mind
    // `paddedAlpha`), and do not call back into the stream. False when no picture is kept. Any
    // thread but the stream's own.
    bool readNewest(const std::function<void(const PipeWireFrame&, std::uint64_t sequence)>& read);
    // The newest picture kept, lent without a copy; nothing when none is kept or it cannot be
    // lent (a format or memory that needs `readNewest`, or the producer's buffers nearly all
    // lent). Any thread but the stream's own.
    std::optional<LentPicture> lendNewest();

    struct Impl;

  private:
    explicit PipeWireStream(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace marlune::wayland
