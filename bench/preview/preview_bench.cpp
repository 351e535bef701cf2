// Still previews of the styled edit of the benchmarks' one-minute 1920 × 1080 screen recording
// (bench/support), 960 pixels wide, as the editor asks for them: the wall time from the request
// to the answer, JPEG data URL included.
//
// - first: a renderer that has nothing open yet (the recording, its layers, its motion), at
//   five times across the recording;
// - drag forward / drag back: the playhead dragged in steps of 150 ms, the usual scrub;
// - jumps: clicks at 30 scattered times, each landing in another second of the movie (a seek and
//   up to a second of decoding);
// - restyle: the padding changed at one time (the layers made again, the picture kept);
// - zoom edit: a zoom's scale changed at one time (the motion ticked again from the start).
//
// Prints the median, 90th percentile and slowest preview of each, and the median CPU time the
// process spent per preview (all threads; steadier than wall times on a busy machine). With
// --rounds=N every scenario runs N times over and the fastest round of each counts.

#include <benchmark/benchmark.h>

#include <time.h>
#include <algorithm>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "render/preview_renderer.h"
#include "support/bench_recording.h"

namespace marlune {
namespace {

constexpr int kPreviewWidth = 960;

// The value at `fraction` of the way through the sorted values (0.5: the median).
double quantile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(fraction * (values.size() - 1) + 0.5))];
}

struct Times {
    std::vector<double> ms;     // wall time of each preview
    std::vector<double> cpuMs;  // CPU time of the whole process during each preview
    bool ok = true;

    double at(double fraction) const { return quantile(ms, fraction); }
    double median() const { return at(0.5); }
    double cpuMedian() const { return quantile(cpuMs, 0.5); }
};

double processCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

struct Timing {
    double ms = -1;  // negative when the preview failed
    double cpuMs = 0;
};

// One preview, waited for.
Timing timePreview(PreviewRenderer& renderer, const Json& payload) {
    std::mutex lock;
    std::condition_variable done;
    std::optional<Result<PreviewImage>> answer;
    const double cpu0 = processCpuMs();
    const auto t0 = std::chrono::steady_clock::now();
    renderer.preview(payload, bench::webRoot(), [&](Result<PreviewImage> made) {
        std::lock_guard guard(lock);
        answer = std::move(made);
        done.notify_all();
    });
    std::unique_lock guard(lock);
    done.wait(guard, [&] { return answer.has_value(); });
    Timing timing;
    timing.ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    timing.cpuMs = processCpuMs() - cpu0;
    if (!*answer) {
        std::fprintf(stderr, "preview failed: %s\n", answer->error().message.c_str());
        timing.ms = -1;
    }
    return timing;
}

Json requestAt(Json edit, double tMs) {
    edit["name"] = "Bench.mp4";
    edit["startMs"] = 0;
    edit["endMs"] = static_cast<std::int64_t>(bench::kSeconds * 1000);
    edit["maxWidth"] = kPreviewWidth;
    edit["tMs"] = tMs;
    return edit;
}

// Runs `payloads` through one renderer; `fresh` gives each its own new renderer.
Times run(const std::vector<Json>& payloads, bool fresh) {
    Times times;
    auto renderer = std::make_unique<PreviewRenderer>();
    for (const auto& payload : payloads) {
        if (fresh) renderer = std::make_unique<PreviewRenderer>();
        const Timing timing = timePreview(*renderer, payload);
        if (timing.ms < 0) times.ok = false;
        times.ms.push_back(timing.ms);
        times.cpuMs.push_back(timing.cpuMs);
    }
    return times;
}

// The scenarios: their requests, and whether each request gets a fresh renderer. The first
// request of the warm ones opens the recording and is left out of their figures.
struct Scenario {
    const char* name;
    std::vector<Json> payloads;
    bool fresh = false;
};

std::vector<Scenario> scenarios() {
    const Json edit = bench::styledEdit();
    std::vector<Scenario> out;
    out.push_back({"first", {}, true});
    for (double t : {10'500.0, 20'520.0, 33'310.0, 47'700.0, 55'150.0}) {
        out.back().payloads.push_back(requestAt(edit, t));
    }
    out.push_back({"drag forward", {}});
    for (int i = 0; i <= 60; ++i) out.back().payloads.push_back(requestAt(edit, 12'000 + 150 * i));
    out.push_back({"drag back", {}});
    for (int i = 0; i <= 60; ++i) out.back().payloads.push_back(requestAt(edit, 40'000 - 150 * i));
    out.push_back({"jumps", {}});
    unsigned seed = 11;
    for (int i = 0; i <= 30; ++i) {
        seed = seed * 1103515245 + 12345;
        out.back().payloads.push_back(requestAt(edit, (seed >> 8) % 59'000 + 500));
    }
    out.push_back({"restyle", {}});
    for (int i = 0; i <= 10; ++i) {
        Json styled = edit;
        styled["frame"]["paddingPct"] = 6 + i;
        out.back().payloads.push_back(requestAt(styled, 36'000));
    }
    out.push_back({"zoom edit", {}});
    for (int i = 0; i <= 10; ++i) {
        Json zoomed = edit;
        zoomed["zooms"][1]["scale"] = 1.5 + 0.1 * i;
        out.back().payloads.push_back(requestAt(zoomed, 42'000));
    }
    return out;
}

std::map<std::string, Times> gBest;

void registerRuns(int rounds) {
    static const std::vector<Scenario> all = scenarios();
    for (int round = 0; round < rounds; ++round) {
        for (const auto& scenario : all) {
            benchmark::RegisterBenchmark(
                scenario.name,
                [&scenario](benchmark::State& state) {
                    for (auto _ : state) {
                        Times times = run(scenario.payloads, scenario.fresh);
                        if (!scenario.fresh) {
                            times.ms.erase(times.ms.begin());
                            times.cpuMs.erase(times.cpuMs.begin());
                        }
                        if (!times.ok) {
                            state.SkipWithError("a preview failed");
                            return;
                        }
                        state.SetIterationTime(times.median() / 1000);
                        state.counters["median_ms"] = times.median();
                        state.counters["p90_ms"] = times.at(0.9);
                        state.counters["max_ms"] = times.at(1);
                        state.counters["cpu_median_ms"] = times.cpuMedian();
                        auto& best = gBest[scenario.name];
                        if (best.ms.empty() || times.median() < best.median()) best = times;
                    }
                })
                ->Iterations(1)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
}

void printSummary() {
    std::printf("\npreviews of a %d x %d recording at %d wide (styled edit), ms per preview\n",
                bench::kWidth, bench::kHeight, kPreviewWidth);
    std::printf("%-14s %6s %8s %8s %8s %12s\n", "scenario", "count", "median", "p90", "max",
                "CPU median");
    for (const auto& scenario : scenarios()) {
        if (!gBest.contains(scenario.name)) continue;
        const Times& t = gBest[scenario.name];
        std::printf("%-14s %6zu %8.1f %8.1f %8.1f %12.1f\n", scenario.name, t.ms.size(), t.median(),
                    t.at(0.9), t.at(1), t.cpuMedian());
    }
}

}  // namespace
}  // namespace marlune

int main(int argc, char** argv) {
    using namespace marlune;
    bench::useBenchHome();
    if (!bench::prepareRecording()) {
        std::fprintf(stderr, "could not make the benchmark movies (is ffmpeg installed?)\n");
        return 1;
    }
    registerRuns(bench::roundsArgument(argc, argv));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printSummary();
    return 0;
}
