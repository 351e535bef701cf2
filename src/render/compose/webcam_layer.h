#pragma once

#include <cairo.h>

#include <functional>
#include <optional>
#include <vector>

#include "library/edit_document.h"
#include "platform/media/video_decoder.h"
#include "render/compose/frame_layer.h"
#include "render/composition.h"

namespace marlune {

// The webcam over everything else: its movie's picture on screen at the frame's time, cut to a
// squircle or a circle, with a soft shadow below, shrinking with the zoom when asked, through the
// screen's coverage.
//
// Owned by the frame composer, on its thread; `frames` is called from draw().
class WebcamLayer {
  public:
    // The webcam's pictures in presentation order from the export's webcam start (see
    // CompositionInputs::webcamFrames).
    using Frames = std::function<std::optional<DecodedFrame>()>;

    // Prepares the box, shape and shadow of `webcam` on a W × H canvas.
    WebcamLayer(const WebcamFX& webcam, Frames frames, int width, int height);
    WebcamLayer(const WebcamLayer&) = delete;
    WebcamLayer& operator=(const WebcamLayer&) = delete;

    // False when the box is too small to show (the webcam is dropped).
    bool shows() const { return box_.has_value(); }

    // Forgets the picture on screen and the end of the movie (FrameComposer::restartWebcam).
    void restart();
    // Draws the picture on screen at source time `srcMs`, taking new pictures from `frames`.
    void draw(cairo_t* cr, const FrameLayer& frame, const ScreenPlacement& layer, double srcMs);

  private:
    void cutShape(cairo_t* cr, double sx, double sy) const;
    void advance(double srcMs);
    void compose(const FrameLayer& frame, int dw, int dh, int x, int y);
    void scaleShadow(const FrameLayer& frame, int dw, int dh, int x, int y);

    const WebcamFX webcam_;
    const Frames frames_;

    // Fixed layers.
    std::optional<WebcamBox> box_;
    bool circle_ = false;
    std::vector<Point> shape_;  // squircle polygon in box pixels
    Surface shadow_;            // A8, box plus shadowMargin_ on every side
    int shadowMargin_ = 0;

    // Per-export state, advancing with the frames.
    std::optional<DecodedFrame> pending_;
    std::optional<DecodedFrame> current_;
    bool exhausted_ = false;
    Surface composed_;  // the current picture cut to shape at the displayed size
    // The shape and the shadow at the displayed size, already multiplied by the screen's coverage
    // at the canvas positions they were made for.
    Surface mask_;
    Point maskAt_;
    Surface shadowScaled_;
    Point shadowAt_;
};

}  // namespace marlune
