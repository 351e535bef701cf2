#include "app/capture_source_provider.h"

#include <cstring>
#include <map>

#include "core/queue.h"
#include "platform/desktop/x11_capture.h"
#include "platform/desktop/x11_monitors.h"
#include "platform/image/image_codecs.h"
#include "recording/wayland_capture.h"

namespace marlune {

namespace {

// The smallest window worth offering, in points.
constexpr double kMinWindowWidth = 120;
constexpr double kMinWindowHeight = 90;

void addThumb(Json& object, const Result<BgraImage>& image) {
    if (!image) return;
    if (auto url = CaptureSourceProvider::jpegDataURL(*image, CaptureSourceProvider::kThumbWidth)) {
        object["thumb"] = std::move(*url);
    }
}

}  // namespace

bool CaptureSourceProvider::offered(const ShareableWindow& w, int processID) {
    return w.layer == 0 && w.width >= kMinWindowWidth && w.height >= kMinWindowHeight &&
           w.processID && *w.processID != processID && !w.title.empty();
}

std::string CaptureSourceProvider::displayName(const ShareableDisplay& display, std::size_t index) {
    if (!display.name.empty()) return display.name;
    return "Display " + std::to_string(index + 1);
}

std::optional<std::string> CaptureSourceProvider::jpegDataURL(const BgraImage& image,
                                                              int maxWidth) {
    return marlune::jpegDataURL(image, maxWidth);
}

Result<BgraImage> CaptureSourceProvider::picture(const ShareableContent& content,
                                                 const std::string& kind, std::uint32_t id) {
    if (kind == "display") {
        const ShareableDisplay* d = content.display(id);
        if (!d) return fail("The selected display is no longer available.");
        return x11::captureScreenRegion(d->pixels);
    }
    return x11::captureWindow(id);
}

Json CaptureSourceProvider::listObject(
    const ShareableContent& content, int processID,
    const std::function<Result<BgraImage>(const std::string&, std::uint32_t)>& picture) {
    Json screens = Json::array();
    for (std::size_t i = 0; i < content.displays.size(); ++i) {
        const ShareableDisplay& d = content.displays[i];
        Json s = Json::object();
        s["id"] = d.displayID;
        s["kind"] = "display";
        s["name"] = displayName(d, i);
        s["width"] = d.width;
        s["height"] = d.height;
        addThumb(s, picture("display", d.displayID));
        screens.push_back(std::move(s));
    }
    Json windows = Json::array();
    for (const ShareableWindow& w : content.windows) {
        if (!offered(w, processID)) continue;
        Json o = Json::object();
        o["id"] = w.windowID;
        o["kind"] = "window";
        o["name"] = w.title;
        o["app"] = w.applicationName;
        o["width"] = static_cast<std::int64_t>(w.width);
        o["height"] = static_cast<std::int64_t>(w.height);
        addThumb(o, picture("window", w.windowID));
        windows.push_back(std::move(o));
    }
    Json out = Json::object();
    out["screens"] = std::move(screens);
    out["windows"] = std::move(windows);
    return out;
}

Json CaptureSourceProvider::waylandListObject(
    const std::vector<wayland::WaylandOutput>& outputs, bool displayAsks, bool windowAsks,
    const std::optional<std::pair<PixelRect, BgraImage>>& displayThumb) {
    Json screens = Json::array();
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const PixelRect& p = outputs[i].pixels;
        Json s = Json::object();
        s["id"] = i + 1;
        s["kind"] = "display";
        s["name"] = outputs[i].name.empty() ? "Display " + std::to_string(i + 1) : outputs[i].name;
        s["width"] = p.width;
        s["height"] = p.height;
        // The restored stream shows the monitor at its place; with one monitor, that one.
        if (displayThumb && (outputs.size() == 1 || displayThumb->first == p)) {
            addThumb(s, displayThumb->second);
        }
        s["asks"] = displayAsks;
        screens.push_back(std::move(s));
    }
    Json chooser = Json::object();
    chooser["id"] = 1;
    chooser["kind"] = "window";
    chooser["name"] = "Choose a window…";
    chooser["app"] = "";
    chooser["width"] = 0;
    chooser["height"] = 0;
    chooser["asks"] = windowAsks;
    chooser["chooser"] = true;
    Json out = Json::object();
    out["screens"] = std::move(screens);
    out["windows"] = Json::array({std::move(chooser)});
    return out;
}

