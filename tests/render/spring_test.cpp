#include "render/spring.h"

#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include "library/edit_document.h"

namespace marlune {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Spring, Configurations) {
    // Each default ramp is its own literal (1.5 x ZOOM_OUT_MS is one bit off), shared by the edit.
    EXPECT_EQ(ZOOM_IN_MS, 1522.575);
    EXPECT_EQ(ZOOM_OUT_MS, 1015.05);
    EXPECT_EQ(ZOOM_IN_MS, ZoomSegment::defaultInMs);
    EXPECT_EQ(ZOOM_OUT_MS, ZoomSegment::defaultOutMs);
    struct Case {
        const char* what;
        SpringConfig got, want;
    };
    const Case cases[] = {
        {"zoom", zoomSpringConfig, {100, 21, 1, 0.0005, 0.015}},
        {"cursor 0", cursorSpringConfig(0), {920, 136, 1.29, 0.0002, 0.01}},
        {"cursor -1", cursorSpringConfig(-1), {920, 136, 1.29, 0.0002, 0.01}},
        {"cursor NaN", cursorSpringConfig(kNaN), {920, 136, 1.29, 0.0002, 0.01}},
        {"cursor just above 0", cursorSpringConfig(1e-12), {783.104, 46.24, 1.0965, 0.0002, 0.01}},
        {"cursor 0.25", cursorSpringConfig(0.25), {566.72, 62.56, 1.45125, 0.0002, 0.01}},
        {"cursor 0.5", cursorSpringConfig(0.5), {350.336, 78.88, 1.806, 0.0002, 0.01}},
        {"cursor past 0.5",
         cursorSpringConfig(0.5 + 1e-12),
         {350.336, 78.88, 1.7415, 0.0002, 0.01}},
        {"cursor 1.25", cursorSpringConfig(1.25), {257.6, 93.84, 2.03175, 0.0002, 0.01}},
        {"cursor 2", cursorSpringConfig(2), {164.864, 108.8, 2.322, 0.0002, 0.01}},
        {"cursor inf", cursorSpringConfig(kInf), {164.864, 108.8, 2.322, 0.0002, 0.01}},
        {"sway 0", swaySpringConfig(0), {627.30752, 52.19136, 1.081536, 0.0005, 0.02}},
        {"sway -10", swaySpringConfig(-10), {653.2736, 50.4288, 1.04748, 0.0005, 0.02}},
        {"sway NaN", swaySpringConfig(kNaN), {653.2736, 50.4288, 1.04748, 0.0005, 0.02}},
        {"sway 10", swaySpringConfig(10), {164.864, 97.92, 1.8576, 0.0005, 0.02}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_NEAR(c.got.stiffness, c.want.stiffness, 1e-6);
        EXPECT_NEAR(c.got.damping, c.want.damping, 1e-6);
        EXPECT_NEAR(c.got.mass, c.want.mass, 1e-6);
        EXPECT_EQ(c.got.restDelta, c.want.restDelta);
        EXPECT_EQ(c.got.restSpeed, c.want.restSpeed);
    }
}

TEST(Spring, FreshOrBrokenStatesLandOnTheTarget) {
    const SpringState states[] = {
        {0.5}, {kNaN, 0, true}, {kInf, 0, true}, {-kInf, 3, true}, {0.2, kNaN, true}};
    for (const SpringState& start : states) {
        for (double dtMs : {0.0, 16.7, 500.0, -3.0, kNaN}) {
            SpringState s = start;
            EXPECT_EQ(stepSpring(s, 0.8, dtMs, zoomSpringConfig), 0.8) << start.value << dtMs;
            EXPECT_EQ(s.value, 0.8);
            EXPECT_EQ(s.velocity, 0);
            EXPECT_TRUE(s.initialized);
        }
    }
    // A target that is no number leaves the spring alone, initialised or not.
    for (SpringState s : {SpringState{0.4, 2, true}, SpringState{0.4}}) {
        const SpringState before = s;
        EXPECT_EQ(stepSpring(s, kNaN, 16, zoomSpringConfig), 0.4);
        EXPECT_EQ(s.velocity, before.velocity);
        EXPECT_EQ(s.initialized, before.initialized);
    }
}

TEST(Spring, TimeStepRules) {
    // Pairs of step lengths that must act identically, and pairs that must not.
    struct Case {
        double a, b;
        bool same;
    };
    const Case cases[] = {
        {0.2, 1, true},  {0, 1, true},        {-50, 1, true},  {kNaN, 1, true},    {500, 80, true},
        {1e9, 80, true}, {79.999, 80, false}, {1, 1.5, false}, {16.7, 16.7, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.a << " vs " << c.b);
        SpringState s1{0, 0.3, true}, s2{0, 0.3, true};
        const double x1 = stepSpring(s1, 1, c.a, zoomSpringConfig);
        const double x2 = stepSpring(s2, 1, c.b, zoomSpringConfig);
        EXPECT_EQ(x1 == x2 && s1.velocity == s2.velocity, c.same);
    }
}

TEST(Spring, RestsWithinRestDeltaAndRestSpeedInclusive) {
    struct Case {
        double value, velocity, target;
        bool rests;
    };
    const Case cases[] = {
        {0, 0, 0.0005, true},   {0, 0.015, 0.0005, true}, {0, -0.015, -0.0005, true},
        {0, -1, 0.0005, false}, {0, 0, 0.00051, false},   {0.7, 0.0, 0.7, true},
    };
    for (const auto& c : cases) {
        SpringState s{c.value, c.velocity, true};
        const double x = stepSpring(s, c.target, 16, zoomSpringConfig);
        EXPECT_EQ(x == c.target && s.velocity == 0, c.rests) << c.velocity << " " << c.target;
    }
}

// Reference: the same oscillator integrated numerically with small RK4 steps.
std::pair<double, double> integrate(double x, double v, double target, double seconds,
                                    const SpringConfig& c) {
    const int n = 20000;
    const double h = seconds / n;
    auto acc = [&](double px, double pv) {
        return (-c.stiffness * (px - target) - c.damping * pv) / c.mass;
    };
    for (int i = 0; i < n; ++i) {
        double k1x = v, k1v = acc(x, v);
        double k2x = v + h / 2 * k1v, k2v = acc(x + h / 2 * k1x, v + h / 2 * k1v);
        double k3x = v + h / 2 * k2v, k3v = acc(x + h / 2 * k2x, v + h / 2 * k2v);
        double k4x = v + h * k3v, k4v = acc(x + h * k3x, v + h * k3v);
        x += h / 6 * (k1x + 2 * k2x + 2 * k3x + k4x);
        v += h / 6 * (k1v + 2 * k2v + 2 * k3v + k4v);
    }
    return {x, v};
}

TEST(Spring, ClosedFormsMatchTheOscillator) {
    struct Case {
        const char* name;
        SpringConfig cfg;
        double value, velocity, target, dtMs;
    };
    const Case cases[] = {
        {"under-damped", {100, 5, 1, 0, 0}, 0, 2, 1, 33},
        {"under-damped, moving away", {300, 10, 2, 0, 0}, 0.2, -4, -0.5, 60},
        {"critically damped", {100, 20, 1, 0, 0}, 0, 0.5, 1, 16.7},
        {"over-damped", {100, 60, 1, 0, 0}, 1, -3, 0, 50},
        {"cursor", cursorSpringConfig(1), 0.1, 0.2, 0.6, 33.3},
        {"sway", swaySpringConfig(1), 0, 0, 0.4, 16.7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SpringState s{c.value, c.velocity, true};
        const double x = stepSpring(s, c.target, c.dtMs, c.cfg);
        auto [rx, rv] = integrate(c.value, c.velocity, c.target, c.dtMs / 1000, c.cfg);
        EXPECT_NEAR(x, rx, 1e-9);
        // The velocity is a forward difference over 0.1 ms.
        auto [rx2, rv2] = integrate(c.value, c.velocity, c.target, c.dtMs / 1000 + 0.00005, c.cfg);
        EXPECT_NEAR(s.velocity, rv2, 1e-4 * std::max(1.0, std::abs(rv)));
    }
}

TEST(Spring, ZoomSpringNeverPassesItsTarget) {
    // Thrown hard at the target, the over-damped step would cross it; it stops on it instead.
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> pos(-1, 2), vel(-40, 40), dt(0, 120);
    SpringState s{0, 0, true};
    for (int i = 0; i < 200000; ++i) {
        if (i % 7 == 0) s.velocity = vel(rng);
        const double target = pos(rng);
        for (int j = 0; j < 3; ++j) {
            const double from = s.value;
            const double x = stepSpring(s, target, dt(rng), zoomSpringConfig);
            ASSERT_TRUE(std::isfinite(x));
            ASSERT_TRUE(target >= from ? x <= target : x >= target) << i;
        }
    }
    // The property is the damping's: an under-damped spring does cross.
    SpringState u{0, 40, true};
    EXPECT_GT(stepSpring(u, 0.5, 33, SpringConfig{100, 5, 1, 0.0005, 0.015}), 0.5);
}

TEST(Spring, ExtremeInputsStayFinite) {
    // Over-damped with a huge frequency: cosh/sinh of the full argument would overflow.
    SpringState s{0, 0, true};
    EXPECT_EQ(stepSpring(s, 1, 80, SpringConfig{1e8, 1e5, 1, 0.0005, 0.015}), 1);
    const SpringConfig degenerate[] = {{0, 10, 1, 0, 0}, {10, 10, 0, 0, 0}, {0, 0, 0, 0, 0}};
    for (const auto& cfg : degenerate) {
        SpringState d{0.2, 1, true};
        EXPECT_TRUE(std::isfinite(stepSpring(d, 0.7, 16, cfg)));
        EXPECT_TRUE(std::isfinite(d.velocity));
    }
    SpringState far{-1e300, 0, true};
    EXPECT_TRUE(std::isfinite(stepSpring(far, 1e300, 16, zoomSpringConfig)));
}

}  // namespace
}  // namespace marlune
