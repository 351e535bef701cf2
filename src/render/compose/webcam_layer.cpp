#include "render/compose/webcam_layer.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "render/blur.h"
#include "render/raster.h"

namespace marlune {

namespace {

constexpr double kTimeTolerance = 1e-6;  // seconds

}  // namespace

WebcamLayer::WebcamLayer(const WebcamFX& webcam, Frames frames, int width, int height)
    : webcam_(webcam), frames_(std::move(frames)) {
    box_ = webcamBox(webcam_, width, height);
    if (!box_) return;
    circle_ = webcam_.shape == "circle";
    if (!circle_)
        shape_ = squirclePath(box_->width, box_->height, webcam_.cornerRadius * box_->unit);
    if (webcam_.shadow > 0.01) {
        const double sigma = std::min(box_->width, box_->height) * 0.11;
        shadowMargin_ = static_cast<int>(std::ceil(3 * sigma)) + 1;
        shadow_ = Surface::adopt(cairo_image_surface_create(
            CAIRO_FORMAT_A8, box_->width + 2 * shadowMargin_, box_->height + 2 * shadowMargin_));
        if (shadow_) {
            cairo_t* cr = cairo_create(shadow_.get());
            cairo_translate(cr, shadowMargin_, shadowMargin_);
            cutShape(cr, 1, 1);
            cairo_set_source_rgba(cr, 0, 0, 0, std::min(webcam_.shadow, 1.0));
            cairo_fill(cr);
            cairo_destroy(cr);
            cairo_surface_flush(shadow_.get());
            gaussianBlur(shadow_, sigma);
        }
    }
}

// Appends the webcam's outline, for a box scaled by (sx, sy), to the current path.
void WebcamLayer::cutShape(cairo_t* cr, double sx, double sy) const {
    if (circle_) {
        cairo_save(cr);
        cairo_scale(cr, box_->width * sx / 2, box_->height * sy / 2);
        cairo_arc(cr, 1, 1, 1, 0, 2 * std::numbers::pi);
        cairo_restore(cr);
        return;
    }
    cairo_new_sub_path(cr);
    for (const Point& p : shape_) cairo_line_to(cr, p.x * sx, p.y * sy);
    cairo_close_path(cr);
}

void WebcamLayer::restart() {
    pending_.reset();
    current_.reset();
    exhausted_ = false;
    composed_ = {};
}

// Moves the webcam to the latest picture not later than `srcMs` (the first one before that).
void WebcamLayer::advance(double srcMs) {
    // Subtracting in milliseconds first keeps whole-millisecond times exact; a picture stamped
    // within a microsecond after the time still counts (movie times are rounded rationals).
    const double tw = (srcMs - webcam_.offsetMs) / 1000 + kTimeTolerance;
    while (!exhausted_) {
        std::optional<DecodedFrame> sample = std::move(pending_);
        pending_.reset();
        if (!sample) {
            sample = frames_();
            if (!sample) {
                exhausted_ = true;  // the last picture stays on screen
                break;
            }
        }
        if (sample->timeSeconds > tw && current_) {
            pending_ = std::move(sample);
            break;
        }
        const double shownAt = sample->timeSeconds;
        current_ = std::move(sample);
        composed_ = {};
        if (!(shownAt <= tw)) break;
    }
}

// The current picture cut to the webcam's shape at dw × dh, for the canvas position (x, y).
void WebcamLayer::compose(const FrameLayer& frame, int dw, int dh, int x, int y) {
    if (!mask_ || mask_.width() != dw || mask_.height() != dh || maskAt_.x != x || maskAt_.y != y) {
        composed_ = {};
        mask_ = Surface::adopt(cairo_image_surface_create(CAIRO_FORMAT_A8, dw, dh));
        if (!mask_) return;
        cairo_t* cr = cairo_create(mask_.get());
        cutShape(cr, static_cast<double>(dw) / box_->width, static_cast<double>(dh) / box_->height);
        cairo_fill(cr);
        cairo_destroy(cr);
        cairo_surface_flush(mask_.get());
        frame.applyCoverage(mask_, x, y);
        maskAt_ = {static_cast<double>(x), static_cast<double>(y)};
    }
    if (composed_ || !current_ || current_->image.empty()) return;
    const BgraImage& picture = current_->image;
    composed_ = makeSurface(dw, dh);
    if (!composed_) return;
    const double scale =
        std::max(static_cast<double>(dw) / picture.width, static_cast<double>(dh) / picture.height);
    double sx = scale, sy = scale;
    Surface level = reduceForScale(wrapImage(picture), sx, sy);
    cairo_t* cr = cairo_create(composed_.get());
    if (webcam_.mirror) {
        cairo_translate(cr, dw, 0);
        cairo_scale(cr, -1, 1);
    }
    cairo_translate(cr, (dw - picture.width * scale) / 2, (dh - picture.height * scale) / 2);
    cairo_scale(cr, sx, sy);
    setBilinearSource(cr, level.get(), 0, 0, CAIRO_EXTEND_PAD);
    cairo_identity_matrix(cr);
    cairo_mask_surface(cr, mask_.get(), 0, 0);
    cairo_destroy(cr);
    cairo_surface_flush(composed_.get());
}

// The webcam's shadow scaled like the displayed box (dw × dh), for the canvas position (x, y).
void WebcamLayer::scaleShadow(const FrameLayer& frame, int dw, int dh, int x, int y) {
    const double fx = static_cast<double>(dw) / box_->width;
    const double fy = static_cast<double>(dh) / box_->height;
    const int sw = static_cast<int>(std::ceil(shadow_.width() * fx));
    const int sh = static_cast<int>(std::ceil(shadow_.height() * fy));
    if (shadowScaled_ && shadowScaled_.width() == sw && shadowScaled_.height() == sh &&
        shadowAt_.x == x && shadowAt_.y == y) {
        return;
    }
    shadowScaled_ = Surface::adopt(cairo_image_surface_create(CAIRO_FORMAT_A8, sw, sh));
    if (!shadowScaled_) return;
    double lx = fx, ly = fy;
    Surface level = reduceForScale(shadow_, lx, ly);
    cairo_t* cr = cairo_create(shadowScaled_.get());
    cairo_scale(cr, lx, ly);
    setBilinearSource(cr, level.get(), 0, 0);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_flush(shadowScaled_.get());
    frame.applyCoverage(shadowScaled_, x, y);
    shadowAt_ = {static_cast<double>(x), static_cast<double>(y)};
}

void WebcamLayer::draw(cairo_t* cr, const FrameLayer& frame, const ScreenPlacement& layer,
                       double srcMs) {
    if (!exhausted_) advance(srcMs);
    if (!current_) return;
    const WebcamPlacement place = webcamPlacement(webcam_, *box_, layer.s, frame.shownLayer());
    const double k = layer.k;
    const double dwf = place.rect.width * k, dhf = place.rect.height * k;
    const double xf = layer.ox + k * place.rect.x, yf = layer.oy + k * place.rect.y;
    // Boxes far off the canvas, or too large for cairo, are not drawn.
    if (!(dwf < kMaxSide && dhf < kMaxSide && std::abs(xf) < kMaxSide && std::abs(yf) < kMaxSide)) {
        return;
    }
    const int dw = std::max(1, static_cast<int>(std::lround(dwf)));
    const int dh = std::max(1, static_cast<int>(std::lround(dhf)));
    // Whole-pixel positions keep the composites plain copies (no resampling); the webcam moves by
    // less than half a pixel for it.
    const int x = static_cast<int>(std::lround(xf)), y = static_cast<int>(std::lround(yf));

    if (shadow_) {
        const double fx = static_cast<double>(dw) / box_->width;
        const double fy = static_cast<double>(dh) / box_->height;
        const int sx = static_cast<int>(std::lround(xf - shadowMargin_ * fx));
        const int sy =
            static_cast<int>(std::lround(yf + 0.06 * std::min(dwf, dhf) - shadowMargin_ * fy));
        scaleShadow(frame, dw, dh, sx, sy);
        if (shadowScaled_) {
            cairo_save(cr);
            cairo_rectangle(cr, sx, sy, shadowScaled_.width(), shadowScaled_.height());
            cairo_clip(cr);
            cairo_set_source_rgb(cr, 0, 0, 0);
            cairo_mask_surface(cr, shadowScaled_.get(), sx, sy);
            cairo_restore(cr);
        }
    }
    compose(frame, dw, dh, x, y);
    if (!composed_) return;
    cairo_save(cr);
    cairo_rectangle(cr, x, y, dw, dh);
    cairo_clip(cr);
    cairo_set_source_surface(cr, composed_.get(), x, y);
    cairo_paint(cr);
    cairo_restore(cr);
}

}  // namespace marlune
