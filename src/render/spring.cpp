#include "render/spring.h"

#include <algorithm>
#include <cmath>

namespace marlune {

namespace {

double rest(SpringState& state, double target) {
    state.value = target;
    state.velocity = 0;
    return target;
}

}  // namespace

SpringStepper::SpringStepper(const SpringConfig& cfg, double dtMs) : cfg_(cfg) {
    if (dtMs >= 1 && dtMs < 80) {
        dt_ = dtMs / 1000;
    } else if (dtMs >= 80) {
        dt_ = 0.08;
    } else {
        dt_ = 0.001;
    }
}

void SpringStepper::prepare() {
    prepared_ = true;
    w0_ = std::sqrt(cfg_.stiffness / cfg_.mass);
    zeta_ = cfg_.damping / (2 * std::sqrt(cfg_.stiffness * cfg_.mass));
    const double times[2] = {dt_, dt_ + 0.0001};
    for (int i = 0; i < 2; ++i) {
        const double t = times[i];
        if (zeta_ < 1) {
            wd_ = w0_ * std::sqrt(1 - zeta_ * zeta_);
            decay_[i] = std::exp(-zeta_ * w0_ * t);
            first_[i] = std::sin(wd_ * t);
            second_[i] = std::cos(wd_ * t);
        } else if (zeta_ == 1) {
            decay_[i] = std::exp(-w0_ * t);
        } else {
            wd_ = w0_ * std::sqrt(zeta_ * zeta_ - 1);
            // Capped so that cosh and sinh stay finite; the decaying exponential is not capped.
            const double u = std::min(300.0, wd_ * t);
            decay_[i] = std::exp(-zeta_ * w0_ * t);
            first_[i] = std::cosh(u);
            second_[i] = std::sinh(u);
        }
    }
}

double SpringStepper::step(SpringState& state, double target) {
    if (!std::isfinite(target)) return state.value;
    if (!state.initialized || !std::isfinite(state.value) || !std::isfinite(state.velocity)) {
        state.initialized = true;
        return rest(state, target);
    }

    const double from = state.value;
    const double d0 = target - from;
    if (std::abs(d0) <= cfg_.restDelta && std::abs(state.velocity) <= cfg_.restSpeed) {
        return rest(state, target);
    }
    if (!prepared_) prepare();
    const double q = -state.velocity;

    // Position after the i-th evaluation time: target minus the remaining displacement f(t), with
    // f(0) = d0 and f'(0) = q.
    auto solve = [&](int i) {
        const double t = i == 0 ? dt_ : dt_ + 0.0001;
        double f;
        if (zeta_ < 1) {
            f = decay_[i] * (((zeta_ * w0_ * d0 + q) / wd_) * first_[i] + d0 * second_[i]);
        } else if (zeta_ == 1) {
            f = decay_[i] * (d0 + (w0_ * d0 + q) * t);
        } else {
            f = decay_[i] * (first_[i] * d0 * wd_ + second_[i] * (zeta_ * w0_ * d0 + q)) / wd_;
        }
        return target - f;
    };

    const double x1 = solve(0);
    if (zeta_ >= 1 && ((target >= from && x1 > target) || (from >= target && x1 < target))) {
        return rest(state, target);
    }

    const double x2 = solve(1);
    const double v = (x2 - x1) / 0.0001;
    if (!std::isfinite(x1) || !std::isfinite(v)) return rest(state, target);
    if (std::abs(v) <= cfg_.restSpeed && std::abs(target - x1) <= cfg_.restDelta) {
        return rest(state, target);
    }
    state.value = x1;
    state.velocity = v;
    return x1;
}

double stepSpring(SpringState& state, double target, double dtMs, const SpringConfig& cfg) {
    return SpringStepper(cfg, dtMs).step(state, target);
}

SpringConfig cursorSpringConfig(double s) {
    double k0, c0, m0;
    if (!(s > 0)) {
        k0 = 1000;
        c0 = 100;
        m0 = 1;
    } else if (s <= 0.5) {
        const double u = 2 * s;
        k0 = (760 - 420 * u) * 1.12;
        c0 = 34 + 24 * u;
        m0 = 0.85 + 0.55 * u;
    } else {
        const double t = (std::min(s, 2.0) - 0.5) / 1.5;
        k0 = (340 - 180 * t) * 1.12;
        c0 = 58 + 22 * t;
        m0 = 1.35 + 0.45 * t;
    }
    return SpringConfig{k0 * 0.92, c0 * 1.36, m0 * 1.29, 0.0002, 0.01};
}

SpringConfig swaySpringConfig(double x) {
    double s = x * 0.7 + 0.18;
    s = std::isnan(s) ? 0.15 : std::clamp(s, 0.15, 2.0);
    const SpringConfig c = cursorSpringConfig(s);
    return SpringConfig{c.stiffness, c.damping * 0.9, std::max(c.mass * 0.8, 0.55), 0.0005, 0.02};
}

}  // namespace marlune
