#include "recording/cursor_tracker.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/debug_log.h"
#include "core/queue.h"
#include "platform/desktop/x11_pointer.h"
#include "platform/wayland/pointer_buttons.h"
#include "recording/wayland_capture.h"

namespace marlune {

namespace {

// Half away from zero, like the stored files have always been rounded.
double round3(double v) {
    return std::round(v * 1000) / 1000;
}

// Where pixel `p` lies along a monitor side starting at `min` with `size` pixels: the first pixel
// is 0 and the last is 1, so a pointer pushed into a corner reads as exactly that corner.
double fraction(int p, int min, int size) {
    return size > 1 ? double(p - min) / (size - 1) : 0.0;
}

}  // namespace

CursorTracker::CursorTracker() = default;

CursorTracker::~CursorTracker() {
    pathTimer_.cancel();
    if (pointer_) pointer_->stopWatching();
}

bool CursorTracker::connectPointer() {
    if (!pointerTried_) {
        pointerTried_ = true;
        if (auto opened = x11::PointerWatch::open()) {
            pointer_ = std::move(*opened);
        } else {
            systemLog("Marlune: cursor tracking is off: " + opened.error().message);
        }
    }
    return pointer_ != nullptr;
}

void CursorTracker::start(RecordedArea area, bool trackPath, Clock elapsed) {
    MARLUNE_ASSERT_ON(Queue::main());
    stop();
    clicks.clear();
    path.clear();
    elapsed_ = std::move(elapsed);
    running_ = true;

    area_ = std::move(area);
    portal_ = nullptr;
    portalTypes_ = nullptr;
    clicksMissing_.reset();
    if (captureBackend() == CaptureBackend::portal) startFromPortalStream();
    if (portal_) {
        watchWaylandClicks();
    } else if (connectPointer()) {
        pointer_->watchPrimaryPresses(Queue::main(), [this] { recordClick(); });
    }
    marluneDebugLog("cursor.start trackPath=" + std::string(trackPath ? "true" : "false"));
    if (trackPath) {
        (portalTypes_ ? *portalTypes_ : typeDetector_).prepare();
        pathTimer_.start(Queue::main(), std::chrono::nanoseconds(0), kSampleInterval,
                         [this] { takeSample(); });
    }
}

void CursorTracker::startFromPortalStream() {
    portal_ = WaylandCapture::recording();
    if (!portal_) return;
    // The stream's cursor positions are in its pixels: measured against the recorded part of
    // them (the whole picture, or an area of the display).
    area_ = fixedArea(portal_->recordedPart());
    portalTypes_ = std::make_unique<CursorTypeDetector>(WaylandCapture::cursorSource(portal_));
}

void CursorTracker::watchWaylandClicks() {
    // Wayland gives applications no global button events: presses are read from the pointer
    // devices, which needs the "input" group. Without it the recording has no click track and
    // says why.
    clicksMissing_.reset();
    auto buttons = wayland::PointerButtons::open();
    if (!buttons) {
        marluneDebugLog("cursor.clicks unavailable: " + buttons.error().message);
        clicksMissing_ = wayland::kClicksMissingReason;
        return;
    }
    buttons_ = std::move(*buttons);
    buttons_->watchPrimaryPresses(Queue::main(), [this] { recordClick(); });
}

std::optional<x11::RootPoint> CursorTracker::pointerPosition() const {
    if (portal_) {
        const PortalPointer p = portal_->pointer();
        if (!p.visible) return std::nullopt;
        return x11::RootPoint{p.x, p.y};
    }
    if (!pointer_) return std::nullopt;
    return pointer_->position();
}

void CursorTracker::stop() {
    MARLUNE_ASSERT_ON(Queue::main());
    marluneDebugLog("cursor.stop clicks=" + std::to_string(clicks.size()) +
                    " path=" + std::to_string(path.size()));
    if (pointer_) pointer_->stopWatching();
    buttons_.reset();
    pathTimer_.cancel();
    elapsed_ = nullptr;
    area_ = nullptr;
    running_ = false;
    portal_ = nullptr;
}

std::optional<std::int64_t> CursorTracker::now() const {
    if (!running_ || !elapsed_) return std::nullopt;
    return elapsed_();
}

void CursorTracker::recordClick() {
    auto t = now();
    if (!t || !area_) return;
    auto area = area_();
    if (!area || area->empty()) return;
    // Raw presses carry no position: the pointer is read as the press arrives.
    auto p = pointerPosition();
    if (!p) return;
    const PixelRect& b = *area;
    // Presses outside the area are dropped, not pulled onto it.
    if (p->x < b.x || p->x >= b.x + b.width || p->y < b.y || p->y >= b.y + b.height) return;
    clicks.push_back({*t, fraction(p->x, b.x, b.width), fraction(p->y, b.y, b.height)});
}

void CursorTracker::takeSample() {
    auto t = now();
    if (!t || !area_) return;
    auto area = area_();
    if (!area || area->empty()) return;
    auto p = pointerPosition();
    if (!p) return;
    const PixelRect& b = *area;
    // A pointer outside the area is shown at its nearest edge.
    double fx = std::clamp(fraction(p->x, b.x, b.width), 0.0, 1.0);
    double fy = std::clamp(fraction(p->y, b.y, b.height), 0.0, 1.0);
    path.push_back({*t, fx, fy, (portalTypes_ ? *portalTypes_ : typeDetector_).current()});
}

Json CursorTracker::asJSON(std::size_t from) const {
    Json out = Json::array();
    for (std::size_t i = from; i < clicks.size(); ++i) {
        const auto& c = clicks[i];
        out.push_back({{"t", c.tMs}, {"fx", round3(c.fx)}, {"fy", round3(c.fy)}});
    }
    return out;
}

Json CursorTracker::pathJSON(std::size_t from) const {
    Json out = Json::array();
    for (std::size_t i = from; i < path.size(); ++i) {
        const auto& s = path[i];
        out.push_back(Json::array({s.tMs, round3(s.fx), round3(s.fy), s.type}));
    }
    return out;
}

}  // namespace marlune
