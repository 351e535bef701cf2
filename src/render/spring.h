#pragma once

namespace marlune {

// Damped springs drive every animated quantity of an export: zoom strength, camera focus, the
// smoothed cursor position and the cursor's tilt. A step evaluates the closed-form solution of the
// damped harmonic oscillator over the elapsed interval (not a numerical integration), so large and
// irregular frame intervals stay stable. Pure arithmetic: no allocation, any thread.

// One animated value, owned by whoever animates it.
struct SpringState {
    double value = 0;
    double velocity = 0;  // units of value per second
    // False until the first step, which places the spring on its target with no motion. Owners
    // re-arm a spring (after a seek or a cursor teleport) by setting this back to false.
    bool initialized = false;
};

struct SpringConfig {
    double stiffness;  // k
    double damping;    // c
    double mass;       // m
    double restDelta;  // within this distance of the target...
    double restSpeed;  // ...and below this speed, the spring snaps to the target and stops
};

// Zoom strength and camera focus: slightly over-damped (damping ratio 1.05), so they never
// overshoot.
inline constexpr SpringConfig zoomSpringConfig{100, 21, 1, 0.0005, 0.015};
// Default ramp lengths of a zoom segment, in ms. Each is its own literal: 1.5 x ZOOM_OUT_MS differs
// from ZOOM_IN_MS in the last bit.
inline constexpr double ZOOM_IN_MS = 1522.575;
inline constexpr double ZOOM_OUT_MS = 1015.05;

// Advances `state` by `dtMs` milliseconds towards `target` and returns the new value.
//
// The step is dtMs / 1000 seconds for 1 <= dtMs < 80, 80 ms at and above 80, and 1 ms below 1 (or
// NaN). An uninitialised state, or one whose value or velocity is not finite, is placed on the
// target with velocity 0 and marked initialised. Within restDelta and restSpeed of the target
// (inclusive) the spring rests exactly on it. With a damping ratio of 1 or more a step that would
// cross the target stops on it instead. A target that is not finite leaves the state untouched;
// any other input that would make the result non-finite puts the spring at rest on the target.
double stepSpring(SpringState& state, double target, double dtMs, const SpringConfig& cfg);

// stepSpring for several springs that share a configuration and a time step in one frame (the two
// axes of the cursor; the zoom strength and the two focus axes). The exponential and trigonometric
// factors of the closed form depend only on those two, so they are computed once, on the first step
// that needs them; every result is bit for bit what stepSpring gives. Cheap to make; one per frame.
class SpringStepper {
  public:
    SpringStepper(const SpringConfig& cfg, double dtMs);
    double step(SpringState& state, double target);

  private:
    void prepare();

    SpringConfig cfg_;
    double dt_;  // seconds
    bool prepared_ = false;
    double w0_ = 0, zeta_ = 0, wd_ = 0;
    // Per evaluation time (dt and dt + 0.1 ms): the decay factor and the oscillating pair
    // (sin/cos, or cosh/sinh when over-damped).
    double decay_[2] = {}, first_[2] = {}, second_[2] = {};
};

// The smoothed cursor's spring for a smoothing amount `s` (the motion simulator passes twice the
// cursor's smoothing setting, so 0 to 2). Larger is softer, heavier and slower. s <= 0 (or NaN)
// gives the stiff base; the curve deliberately steps at 0 and, in mass, at 0.5.
SpringConfig cursorSpringConfig(double s);

// The cursor tilt's spring, derived from the cursor's for the same amount. Mass is at least 0.55.
SpringConfig swaySpringConfig(double x);

}  // namespace marlune
