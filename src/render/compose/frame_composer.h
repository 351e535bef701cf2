#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "library/edit_document.h"
#include "platform/image/bgra_image.h"
#include "platform/media/video_decoder.h"
#include "render/motion_sim.h"
#include "render/time_map.h"

namespace marlune {

// Everything the composition of one export needs, fixed before the first frame.
struct CompositionInputs {
    int width = 0;  // source picture size W × H (the video track's size, truncated)
    int height = 0;
    // The canvas the pictures are composed on: W × H, or with an output shape that shape at W × H's
    // short side (render/output_shape.h); a canvas of another size always has a frame. 0: W × H.
    int canvasWidth = 0;
    int canvasHeight = 0;
    // Size of the written movie: the canvas scaled uniformly (to a target height), sides made even
    // for a shaped one.
    int outWidth = 0;
    int outHeight = 0;
    std::vector<ZoomSegment> zooms;
    std::optional<FrameSettings> frame;
    std::optional<CursorFX> cursor;
    std::optional<WebcamFX> webcam;
    std::optional<KeystrokeFX> keys;  // on the recording's clock; the layer retimes them
    TimeMap timeMap{0, 0};
    // The page's folder (wallpapers, live backgrounds, cursor packs); none when unknown.
    std::optional<std::filesystem::path> webRoot;
    // The webcam movie's pictures in presentation order, starting at the export's webcam start
    // time; each call returns the next one, nothing once the movie is exhausted. Empty when the
    // export has no usable webcam movie (the webcam is then dropped). Called on the video queue,
    // from render(). Pictures wider than webcamDecodeWidth() (render/composition.h) are only
    // reduced again, so decoding them at that width saves work.
    std::function<std::optional<DecodedFrame>()> webcamFrames;
};

// The inputs of an export of `request` from a W × H source to `out` (the shaped output size), the
// webcam left out (its pictures come from whoever reads the webcam movie). With a shape whose
// canvas is not W × H and no frame, the screen sits on black with no padding, corners or shadow.
// The zooms and cursor tracks are on the edited clock of the request's cuts and speeds, over
// `timeMap` when given (the range fitted to the movie), else over the request's range as asked.
CompositionInputs compositionInputs(const ExportRequest& request, int width, int height,
                                    PixelSize out, std::optional<std::filesystem::path> webRoot,
                                    std::optional<TimeMap> timeMap = std::nullopt);

// Composes the exported pictures, running its layers in order: the zoomed screen in its frame
// with the background, padding, rounded mask, shadow and outline (FrameLayer), then the click
// ripples and the cursor (CursorLayer), then the webcam (WebcamLayer), then the keystroke
// overlay (KeysLayer). Construction prepares
// everything that does not change per frame; then, for each source picture in presentation order,
// advance() moves the motion to that picture and tells whether it needs any pixel work, and
// render() draws it.
//
// One export's video queue owns it: not thread-safe, but render() may use worker threads inside.
class FrameComposer {
  public:
    explicit FrameComposer(CompositionInputs inputs);
    ~FrameComposer();
    FrameComposer(const FrameComposer&) = delete;
    FrameComposer& operator=(const FrameComposer&) = delete;

    struct Step {
        double srcMs = 0;  // source (recording) time of the picture
        double outMs = 0;  // time on the output timeline
        // Time on the edited clock (render/edited_time.h), which the motion runs on: srcMs
        // without cuts or speeds.
        double editMs = 0;
        // A cut removes the picture: it is neither ticked nor shown (motion holds the last).
        bool cut = false;
        // True when the source picture is the output picture as it is (same size, no zoom, no
        // layers): the caller appends the source without converting or drawing anything.
        bool passThrough = false;
        MotionSim::Out motion{};  // the frame's motion (camera and cursor)
        double scale = 1;         // zoom applied: motion.scale above 1.001, else 1
    };

    // Advances the motion to the picture shown at `ptsSeconds` (source presentation time). Once
    // per source picture, in order. The same as withMotion(timing(pts), motion.tick(editMs)) with
    // the composer's own simulator, the tick left out for a cut picture (which keeps the motion
    // of the picture before).
    Step advance(double ptsSeconds);

    // The source and output times of the picture shown at `ptsSeconds`, motion not filled in.
    // Touches nothing: a caller that keeps the motion of an export elsewhere (a still preview)
    // asks here which times the export would use.
    Step timing(double ptsSeconds) const;
    // `step` completed with its picture's motion, as a simulator of the same zooms, cursor and
    // size ticked through the same pictures gives it: the zoom applied and whether the picture
    // passes through.
    Step withMotion(Step step, const MotionSim::Out& motion) const;

    // Forgets the webcam picture on screen and the end of the webcam movie, for a caller that
    // shows an earlier time next (or jumps far ahead): render() then takes webcam pictures from
    // webcamFrames again, which the caller has moved to a point at or before that time.
    void restartWebcam();

    // Draws the picture for `step` from `source` (W × H, opaque BGRA) into `canvas`, which it
    // (re)allocates to the canvas size when needed; every pixel is rewritten, so the same canvas
    // can be passed for every frame. The caller scales the canvas to outWidth × outHeight
    // (uniformly, as part of its conversion for the encoder). Never called for pass-through steps;
    // called for every other step, in order, since the webcam and the live background advance with
    // it.
    void render(const Step& step, const BgraImage& source, BgraImage& canvas);

    const CompositionInputs& inputs() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace marlune
