#include "render/motion_sim.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace marlune {

namespace {

// A ramp with no length has already finished: the change is immediate.
double ratio(double elapsed, double duration) {
    return duration > 0 ? elapsed / duration : std::numeric_limits<double>::infinity();
}

double sanitizedSize(double v) {
    return std::isfinite(v) && v > 0 ? v : 0;
}

}  // namespace

MotionSim::MotionSim(std::vector<ZoomSegment> zooms, std::optional<CursorFX> cursor, double width,
                     double height)
    : zooms_(std::move(zooms)),
      cursor_(std::move(cursor)),
      w_(sanitizedSize(width)),
      h_(sanitizedSize(height)),
      cursorCfg_(cursorSpringConfig(cursor_ ? 2 * cursor_->smooth : 0)),
      swayCfg_(swaySpringConfig(cursor_ ? 2 * cursor_->smooth : 0)) {
    // A value built by hand has not had its tracks' order checked yet.
    if (cursor_ && !cursor_->lookups) cursor_->prepareLookups();
    if (cursor_ && cursor_->lookAhead) {
        // The spring's settling time, from a step of the whole frame in 5 ms steps.
        SpringState probe{0, 0, true};
        double t = 0;
        while (t < 3000 && (std::abs(1 - probe.value) > 0.01 || std::abs(probe.velocity) > 0.05)) {
            stepSpring(probe, 1, 5, cursorCfg_);
            t += 5;
        }
        lookAheadMs_ = t;
    }
    // Segments that can contain a time (start <= end), in edit order. When each ends no later than
    // the next begins (the usual edit), a binary search finds the active one; only segments that
    // touch at a time share it.
    ordered_ = true;
    for (std::size_t i = 0; i < zooms_.size(); ++i) {
        const ZoomSegment& z = zooms_[i];
        if (!(z.startMs <= z.endMs)) continue;
        if (!timeline_.empty() && !(zooms_[timeline_.back()].endMs <= z.startMs)) ordered_ = false;
        timeline_.push_back(i);
    }
}

std::optional<std::size_t> MotionSim::activeSegment(double ms) const {
    if (!ordered_) {
        for (std::size_t i = 0; i < zooms_.size(); ++i) {
            if (zooms_[i].startMs <= ms && ms <= zooms_[i].endMs) return i;
        }
        return std::nullopt;
    }
    auto it = std::partition_point(timeline_.begin(), timeline_.end(),
                                   [&](std::size_t i) { return zooms_[i].startMs <= ms; });
    if (it == timeline_.begin()) return std::nullopt;
    // The last segment starting at or before ms. If it does not contain ms, no earlier one does.
    std::size_t pos = static_cast<std::size_t>(it - timeline_.begin()) - 1;
    if (!(ms <= zooms_[timeline_[pos]].endMs)) return std::nullopt;
    // Segments ending exactly at ms (touching, or of zero length) come first in edit order.
    while (pos > 0 && ms <= zooms_[timeline_[pos - 1]].endMs) --pos;
    return timeline_[pos];
}

void MotionSim::reset() {
    // The previous raw sample and the follow-camera targets survive a reset on purpose: the
    // teleport test and a follow zoom that resumes pick up from them.
    cx_ = SpringState{0.5};
    cy_ = SpringState{0.5};
    sway_ = SpringState{};
    lastPx_.reset();
    lastPy_.reset();
    strength_ = SpringState{};
    focusX_ = SpringState{0.5};
    focusY_ = SpringState{0.5};
    seg_.reset();
    camInit_ = false;
    camReachedFull_ = false;
}

bool MotionSim::chainsIntoNext(std::size_t index) const {
    return index + 1 < zooms_.size() && zooms_[index + 1].startMs - zooms_[index].endMs < 120;
}

double MotionSim::targetStrength(std::size_t index, double ms) const {
    const ZoomSegment& z = zooms_[index];
    // Short segments ramp in and out over half their length each.
    const double half = (z.endMs - z.startMs) / 2;
    const double inDur = std::min(z.inMs, std::max(half, 1.0));
    // A chained pair holds its zoom across the join: the first does not ramp out and the second
    // does not ramp in again from nothing.
    const double a = index > 0 && chainsIntoNext(index - 1)
                         ? std::numeric_limits<double>::infinity()
                         : ratio(ms - z.startMs, inDur);
    if (chainsIntoNext(index)) return std::clamp(a, 0.0, 1.0);
    const double outDur = std::min(z.outMs, std::max(half, 1.0));
    const double r = ratio(z.endMs - ms, outDur);
    return std::clamp(std::min(a, r), 0.0, 1.0);
}

