#include "recording/capture_plan.h"

#include <algorithm>
#include <cmath>

#include "platform/wayland/wayland_outputs.h"
#include "recording/wayland_capture.h"

namespace marlune {

namespace {

int truncated(double v) {
    return static_cast<int>(v);
}

}  // namespace

std::optional<PixelRect> areaPixels(const ShareableDisplay& display, double scale,
                                    const RecordingOptions::Area& area) {
    const PixelRect& d = display.pixels;
    auto edge = [&](double points, int size) {
        return std::isfinite(points)
                   ? std::clamp(static_cast<int>(std::lround(points * scale)), 0, size)
                   : 0;
    };
    const int x0 = edge(area.x, d.width), y0 = edge(area.y, d.height);
    const int x1 = edge(area.x + area.width, d.width), y1 = edge(area.y + area.height, d.height);
    if (x1 - x0 < 2 || y1 - y0 < 2) return std::nullopt;
    return PixelRect{d.x + x0, d.y + y0, x1 - x0, y1 - y0};
}

Result<CapturePlan> makePlan(const ShareableContent& content, const RecordingOptions& options,
                             int processID) {
    CapturePlan plan;
    int nativeWidth = 0;
    int nativeHeight = 0;
    if (options.isDisplay()) {
        const ShareableDisplay* display = content.display(options.sourceID);
        if (!display) return fail("The selected display is no longer available.");
        nativeWidth = truncated(display->width * content.scale);
        nativeHeight = truncated(display->height * content.scale);
        plan.filter.kind = CaptureFilter::Kind::display;
        plan.filter.source = display->pixels;
        if (options.isArea()) {
            auto area = areaPixels(*display, content.scale, *options.area);
            if (!area) return fail("The chosen area is not on the display.");
            plan.filter.source = *area;
            nativeWidth = area->width;
            nativeHeight = area->height;
        }
        // The application's own windows (main window, webcam bubble, overlays) never appear in
        // a display recording, whether or not the main window hides while recording.
        plan.filter.excludedProcessID = processID;
        for (const auto& w : content.windows) {
            if (w.processID == processID) plan.filter.excludedWindows.push_back(w.windowID);
        }
    } else {
        const ShareableWindow* window = content.window(options.sourceID);
        if (!window) {
            return fail("The selected window is no longer available (it may have been closed).");
        }
        nativeWidth = truncated(window->width * content.scale);
        nativeHeight = truncated(window->height * content.scale);
        plan.filter.kind = CaptureFilter::Kind::window;
        plan.filter.source = PixelRect{0, 0, nativeWidth, nativeHeight};
    }
    plan.filter.id = options.sourceID;
    plan.filter.portal = content.portal;

    int width = nativeWidth;
    int height = nativeHeight;
    if (options.capHeight > 0 && options.capHeight < nativeHeight) {
        width = truncated(nativeWidth * (static_cast<double>(options.capHeight) / nativeHeight));
        height = static_cast<int>(options.capHeight);
    }
    width -= width % 2;
    height -= height % 2;
    if (width < 2 || height < 2) return fail("Capture size is too small.");

    int fps = options.fps;
    auto pixelRate = [&] { return std::int64_t{width} * height * fps; };
    if (pixelRate() > kMaxPixelsPerSecond && fps > 30) {
        fps = 30;
        plan.notice = "Capturing at 30 fps to keep this resolution artifact-free on this computer.";
    }
    if (pixelRate() > kMaxPixelsPerSecond) {
        double s =
            std::sqrt(static_cast<double>(kMaxPixelsPerSecond) / static_cast<double>(pixelRate()));
        width = truncated(width * s);
        height = truncated(height * s);
        width -= width % 2;
        height -= height % 2;
        plan.notice = "Capture scaled to " + std::to_string(height) +
                      "p to stay artifact-free on this computer.";
    }

    // A desktop that draws the cursor into the pictures gives no path to smooth.
    if (!plan.notice && content.portal && !content.portal->hasCursorMetadata() &&
        options.smoothCursor) {
        plan.notice =
            "The smoothed cursor needs a desktop that shares the cursor separately: this "
            "recording shows the system cursor as it was.";
    }
    plan.width = width;
    plan.height = height;
    plan.fps = fps;
    CaptureConfiguration& c = plan.configuration;
    c.width = width;
    c.height = height;
    c.fps = fps;
    c.showsCursor = options.capturesCursor();
    // Twelve pictures in flight, not six: libx264 takes 50 to 170 ms for each of its first eight
    // or so pictures (its threads and picture buffers being set up) against 10 ms afterwards, so
    // with six, 6 to 16 pictures of a recording's first second were dropped on two cores (0 to 9
    // with twelve). The extra pictures are made only when that many are waiting.
    c.queueDepth = 12;
    if (options.systemAudio) {
        c.capturesAudio = true;
        c.sampleRate = 48000;
        c.channelCount = 2;
        c.excludesCurrentProcessAudio = true;
    }
    return plan;
}

namespace {

// An area is chosen in the listed monitor's pixels (the page's points), over the monitor the
// desktop then grants: that must be the same one, and the area is scaled from the listing's size
// to the stream's. The pixels per point; `display` takes the listed size.
Result<double> fitAreaDisplay(ShareableDisplay& display, const PixelRect& streamArea,
                              std::uint32_t sourceID) {
    auto outputs = wayland::listOutputs();
    if (!outputs || sourceID < 1 || sourceID > outputs->size()) return 1.0;
    const PixelRect listed = (*outputs)[sourceID - 1].pixels;
    if (outputs->size() > 1 && !streamArea.empty() &&
        (streamArea.x != listed.x || streamArea.y != listed.y)) {
        return fail(
            "The desktop shared another display than the one the area was chosen on. "
            "Choose the area again on the display you share.");
    }
    if (listed.width <= 0 || listed.height <= 0 || listed.width == display.width) return 1.0;
    const double scale = double(display.width) / listed.width;
    display.width = listed.width;
    display.height = listed.height;
    return scale;
}

}  // namespace

Result<ShareableContent> recordableContent(const RecordingOptions& options) {
    if (captureBackend() == CaptureBackend::x11) {
        return ShareableContent::current(
            ContentQuery{.excludeDesktopWindows = false, .onScreenWindowsOnly = true});
    }
    auto capture = WaylandCapture::open(options.isDisplay() ? WaylandCapture::Source::display
                                                            : WaylandCapture::Source::window);
    if (!capture) return std::unexpected(capture.error());
    const PixelSize size = (*capture)->size();
    ShareableContent content;
    if (options.isDisplay()) {
        const PixelRect area = (*capture)->area();
        ShareableDisplay d;
        d.displayID = options.sourceID;
        d.width = size.width;
        d.height = size.height;
        d.pixels = PixelRect{area.x, area.y, size.width, size.height};
        if (options.isArea()) {
            auto fitted = fitAreaDisplay(d, (*capture)->area(), options.sourceID);
            if (!fitted) return std::unexpected(fitted.error());
            content.scale = *fitted;
        }
        content.displays.push_back(std::move(d));
    } else {
        ShareableWindow w;
        w.windowID = options.sourceID;
        w.width = size.width;
        w.height = size.height;
        content.windows.push_back(std::move(w));
    }
    content.portal = std::move(*capture);
    return content;
}

}  // namespace marlune