namespace {

// The restored display's picture, from a short portal session; only when a kept token lets the
// portal start it without its dialog (a listing must never ask).
std::optional<std::pair<PixelRect, BgraImage>> restoredDisplayPicture() {
    if (!hasPortalToken("display")) return std::nullopt;
    auto capture = WaylandCapture::open(WaylandCapture::Source::display, std::chrono::seconds(5));
    if (!capture) return std::nullopt;
    const PortalPicture picture = (*capture)->latest();
    BgraImage image = BgraImage::blank(picture.width, picture.height);
    for (int y = 0; y < picture.height; ++y) {
        copyPictureRow(image.row(y), picture.pixels.get() + std::size_t(y) * picture.stride,
                       picture.width, picture.paddedAlpha);
    }
    PixelRect area = (*capture)->area();
    area.width = picture.width;
    area.height = picture.height;
    return std::pair{area, std::move(image)};
}

void listWayland(const std::function<void(Result<Json>)>& completion) {
    auto outputs = wayland::listOutputs();
    if (!outputs) return completion(std::unexpected(outputs.error()));
    completion(CaptureSourceProvider::waylandListObject(
        *outputs, !hasPortalToken("display"), !hasPortalToken("window"), restoredDisplayPicture()));
}

}  // namespace

void CaptureSourceProvider::list(std::function<void(Result<Json>)> completion) const {
    ConcurrentQueue::userInitiated().post([completion = std::move(completion)] {
        if (captureBackend() == CaptureBackend::portal) return listWayland(completion);
        ContentQuery query;
        query.excludeDesktopWindows = false;
        query.onScreenWindowsOnly = true;
        auto content = ShareableContent::current(query);
        if (!content) return completion(std::unexpected(content.error()));
        const int self = currentProcessID();
        // The windows' pictures in one go: they may have to be drawn again first.
        std::vector<std::uint32_t> ids;
        for (const auto& w : content->windows) {
            if (offered(w, self)) ids.push_back(w.windowID);
        }
        auto pictures = x11::captureWindows(ids);
        std::map<std::uint32_t, Result<BgraImage>*> windowPicture;
        for (std::size_t i = 0; i < ids.size(); ++i) windowPicture[ids[i]] = &pictures[i];
        completion(listObject(*content, self,
                              [&](const std::string& kind, std::uint32_t id) -> Result<BgraImage> {
                                  if (kind == "display") return picture(*content, kind, id);
                                  auto it = windowPicture.find(id);
                                  if (it == windowPicture.end()) return fail("");
                                  return std::move(*it->second);
                              }));
    });
}

void CaptureSourceProvider::preview(
    std::string kind, std::uint32_t id,
    std::function<void(std::optional<std::string>)> completion) const {
    ConcurrentQueue::userInitiated().post([kind = std::move(kind), id,
                                           completion = std::move(completion)] {
        // A Wayland desktop shows nothing before its dialog: the card's picture stands.
        if (captureBackend() == CaptureBackend::portal) return completion(std::nullopt);
        Result<BgraImage> image = fail("");
        if (kind == "display") {
            // Only the displays are needed: no reading of every window's properties.
            auto monitors = x11::listMonitors();
            if (monitors) {
                if (auto m = x11::findMonitor(*monitors, id)) {
                    image = x11::captureScreenRegion(PixelRect{m->x, m->y, m->width, m->height});
                }
            }
        } else {
            image = x11::captureWindow(id);
        }
        if (!image) return completion(std::nullopt);
        completion(jpegDataURL(*image, kPreviewWidth));
    });
}

}  // namespace marlune