void MotionSim::focusTarget(const ZoomSegment& seg, double hv, double k, double ms, double& tx,
                            double& ty) {
    const double segFx = std::clamp(seg.fx, hv, 1 - hv);
    const double segFy = std::clamp(seg.fy, hv, 1 - hv);
    tx = segFx;
    ty = segFy;
    if (!seg.follow || !cursor_) return;
    if (k < 0.01) {
        camInit_ = false;
        camReachedFull_ = false;
        return;
    }
    if (k >= 0.99) {
        camReachedFull_ = true;
    } else if (camReachedFull_) {
        // Going out after a full zoom: hold the last camera position instead of chasing the cursor.
        tx = camFrozenX_;
        ty = camFrozenY_;
        return;
    }

    // While typing the caret wins over the pointer.
    if (auto c = cursor_->caret(ms)) {
        tx = std::clamp(c->fx, hv, 1 - hv);
        ty = std::clamp(c->fy, hv, 1 - hv);
        camInit_ = true;
        camFx_ = camFrozenX_ = tx;
        camFy_ = camFrozenY_ = ty;
        return;
    }
    if (auto p = cursor_->raw(ms)) {
        if (!camInit_) {
            // The first followed frame starts at the segment's own focus.
            camInit_ = true;
            camFx_ = camFrozenX_ = segFx;
            camFy_ = camFrozenY_ = segFy;
            return;
        }
        // Dead zone: the camera moves only when the pointer leaves the central half of the visible
        // window on that axis, and then jumps its target onto the pointer (with lookAhead: moves
        // it just far enough to bring the pointer back to the dead zone's edge).
        const double margin = 0.5 * hv;
        const bool push = cursor_->lookAhead;
        auto follow = [&](double pos, double cam) {
            if (push) {
                cam = std::clamp(cam, pos - hv + margin, pos + hv - margin);
            } else if (pos < cam - hv + margin || pos > cam + hv - margin) {
                cam = pos;
            }
            return std::clamp(cam, hv, 1 - hv);
        };
        camFx_ = camFrozenX_ = follow(p->fx, camFx_);
        camFy_ = camFrozenY_ = follow(p->fy, camFy_);
        tx = camFx_;
        ty = camFy_;
        return;
    }
    if (camInit_) {
        tx = camFx_;
        ty = camFy_;
    }
}

