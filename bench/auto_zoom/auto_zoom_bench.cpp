// Cost of proposing automatic zooms for a 10-minute recording; the goal is under 50 ms for the
// whole of "edit.autoZoom" after the file is read. "rules" is the proposal from the tracks;
// "project" adds reading the tracks out of the parsed project file; "text" adds parsing the file's
// text (about 1.5 MB, mostly the pointer path) and writing the reply.

#include <random>
#include <string>

#include <benchmark/benchmark.h>

#include "render/auto_zoom.h"

namespace marlune {
namespace {

constexpr double kMinutes = 10;

// A busy recording: the pointer sampled at 30 Hz, a click every 0.5 to 6 s, and a typing burst
// (caret every 125 ms for 2 to 12 s) after one click in five.
Json busyProject() {
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> u(0, 1);
    const double lengthMs = kMinutes * 60000;
    Json path = Json::array(), clicks = Json::array(), caret = Json::array();
    for (double t = 0; t < lengthMs; t += 1000.0 / 30) {
        path.push_back(Json::array({std::round(t), u(rng), u(rng), 0}));
    }
    for (double t = 500; t < lengthMs; t += 500 + u(rng) * 5500) {
        const double x = u(rng), y = u(rng);
        clicks.push_back(Json{{"t", std::round(t)}, {"fx", x}, {"fy", y}});
        if (u(rng) < 0.2) {
            const double typingMs = 2000 + u(rng) * 10000;
            for (double s = 0; s < typingMs; s += 125) {
                caret.push_back(Json::array({std::round(t + 300 + s), x + s / 40000, y}));
            }
            t += typingMs;
        }
    }
    return Json{{"version", 1}, {"clicks", clicks}, {"cursorPath", path}, {"caretPath", caret}};
}

void BM_AutoZoomRules(benchmark::State& state) {
    const auto tracks = AutoZoomTracks::fromProject(busyProject(), kMinutes * 60000);
    for (auto _ : state) benchmark::DoNotOptimize(proposeZooms(tracks));
    state.counters["regions"] = static_cast<double>(proposeZooms(tracks).size());
    state.counters["clicks"] = static_cast<double>(tracks.clicks.size());
    state.counters["caret"] = static_cast<double>(tracks.caret.size());
}
BENCHMARK(BM_AutoZoomRules)->Unit(benchmark::kMillisecond);

void BM_AutoZoomFromProject(benchmark::State& state) {
    const Json project = busyProject();
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            autoZoomReply(proposeZooms(AutoZoomTracks::fromProject(project, kMinutes * 60000))));
    }
}
BENCHMARK(BM_AutoZoomFromProject)->Unit(benchmark::kMillisecond);

void BM_AutoZoomFromText(benchmark::State& state) {
    const std::string text = busyProject().dump(2);
    for (auto _ : state) {
        auto project = parseJson(text);
        benchmark::DoNotOptimize(
            autoZoomReply(proposeZooms(AutoZoomTracks::fromProject(*project, kMinutes * 60000)))
                .dump());
    }
    state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_AutoZoomFromText)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace marlune

BENCHMARK_MAIN();
