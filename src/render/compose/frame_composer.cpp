#include "render/compose/frame_composer.h"

#include <algorithm>

#include "render/compose/cursor_layer.h"
#include "render/compose/frame_layer.h"
#include "render/compose/keys_layer.h"
#include "render/compose/webcam_layer.h"
#include "render/edited_time.h"
#include "render/output_shape.h"
#include "render/raster.h"

namespace marlune {

struct FrameComposer::Impl {
    CompositionInputs inputs;
    MotionSim motion;
    MotionSim::Out lastMotion{1, 0.5, 0.5, std::nullopt};  // held through cut pictures
    int w = 0, h = 0;                                      // the source picture's size
    int cw = 0, ch = 0;                                    // the canvas's
    bool valid = false;                                    // a canvas cairo can hold
    // The layers, bottom to top. Only a valid canvas has any styling, cursor or webcam.
    FrameLayer frame;
    std::optional<CursorLayer> cursor;
    std::optional<WebcamLayer> webcam;
    std::optional<KeysLayer> keys;

    explicit Impl(CompositionInputs in)
        : inputs(std::move(in)),
          motion(inputs.zooms, inputs.cursor, inputs.width, inputs.height),
          w(inputs.width),
          h(inputs.height),
          cw(inputs.canvasWidth > 0 ? inputs.canvasWidth : w),
          ch(inputs.canvasHeight > 0 ? inputs.canvasHeight : h),
          frame(w, h, cw, ch) {
        valid = w > 0 && h > 0 && w <= kMaxSide && h <= kMaxSide && cw > 0 && ch > 0 &&
                cw <= kMaxSide && ch <= kMaxSide;
        if (!valid) return;
        if (inputs.frame) frame.prepare(*inputs.frame, inputs.webRoot);
        if (inputs.cursor && inputs.cursor->render)
            cursor.emplace(*inputs.cursor, w, inputs.webRoot);
        if (inputs.webcam && inputs.webcamFrames) {
            webcam.emplace(*inputs.webcam, inputs.webcamFrames, w, h);
            if (!webcam->shows()) webcam.reset();
        }
        if (inputs.keys) keys.emplace(*inputs.keys, inputs.timeMap, w, h);
    }

    bool hasCursorArt() const { return cursor && cursor->hasArt(); }
    // The clock the overlays' recorded times are on: the edited one when time changes.
    double overlayMs(const Step& step) const {
        return inputs.timeMap.changesTime() ? step.editMs : step.srcMs;
    }

    void render(const Step& step, const BgraImage& source, BgraImage& canvas) {
        if (!valid) {  // a size cairo cannot hold: nothing can be drawn, the picture stays
            canvas = source;
            return;
        }
        if (canvas.width != cw || canvas.height != ch || canvas.empty()) {
            canvas = BgraImage::blank(cw, ch);
        }
        if (source.empty() || canvas.empty()) {
            if (!canvas.empty()) std::fill(canvas.pixels.begin(), canvas.pixels.end(), 0);
            return;
        }
        const ScreenPlacement layer = frame.placement(step.scale, step.motion.fx, step.motion.fy);

        frame.drawScreen(canvas, layer, source);
        Surface target = wrapImage(canvas);
        cairo_t* cr = cairo_create(target.get());
        if (frame.styled()) frame.drawBackground(target.get(), step.outMs);
        if (const auto& c = step.motion.cursor; c && cursor) {
            if (cursor->hasRipples()) {
                // The clicks are on the motion's clock: the edited one when time changes.
                cursor->drawRipples(cr, frame, layer, *motion.cursor(), overlayMs(step));
            }
            if (cursor->hasArt()) cursor->drawCursor(cr, frame, layer, *c);
        }
        if (webcam) webcam->draw(cr, frame, layer, step.srcMs);
        if (keys) keys->draw(cr, overlayMs(step));
        cairo_destroy(cr);
        cairo_surface_flush(target.get());
        if (frame.styled()) frame.drawOutline(target.get());
    }
};

CompositionInputs compositionInputs(const ExportRequest& request, int width, int height,
                                    PixelSize out, std::optional<std::filesystem::path> webRoot,
                                    std::optional<TimeMap> timeMap) {
    CompositionInputs inputs;
    inputs.width = width;
    inputs.height = height;
    const PixelSize canvas = shapedCanvas({width, height}, request.shape);
    inputs.canvasWidth = canvas.width;
    inputs.canvasHeight = canvas.height;
    inputs.outWidth = out.width;
    inputs.outHeight = out.height;
    inputs.timeMap =
        timeMap ? std::move(*timeMap) : requestTimeMap(request, request.startMs, request.endMs);
    inputs.zooms = editedZooms(request.zooms, inputs.timeMap);
    inputs.frame = request.frame;
    if (!inputs.frame && (canvas.width != width || canvas.height != height)) {
        inputs.frame =
            FrameSettings{.type = "color", .paddingPct = 0, .radiusPct = 0, .shadowPct = 0};
    }
    inputs.cursor = editedCursor(request.cursor, inputs.timeMap);
    inputs.webcam = request.webcam;
    inputs.keys = request.keys;
    inputs.webRoot = std::move(webRoot);
    return inputs;
}

FrameComposer::FrameComposer(CompositionInputs inputs)
    : impl_(std::make_unique<Impl>(std::move(inputs))) {}

FrameComposer::~FrameComposer() = default;

const CompositionInputs& FrameComposer::inputs() const {
    return impl_->inputs;
}

FrameComposer::Step FrameComposer::advance(double ptsSeconds) {
    Step step = timing(ptsSeconds);
    if (!step.cut) impl_->lastMotion = impl_->motion.tick(step.editMs);
    return withMotion(step, impl_->lastMotion);
}

FrameComposer::Step FrameComposer::timing(double ptsSeconds) const {
    Step step;
    const auto& in = impl_->inputs;
    step.srcMs = ptsSeconds * 1000;
    const double base = in.timeMap.kept().empty() ? 0 : in.timeMap.kept()[0].srcStart;
    if (in.timeMap.changesTime()) {
        const auto out = in.timeMap.output(step.srcMs);
        step.cut = !out;
        step.outMs = out ? *out : in.timeMap.outputOrJoin(step.srcMs);
        step.editMs = step.outMs + base;
    } else {
        step.outMs = step.srcMs - base;
        step.editMs = step.srcMs;
    }
    return step;
}

FrameComposer::Step FrameComposer::withMotion(Step step, const MotionSim::Out& motion) const {
    const auto& in = impl_->inputs;
    step.motion = motion;
    step.scale = step.motion.scale > 1.001 ? step.motion.scale : 1;
    const Impl& c = *impl_;
    step.passThrough = in.outWidth == in.width && in.outHeight == in.height && c.cw == in.width &&
                       c.ch == in.height && step.scale == 1 && !c.frame.styled() &&
                       !c.hasCursorArt() && !c.webcam &&
                       !(c.keys && c.valid && c.keys->showsAt(c.overlayMs(step)));
    return step;
}

void FrameComposer::restartWebcam() {
    if (impl_->webcam) impl_->webcam->restart();
}

void FrameComposer::render(const Step& step, const BgraImage& source, BgraImage& canvas) {
    impl_->render(step, source, canvas);
}

}  // namespace marlune