MotionSim::Out MotionSim::tick(double ms) {
    Out out{1, 0.5, 0.5, std::nullopt};
    if (!std::isfinite(ms)) return out;

    double dt;
    if (!lastMs_ || ms < *lastMs_ - 0.5 || ms - *lastMs_ > 400) {
        reset();
        dt = 16.7;
    } else {
        dt = ms - *lastMs_;
    }
    lastMs_ = ms;
    const double dtMs = std::clamp(dt, 1.0, 80.0);
    SpringStepper zoomStep(zoomSpringConfig, dtMs);

    // Zoom strength: the first segment (in edit order) containing ms sets the target; outside every
    // segment the strength decays to 0 while the camera keeps the last segment's scale and focus.
    // Two segments are chained when the next one (in edit order) starts less than 120 ms after the
    // first ends.
    double strengthTarget = 0;
    const auto active = activeSegment(ms);
    if (active) {
        seg_ = *active;
        strengthTarget = targetStrength(*active, ms);
    }
    // In the short gap of a chained pair the first segment's zoom holds until the second begins.
    if (!active && seg_ && chainsIntoNext(*seg_) && ms > zooms_[*seg_].endMs &&
        ms < zooms_[*seg_ + 1].startMs) {
        strengthTarget = targetStrength(*seg_, zooms_[*seg_].endMs);
    }
    const double k = std::clamp(zoomStep.step(strength_, strengthTarget), 0.0, 1.0);

    if (seg_) {
        const ZoomSegment& seg = zooms_[*seg_];
        out.scale = 1 + (seg.scale - 1) * k;
        // Half the visible fraction at full zoom: a focus within [hv, 1 - hv] keeps the zoomed
        // window inside the frame.
        const double hv = 1 / (2 * std::max(seg.scale, 1.0));
        double tx, ty;
        focusTarget(seg, hv, k, ms, tx, ty);
        if (cursor_ && cursor_->lookAhead) {
            // Only where the zoom of this frame can show it: the composition would otherwise
            // clamp the camera, stopping it dead at the edge.
            const double hs = 1 / (2 * std::max(out.scale, 1.0));
            tx = std::clamp(tx, hs, 1 - hs);
            ty = std::clamp(ty, hs, 1 - hs);
        }
        out.fx = zoomStep.step(focusX_, tx);
        out.fy = zoomStep.step(focusY_, ty);
    }

    if (!cursor_) return out;
    const auto raw = cursor_->raw(ms);
    if (!raw) return out;
    const CursorFX& cur = *cursor_;

    // A jump of more than a tenth of the frame within 150 ms is a teleport (a new window, a
    // warped pointer): the smoothed cursor lands on it at once, with no tilt and no blur streak.
    if (rawPrev_ && std::hypot(raw->fx - rawPrev_->fx, raw->fy - rawPrev_->fy) > 0.1 &&
        ms - rawPrev_->t < 150) {
        cx_ = SpringState{raw->fx};
        cy_ = SpringState{raw->fy};
        sway_ = SpringState{};
        lastPx_ = w_ * raw->fx;
        lastPy_ = h_ * raw->fy;
    }
    rawPrev_ = RawPrev{raw->fx, raw->fy, ms};

    // The place the spring heads for: where the pointer is, or with lookAhead where it will be
    // (never past the next click, where it waits).
    double targetX = raw->fx, targetY = raw->fy;
    if (lookAheadMs_ > 0) {
        double at = ms + lookAheadMs_;
        cur.forEachClickBetween(ms, at,
                                [&](const TrackPoint& click) { at = std::min(at, click.t); });
        if (const auto ahead = cur.raw(at)) {
            targetX = ahead->fx;
            targetY = ahead->fy;
        }
    }
    SpringStepper cursorStep(cursorCfg_, dtMs);
    const double x = cursorStep.step(cx_, targetX);
    const double y = cursorStep.step(cy_, targetY);
    const double qx = w_ * x;
    const double qy = h_ * y;

    CursorOut c{x, y, 0, 1, 0, 0, raw->type};
    if (lastPx_ && lastPy_) {
        double vx = qx - *lastPx_;
        double vy = qy - *lastPy_;
        // Only positions near the limits of a double get here (a move, or its speed per second
        // for the blur streak, past the largest double); they do not move the cursor.
        const double perSecond = 1000 / dtMs;
        if (!std::isfinite(vx * perSecond) || !std::isfinite(vy * perSecond)) vx = vy = 0;
        const double len = std::hypot(vx, vy);
        // Tilt towards the motion (larger x and, with weight 0.65, larger y): at most sway x 60
        // degrees, reached at 1400 pixels per second.
        double angle = 0;
        if (2 * cur.sway > 0 && len >= 0.01) {
            const double speed = std::min(len / (dtMs / 1000) / 1400, 1.0);
            const double dir = std::clamp((vx + 0.65 * vy) / len, -1.0, 1.0);
            angle = 2 * cur.sway * 3 * dir * speed * 0.17453292519943295;
        }
        // Stepped even towards 0, so the tilt settles back.
        c.rot = stepSpring(sway_, angle, dtMs, swayCfg_);
        c.blurVX = vx * perSecond * cur.motionBlur * 0.08;
        c.blurVY = vy * perSecond * cur.motionBlur * 0.08;
    }
    lastPx_ = qx;
    lastPy_ = qy;

    // Click bounce: the cursor shrinks and recovers over 350 ms, never below 72 %.
    if (7 * cur.bounce > 0.01) {
        if (const TrackPoint* click = cur.recentClick(ms, 350)) {
            const double d = ms - click->t;
            c.bounceK = std::max(
                1 + 7 * cur.bounce * 0.08 * std::sin(-std::numbers::pi * (1 - d / 350)), 0.72);
        }
    }
    out.cursor = c;
    return out;
}

}  // namespace marlune
