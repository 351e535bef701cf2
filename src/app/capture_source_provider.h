#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/json.h"
#include "platform/image/bgra_image.h"
#include "platform/wayland/wayland_outputs.h"
#include "recording/shareable_content.h"

namespace marlune {

// Tells the page what can be recorded (the displays and the application windows, each with a
// small JPEG thumbnail) and makes a larger preview of one of them. Keeps no state: calls are
// independent and run on the shared pool, where their completions run too.
class CaptureSourceProvider {
  public:
    // Widest thumbnail in a listing, and widest preview, in pixels.
    static constexpr int kThumbWidth = 400;
    static constexpr int kPreviewWidth = 1800;

    // Completes with {"screens": [...], "windows": [...]}, or with the failure of the query
    // (no X display). In a Wayland session, `waylandListObject` for the session's monitors.
    void list(std::function<void(Result<Json>)> completion) const;

    // A JPEG data URL of the whole display (kind "display") or of one window (any other kind),
    // at most kPreviewWidth wide; nothing when no picture could be taken (the window closed).
    void preview(std::string kind, std::uint32_t id,
                 std::function<void(std::optional<std::string>)> completion) const;

    // The list object for `content`: displays with their names and sizes, and only the windows
    // worth offering (ordinary application windows at least 120 × 90 points with a title,
    // owned by a process other than `processID`). `picture` takes each source's picture
    // ("display" or "window", id); a source without one has no "thumb". Blocking.
    static Json listObject(
        const ShareableContent& content, int processID,
        const std::function<Result<BgraImage>(const std::string& kind, std::uint32_t id)>& picture);

    // The list object of a Wayland session, where the desktop's portal chooses what is shared:
    // one display entry per monitor (ids from 1, in the compositor's order) and one window entry,
    // "Choose a window…" (id 1, "chooser": true), that lets the desktop's dialog pick. "asks"
    // says whether the desktop will show its dialog (no restore token kept for that kind);
    // `displayThumb` is the picture the kept token restored, given to the monitor it shows.
    static Json waylandListObject(
        const std::vector<wayland::WaylandOutput>& outputs, bool displayAsks, bool windowAsks,
        const std::optional<std::pair<PixelRect, BgraImage>>& displayThumb);

    // Whether a window is offered: an ordinary application window at least 120 × 90 points with
    // a title, owned by a process other than `processID`.
    static bool offered(const ShareableWindow& window, int processID);

    // The name shown for a display: its own name, else "Display " and its position from 1.
    static std::string displayName(const ShareableDisplay& display, std::size_t index);

    // "data:image/jpeg;base64,…" of the picture made to fit `maxWidth` (never enlarged), JPEG
    // quality 0.65; nothing for a picture without pixels.
    static std::optional<std::string> jpegDataURL(const BgraImage& image, int maxWidth);

    // The picture of a source now, at full size: the display's pixels on the screen (every
    // window on it), or the window's own content. Blocking.
    static Result<BgraImage> picture(const ShareableContent& content, const std::string& kind,
                                     std::uint32_t id);
};

}  // namespace marlune
