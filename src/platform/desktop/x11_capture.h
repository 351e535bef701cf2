#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/error.h"
#include "platform/image/bgra_image.h"

namespace marlune::x11 {

// A picture of part of the X screen as it shows now (every window on it), in root-window
// pixels. Fails when the rectangle is not inside the screen or there is no display. Any thread.
Result<BgraImage> captureScreenRegion(const PixelRect& region);

// A picture of one window's own content (its client area) through XComposite, so that parts
// covered by other windows or off the screen still show the window. Fails when the window is
// gone or not mapped. Any thread.
//
// Without a compositing manager the covered parts exist only once the application has drawn
// them again: this waits for that (at most about half a second), so ask for several windows at
// once to wait once for all of them.
Result<BgraImage> captureWindow(std::uint32_t window);
std::vector<Result<BgraImage>> captureWindows(std::span<const std::uint32_t> windows);

// The system cursor's picture and where it is. Premultiplied BGRA.
struct CursorSprite {
    BgraImage image;
    // Where the picture's top-left corner falls, relative to the captured source's origin.
    int x = 0;
    int y = 0;
};

// A picture taken by a ScreenGrabber. Its pixels live in a shared-memory segment the X server
// wrote into; the segment goes back to the grabber's pool when the last copy of `pixels` is let
// go (or is freed then, when the grabber has gone).
struct GrabbedPicture {
    int width = 0;
    int height = 0;
    int stride = 0;
    // Writable by whoever took the picture, until it is handed on.
    std::shared_ptr<std::uint8_t> pixels;
};

// Takes pictures of one source again and again on one connection of its own: a rectangle of the
// screen (a display) or one window through XComposite. Pictures come from a bounded pool of
// shared-memory segments, so nothing is copied and memory stays flat.
//
// Not thread-safe: one thread uses a grabber (the capture thread). Pictures may be let go on any
// thread.
class ScreenGrabber {
  public:
    // `poolSize` bounds the pictures alive at once.
    static Result<std::unique_ptr<ScreenGrabber>> forScreenRegion(const PixelRect& region,
                                                                  int poolSize);
    // Fails with "The selected window is no longer available (it may have been closed)." when
    // the window is gone or not shown.
    static Result<std::unique_ptr<ScreenGrabber>> forWindow(std::uint32_t window, int poolSize);
    ~ScreenGrabber();
    ScreenGrabber(const ScreenGrabber&) = delete;
    ScreenGrabber& operator=(const ScreenGrabber&) = delete;

    // Handles what the X server reported since the last call: the window resized, moved, went
    // away; windows of other clients appeared or moved. Call before each picture.
    void update();

    // True once the recorded window has been destroyed (or the connection has broken): no more
    // pictures will come.
    bool sourceGone() const;
    // The source's current size in pixels (the region's, or the window's).
    int sourceWidth() const;
    int sourceHeight() const;

    // Takes the picture of `area` (in source pixels; it must lie within the source). Nothing
    // when every segment of the pool is still held (the caller is behind) or the server
    // refused; `failure` then says which.
    enum class Failure { poolExhausted, captureFailed, sourceGone };
    std::optional<GrabbedPicture> grab(const PixelRect& area, Failure* failure = nullptr);

    // The system cursor as it shows over the source now; nothing when it is off the source or
    // cannot be read. The picture is read again only when the cursor's shape has changed.
    std::optional<CursorSprite> cursor();

    // Where windows of process `pid` (with their window-manager frames) cover the source, in
    // source pixels. The set of windows is read again when windows appear or map, and kept up to
    // date as they move.
    std::vector<PixelRect> windowsOfProcess(int pid);

    // Leaves the windows of process `pid` out of a display picture taken by `grab` (its area at
    // the source's origin): where they are, the picture shows what lies beneath them, composed
    // from the other windows' own pictures (XComposite) over the desktop's background, so no
    // shape of them is left behind and a click on one shows on what it covers. Every top-level
    // window is redirected from the first call on, for as long as the grabber lives.
    void leaveOutProcess(int pid, GrabbedPicture& picture);

    struct Impl;

  private:
    explicit ScreenGrabber(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace marlune::x11
