// An "edit.exportRender" payload, the edit document inside it included, taken as far as the
// export takes it without a movie: decoded, turned into motion frame by frame and composed onto a
// small picture. The decoded values must keep the documented ranges and the motion must stay
// finite, whatever the numbers in the text.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fuzz_support.h"
#include "render/compose/frame_composer.h"
#include "render/export/export_renderer.h"

namespace {

using namespace marlune;

constexpr int kWidth = 48;
constexpr int kHeight = 28;
constexpr int kFrames = 24;

void check(bool ok, const char* what) {
    if (!ok) fuzz::fail(what);
}

void checkDecoded(const ExportRequest& request) {
    for (const auto& zoom : request.zooms) {
        check(zoom.scale >= 1 && zoom.scale <= 6, "zoom scale outside 1 to 6");
        check(zoom.inMs >= 100 && zoom.outMs >= 100, "zoom ramp shorter than 100 ms");
        check(std::isfinite(zoom.startMs) && std::isfinite(zoom.endMs), "zoom time not finite");
        check(zoom.fx >= 0 && zoom.fx <= 1 && zoom.fy >= 0 && zoom.fy <= 1, "focus outside 0 to 1");
    }
    if (request.frame) {
        const auto& f = *request.frame;
        check(f.paddingPct >= 0 && f.paddingPct <= 40, "padding outside 0 to 40");
        check(f.radiusPct >= 0 && f.radiusPct <= 20, "radius outside 0 to 20");
        check(f.shadowPct >= 0 && f.shadowPct <= 100, "shadow outside 0 to 100");
        check(f.outlinePct >= 0 && f.outlinePct <= 4, "outline outside 0 to 4");
        for (unsigned char c : f.id) check(c != '/' && c != '.' && c != '\\', "unsafe id");
    }
    if (request.cursor) {
        const auto& c = *request.cursor;
        check(!c.path.empty(), "cursor without a path");
        check(c.size >= 1 && c.size <= 3, "cursor size outside 1 to 3");
        for (double v : {c.smooth, c.bounce, c.motionBlur, c.sway}) {
            check(v >= 0 && v <= 1, "cursor setting outside 0 to 1");
        }
    }
    if (request.webcam) {
        check(std::string_view(request.webcam->file).ends_with(".webcam.mp4"), "webcam file name");
    }
    check(std::isfinite(request.micGain) && std::isfinite(request.systemGain), "gain not finite");
}

void checkMotion(const MotionSim::Out& out) {
    check(out.scale >= 1 - 1e-9 && out.scale <= 6 + 1e-9, "camera scale outside 1 to 6");
    check(std::isfinite(out.fx) && std::isfinite(out.fy), "camera focus not finite");
    if (out.cursor) {
        const auto& c = *out.cursor;
        for (double v : {c.x, c.y, c.rot, c.bounceK, c.blurVX, c.blurVY}) {
            check(std::isfinite(v), "cursor motion not finite");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto payload = fuzz::outsideJson(data, size);
    if (!payload || !payload->is_object()) return 0;
    auto request = ExportRequest::fromPayload(*payload);
    if (!request) return 0;
    checkDecoded(*request);

    PixelSize out = ExportRenderer::outputSize(kWidth, kHeight, request->targetHeight);
    check(out.width > 0 && out.height > 0 && out.width <= kWidth && out.height <= kHeight,
          "output size");

    // A range the export would accept, walked in kFrames steps of at least a frame.
    const double startMs = static_cast<double>(request->startMs);
    const double endMs = static_cast<double>(request->endMs);
    if (!(startMs < endMs)) return 0;
    const double stepMs = std::max((endMs - startMs) / kFrames, 1000.0 / 30);

    CompositionInputs inputs;
    inputs.width = kWidth;
    inputs.height = kHeight;
    inputs.outWidth = out.width;
    inputs.outHeight = out.height;
    inputs.zooms = request->zooms;
    inputs.frame = request->frame;
    inputs.cursor = request->cursor;
    inputs.webcam = request->webcam;
    inputs.timeMap = TimeMap(request->startMs, request->endMs);
    int webcamLeft = kFrames;
    inputs.webcamFrames = [&webcamLeft]() -> std::optional<DecodedFrame> {
        if (webcamLeft-- <= 0) return std::nullopt;
        return DecodedFrame{fuzz::testPicture(32, 24), 0};
    };

    FrameComposer composer(std::move(inputs));
    const BgraImage source = fuzz::testPicture(kWidth, kHeight);
    BgraImage canvas;
    for (int i = 0; i < kFrames; ++i) {
        const double ms = startMs + i * stepMs;
        if (ms > endMs) break;
        auto step = composer.advance(ms / 1000);
        checkMotion(step.motion);
        if (!step.passThrough) composer.render(step, source, canvas);
    }
    return 0;
}
