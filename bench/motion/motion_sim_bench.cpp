// Cost of one MotionSim::tick on long recordings. A tick looks the pointer, caret and clicks up by
// binary search, so an hour-long track (108,000 pointer samples) should cost about what a
// one-minute track does, well under a microsecond, and never allocate. Compare the "minutes" runs
// with each other; "allocs/tick" must read 0.

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>

#include <benchmark/benchmark.h>

#include "render/motion_sim.h"

namespace {

std::atomic<std::size_t> allocations{0};

}  // namespace

// Counting replacements of the global allocation functions. GCC pairs the malloc inside the
// replaced operator new with the free inside the replaced delete and reports a mismatch that is not
// there (both sides are ours).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace marlune {
namespace {

constexpr double kFrameMs = 1000.0 / 30;

// A recording of `minutes`: the pointer sampled at 30 Hz wandering with an occasional jump, a
// typing burst of 5 s (caret every 125 ms) each minute, a click every 3 s and an 8 s zoom every
// 30 s, every other one following the cursor.
struct Edit {
    std::vector<ZoomSegment> zooms;
    CursorFX cursor;
};

Edit makeEdit(int minutes) {
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> u(0, 1);
    Edit e;
    const double lengthMs = minutes * 60000.0;
    double x = 0.5, y = 0.5;
    for (double t = 0; t < lengthMs; t += kFrameMs) {
        if (u(rng) < 0.002) {
            x = u(rng);
            y = u(rng);
        } else {
            x = std::clamp(x + (u(rng) - 0.5) * 0.01, 0.0, 1.0);
            y = std::clamp(y + (u(rng) - 0.5) * 0.01, 0.0, 1.0);
        }
        e.cursor.path.push_back(CursorSample{t, x, y, static_cast<int>(u(rng) * 3)});
    }
    for (double m = 0; m < lengthMs; m += 60000) {
        for (double t = m + 20000; t < m + 25000; t += 125) {
            e.cursor.caretPath.push_back(TrackPoint{t, u(rng), u(rng)});
        }
    }
    for (double t = 1000; t < lengthMs; t += 3000) {
        e.cursor.clicks.push_back(TrackPoint{t, u(rng), u(rng)});
    }
    bool follow = false;
    for (double t = 5000; t < lengthMs; t += 30000) {
        e.zooms.push_back(ZoomSegment{t, t + 8000, 2 + u(rng) * 2, u(rng), u(rng), follow});
        follow = !follow;
    }
    return e;
}

void BM_MotionSimTick(benchmark::State& state) {
    const int minutes = static_cast<int>(state.range(0));
    Edit edit = makeEdit(minutes);
    const std::size_t frames = edit.cursor.path.size();
    MotionSim sim(std::move(edit.zooms), std::move(edit.cursor), 2880, 1800);
    std::size_t frame = 0;
    const std::size_t before = allocations.load();
    for (auto _ : state) {
        benchmark::DoNotOptimize(sim.tick(static_cast<double>(frame) * kFrameMs));
        if (++frame == frames) frame = 0;  // wraps to the start: a restart, as after a seek
    }
    const std::size_t allocs = allocations.load() - before;
    state.counters["samples"] = static_cast<double>(frames);
    state.counters["allocs/tick"] =
        benchmark::Counter(static_cast<double>(allocs), benchmark::Counter::kAvgIterations);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_MotionSimTick)->ArgName("minutes")->Arg(1)->Arg(60);

// A whole export's worth of ticks: one hour at 30 fps, simulator construction included.
void BM_MotionSimHourExport(benchmark::State& state) {
    const Edit edit = makeEdit(60);
    const std::size_t frames = edit.cursor.path.size();
    for (auto _ : state) {
        MotionSim sim(edit.zooms, edit.cursor, 2880, 1800);
        for (std::size_t f = 0; f < frames; ++f) {
            benchmark::DoNotOptimize(sim.tick(static_cast<double>(f) * kFrameMs));
        }
    }
    // Elapsed time per tick (printed in seconds with an SI prefix).
    state.counters["time/tick"] = benchmark::Counter(
        static_cast<double>(frames),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_MotionSimHourExport)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace marlune

BENCHMARK_MAIN();
