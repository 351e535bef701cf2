#include "render/frame_composer.h"

#include <cstring>

namespace marlune {

// Placeholder until the composition lands: zoom-free copy of the source.
struct FrameComposer::Impl {
    CompositionInputs inputs;
    MotionSim motion;
};

FrameComposer::FrameComposer(CompositionInputs inputs)
    : impl_(std::make_unique<Impl>(
          Impl{inputs, MotionSim(inputs.zooms, inputs.cursor, inputs.width, inputs.height)})) {}

FrameComposer::~FrameComposer() = default;

const CompositionInputs& FrameComposer::inputs() const {
    return impl_->inputs;
}

FrameComposer::Step FrameComposer::advance(double ptsSeconds) {
    Step step;
    const auto& in = impl_->inputs;
    if (in.timeMap.hasCuts()) {
        step.outMs = ptsSeconds * 1000;
        step.srcMs = in.timeMap.source(step.outMs);
    } else {
        step.srcMs = ptsSeconds * 1000;
        step.outMs = step.srcMs - (in.timeMap.kept().empty() ? 0 : in.timeMap.kept()[0].srcStart);
    }
    step.motion = impl_->motion.tick(step.srcMs);
    step.scale = step.motion.scale > 1.001 ? step.motion.scale : 1;
    step.passThrough =
        in.outWidth == in.width && step.scale == 1 && !in.frame && !in.cursor && !in.webcamFrames;
    return step;
}

void FrameComposer::render(const Step&, const BgraImage& source, BgraImage& canvas) {
    canvas = source;
}

}  // namespace marlune
