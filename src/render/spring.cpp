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

double stepSpring(SpringState& state, double target, double dtMs, const SpringConfig& cfg) {
    if (!std::isfinite(target)) return state.value;

    double dt;
    if (dtMs >= 1 && dtMs < 80) {
        dt = dtMs / 1000;
    } else if (dtMs >= 80) {
        dt = 0.08;
    } else {
        dt = 0.001;
    }

    if (!state.initialized || !std::isfinite(state.value) || !std::isfinite(state.velocity)) {
        state.initialized = true;
        return rest(state, target);
    }

    const double from = state.value;
    const double d0 = target - from;
    if (std::abs(d0) <= cfg.restDelta && std::abs(state.velocity) <= cfg.restSpeed) {
        return rest(state, target);
    }

    const double w0 = std::sqrt(cfg.stiffness / cfg.mass);
    const double zeta = cfg.damping / (2 * std::sqrt(cfg.stiffness * cfg.mass));
    const double q = -state.velocity;

    // Position at time t from now: target minus the remaining displacement f(t), with f(0) = d0
    // and f'(0) = q.
    auto solve = [&](double t) {
        double f;
        if (zeta < 1) {
            const double wd = w0 * std::sqrt(1 - zeta * zeta);
            f = std::exp(-zeta * w0 * t) *
                (((zeta * w0 * d0 + q) / wd) * std::sin(wd * t) + d0 * std::cos(wd * t));
        } else if (zeta == 1) {
            f = std::exp(-w0 * t) * (d0 + (w0 * d0 + q) * t);
        } else {
            const double wd = w0 * std::sqrt(zeta * zeta - 1);
            // Capped so that cosh and sinh stay finite; the decaying exponential is not capped.
            const double u = std::min(300.0, wd * t);
            f = std::exp(-zeta * w0 * t) *
                (std::cosh(u) * d0 * wd + std::sinh(u) * (zeta * w0 * d0 + q)) / wd;
        }
        return target - f;
    };

    const double x1 = solve(dt);
    if (zeta >= 1 && ((target >= from && x1 > target) || (from >= target && x1 < target))) {
        return rest(state, target);
    }

    const double x2 = solve(dt + 0.0001);
    const double v = (x2 - x1) / 0.0001;
    if (!std::isfinite(x1) || !std::isfinite(v)) return rest(state, target);
    if (std::abs(v) <= cfg.restSpeed && std::abs(target - x1) <= cfg.restDelta) {
        return rest(state, target);
    }
    state.value = x1;
    state.velocity = v;
    return x1;
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
