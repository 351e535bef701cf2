#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"
#include "platform/image/bgra_image.h"
#include "recording/cursor_type_detector.h"

namespace marlune {

// Where screens are captured from: the X server, or (in a Wayland session) the desktop portal's
// screen cast and PipeWire. Decided once per process from the session's environment.
enum class CaptureBackend { x11, portal };
// XDG_SESSION_TYPE "wayland", or WAYLAND_DISPLAY set in a session that does not call itself
// "x11", picks the portal.
CaptureBackend captureBackendFor(std::string_view sessionType, std::string_view waylandDisplay);
CaptureBackend captureBackend();

// Where the portal's restore tokens are kept between runs (the settings), one for displays and
// one for windows ("display", "window"), so that recording the same source again does not ask.
// Set once at launch; without it every recording asks the desktop again. Called on any thread.
struct PortalTokenStore {
    std::function<std::string(const std::string& kind)> load;
    std::function<void(const std::string& kind, const std::string& token)> save;
};
void setPortalTokenStore(PortalTokenStore store);
// Whether a token is kept for that kind (the portal may then start without a dialog).
bool hasPortalToken(const std::string& kind);

// Copies one row of `width` pixels, making them opaque when their fourth byte is padding (while
// the row is still in the cache, which costs little).
inline void copyPictureRow(std::uint8_t* to, const std::uint8_t* from, int width, bool padded) {
    std::memcpy(to, from, std::size_t(width) * 4);
    if (!padded) return;
    auto* pixel = reinterpret_cast<std::uint32_t*>(to);
    for (int x = 0; x < width; ++x) pixel[x] |= 0xff000000u;
}

// The published picture of a portal stream: immutable once published, shared by the engine's
// frames (a picture the compositor did not replace is delivered again).
struct PortalPicture {
    std::shared_ptr<std::uint8_t> pixels;
    int width = 0;
    int height = 0;
    int stride = 0;
    std::uint64_t sequence = 0;  // counts pictures from 1
    // True when each pixel's fourth byte is padding, to be read as 255 (a picture read in place
    // in the compositor's buffer; the movie's encoder never reads it).
    bool paddedAlpha = false;
};

// The cursor as the stream last described it, in stream pixels.
struct PortalPointer {
    bool visible = false;
    int x = 0;
    int y = 0;
};

// One screen-cast source granted by the desktop: the portal session (held on the main thread)
// and the PipeWire stream of its pictures (on PipeWire's thread), with the newest picture and the
// cursor kept for whoever samples them.
//
// Threads: `open` blocks its caller (never the main thread, which runs the portal's session)
// until the first picture came or the portal failed. The readers are thread-safe. `end` may be
// called from any thread but the main one and is idempotent; the portal session is closed on the
// main thread when the object goes.
class WaylandCapture {
  public:
    enum class Source { display, window };

    // Asks the portal for one source of that kind (the desktop may show its dialog; the restore
    // token from the store skips it for the source chosen before), connects to its stream and
    // waits for its first picture. Fails with code `cancelled` when the person dismissed the
    // dialog.
    static Result<std::shared_ptr<WaylandCapture>> open(
        Source source, std::chrono::milliseconds timeout = std::chrono::minutes(2));
    ~WaylandCapture();
    WaylandCapture(const WaylandCapture&) = delete;
    WaylandCapture& operator=(const WaylandCapture&) = delete;

    // The size of the stream's first picture (later ones may differ: a window resized).
    PixelSize size() const { return size_; }
    // Where the source lies on the desktop; empty when the portal did not say.
    PixelRect area() const { return area_; }
    // Whether the stream carries the cursor separately (else it is drawn into the pictures).
    bool hasCursorMetadata() const { return cursorMetadata_; }

    // The newest picture.
    PortalPicture latest() const;
    PortalPointer pointer() const;
    // The cursor's last picture (premultiplied BGRA) and hot spot; empty when hidden or unknown.
    struct Sprite {
        BgraImage image;
        int hotspotX = 0;
        int hotspotY = 0;
        std::uint64_t serial = 0;  // changes with the picture
    };
    Sprite sprite() const;
    // Set once the stream ended on its own (the person stopped sharing, the source went away).
    std::optional<Error> endedWith() const;

    // The part of the stream's pictures that is recorded, in stream pixels: an area of the
    // display, or (unless set) the whole picture. The cursor's path is measured against it.
    // Any thread.
    PixelRect recordedPart() const;
    void setRecordedPart(PixelRect part);

    // Notes the present moment; `pictureSinceMark` then says whether the compositor has sent a
    // picture made after it, one that shows the screen as it is since (without the countdown
    // that was hidden just before: a portal stream cannot leave the app's windows out).
    void mark();
    bool pictureSinceMark() const;

    // Pauses or resumes the flow of pictures.
    void setActive(bool active);
    // Stops the stream now (no more pictures) and closes the portal session on the main thread.
    void end();

    // The capture a recording is running on, for the trackers (the cursor's path); null when
    // none. The engine sets and clears it.
    static std::shared_ptr<WaylandCapture> recording();
    static void setRecording(std::shared_ptr<WaylandCapture> capture);

    struct State;

    // Where the cursor type detector reads the cursor from in a Wayland session: this stream's
    // cursor pictures, and the cursor theme's files.
    static std::unique_ptr<CursorTypeDetector::CursorSource> cursorSource(
        std::weak_ptr<WaylandCapture> capture);

  private:
    WaylandCapture() = default;
    std::shared_ptr<State> state_;
    PixelSize size_;
    PixelRect area_;
    bool cursorMetadata_ = false;
};

}  // namespace marlune
