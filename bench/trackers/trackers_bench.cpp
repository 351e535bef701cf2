// What cursor and caret tracking cost while recording. Needs a display and a session bus with
// the accessibility services (the test desktop has them):
//
//     scripts/with-desktop build/bench/bench_trackers
//
// - one path sample with the cursor unchanged (pointer query plus the cursor key check), and the
//   share of one core that makes at 30 samples a second;
// - classifying a cursor that changed (silhouette, aspect and hot spot against every reference);
// - the cursor tracker itself running in smooth-cursor mode for a few seconds, against the same
//   process idling on its main loop for as long (the baseline);
// - the caret tracker while text is typed into a GTK entry: the CPU time of its ".caret" thread
//   over the wall time.
// CPU shares are of one core. The X server and the typed-into application do work for us too;
// their share is not counted here.

#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include <gio/gio.h>
#include <glib.h>

#include "core/queue.h"
#include "platform/desktop/x11_cursor_image.h"
#include "platform/desktop/x11_monitors.h"
#include "platform/desktop/x11_pointer.h"
#include "recording/caret_tracker.h"
#include "recording/cursor_tracker.h"
#include "recording/cursor_type_detector.h"
#include "support/cpu_time.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;

// CPU seconds of this process's threads named `name`.
double namedThreadCpuSeconds(const std::string& name) {
    const double tick = double(sysconf(_SC_CLK_TCK));
    double total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string n;
        std::getline(comm, n);
        if (n != name) continue;
        std::ifstream statFile(task.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(statFile)), {});
        std::istringstream rest(text.substr(text.rfind(')') + 2));
        std::string field;
        for (int i = 0; i < 11; ++i) rest >> field;  // state, then fields 4 … 13
        double utime = 0, stime = 0;
        rest >> utime >> stime;
        total += (utime + stime) / tick;
    }
    return total;
}

void runMainLoopFor(std::chrono::milliseconds d) {
    auto end = std::chrono::steady_clock::now() + d;
    GMainContext* ctx = g_main_context_default();
    while (std::chrono::steady_clock::now() < end) {
        GSource* wake = g_timeout_source_new(50);
        g_source_set_callback(
            wake, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
        g_source_attach(wake, ctx);
        g_main_context_iteration(ctx, TRUE);
        g_source_destroy(wake);
        g_source_unref(wake);
    }
}

std::map<std::string, double> gFigures;

void BM_UnchangedCursorSample(benchmark::State& state) {
    auto pointer = x11::PointerWatch::open();
    if (!pointer) return state.SkipWithError(pointer.error().message.c_str());
    CursorTypeDetector detector;
    detector.prepare();
    detector.current();
    double cpu0 = bench::threadCpuSeconds();
    for (auto _ : state) {
        benchmark::DoNotOptimize((*pointer)->position());
        benchmark::DoNotOptimize(detector.current());
    }
    double perSample = (bench::threadCpuSeconds() - cpu0) / double(state.iterations());
    state.counters["cpu_us"] = perSample * 1e6;
    state.counters["core_pct_at_30Hz"] = perSample * 30 * 100;
    gFigures["sample_us"] = perSample * 1e6;
}
BENCHMARK(BM_UnchangedCursorSample)->Unit(benchmark::kMicrosecond);

// Theme pictures shown in turn, each as a new cursor (a new serial): every call classifies.
class ChangingCursors : public CursorTypeDetector::CursorSource {
  public:
    explicit ChangingCursors(x11::CursorImages& theme) : theme_(theme) {
        for (const char* name : {"left_ptr", "xterm", "hand2", "crosshair", "openhand", "grabbing",
                                 "sb_h_double_arrow", "sb_v_double_arrow", "not-allowed"}) {
            if (auto img = theme.themeCursor(name)) shown_.push_back(*img);
        }
    }
    std::optional<x11::CursorImage> current() override {
        if (shown_.empty()) return std::nullopt;
        auto img = shown_[next_++ % shown_.size()];
        img.serial = next_;
        return img;
    }
    std::optional<x11::CursorImage> themeCursor(std::string_view name) override {
        return theme_.themeCursor(name);
    }

  private:
    x11::CursorImages& theme_;
    std::vector<x11::CursorImage> shown_;
    std::size_t next_ = 0;
};

void BM_ChangedCursor(benchmark::State& state) {
    auto images = x11::CursorImages::open();
    if (!images) return state.SkipWithError(images.error().message.c_str());
    auto fetch0 = std::chrono::steady_clock::now();
    int fetches = 0;
    for (; fetches < 200; ++fetches) benchmark::DoNotOptimize((*images)->current());
    double fetchMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - fetch0)
            .count() /
        fetches;
    CursorTypeDetector detector(std::make_unique<ChangingCursors>(**images));
    detector.prepare();
    double cpu0 = bench::threadCpuSeconds();
    for (auto _ : state) benchmark::DoNotOptimize(detector.current());
    double perCursor = (bench::threadCpuSeconds() - cpu0) / double(state.iterations());
    state.counters["cpu_ms"] = perCursor * 1e3;
    state.counters["references"] = double(detector.referenceCount());
    state.counters["fetch_ms"] = fetchMs;
    gFigures["changed_ms"] = perCursor * 1e3 + fetchMs;
    gFigures["references"] = double(detector.referenceCount());
}
BENCHMARK(BM_ChangedCursor)->Unit(benchmark::kMicrosecond);

void BM_CursorTrackerAt30Hz(benchmark::State& state) {
    auto monitors = x11::listMonitors();
    if (!monitors || monitors->empty()) return state.SkipWithError("no monitor");
    const auto run = std::chrono::seconds(state.range(0));
    for (auto _ : state) {
        // Baseline: the same loop with nothing to do.
        double idle0 = bench::processCpuSeconds();
        runMainLoopFor(run);
        double idle = bench::processCpuSeconds() - idle0;

        CursorTracker tracker;
        std::int64_t now = 0;
        double cpu0 = bench::processCpuSeconds();
        auto t0 = std::chrono::steady_clock::now();
        tracker.start(monitors->front().id, true, [&] { return std::optional(now += 33); });
        runMainLoopFor(run);
        tracker.stop();
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        double used = bench::processCpuSeconds() - cpu0 - idle;
        state.SetIterationTime(wall);
        state.counters["samples_per_s"] = double(tracker.path.size()) / wall;
        state.counters["core_pct"] = used / wall * 100;
        gFigures["tracker_pct"] = used / wall * 100;
        gFigures["tracker_rate"] = double(tracker.path.size()) / wall;
    }
}
BENCHMARK(BM_CursorTrackerAt30Hz)->Arg(6)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

bool setAccessibility(bool on) {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus) return false;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
        g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(on)), nullptr,
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    g_object_unref(bus);
    if (reply) g_variant_unref(reply);
    return reply != nullptr;
}

void BM_CaretTrackerWhileTyping(benchmark::State& state) {
    auto monitors = x11::listMonitors();
    if (!monitors || monitors->empty()) return state.SkipWithError("no monitor");
    if (!setAccessibility(true)) return state.SkipWithError("no accessibility bus");
    // A GTK entry to type into (the tests' own window), focused once it prints its line.
    const auto script =
        std::filesystem::path(MARLUNE_SOURCE_DIR) / "tests/recording/data/text_entry.py";
    const char* argv[] = {"/usr/bin/python3", script.c_str(), nullptr};
    GPid pid = 0;
    gint out = -1;
    if (!g_spawn_async_with_pipes(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_DEFAULT,
                                  nullptr, nullptr, &pid, nullptr, &out, nullptr, nullptr)) {
        return state.SkipWithError("cannot start the entry window");
    }
    FILE* entry = fdopen(out, "r");
    char line[512];
    if (!fgets(line, sizeof line, entry)) {
        kill(pid, SIGTERM);
        return state.SkipWithError("no entry window");
    }
    for (auto _ : state) {
        CaretTracker tracker;
        tracker.start(monitors->front().id, [t0 = std::chrono::steady_clock::now()] {
            return std::optional(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                    .count());
        });
        runMainLoopFor(700ms);
        double caret0 = namedThreadCpuSeconds("marlune.caret");
        auto t0 = std::chrono::steady_clock::now();
        // About eight keys a second for six seconds, a brisk typist.
        std::thread typist([] {
            std::system(
                "xdotool type --delay 120 'the caret follows every key typed here, "
                "word by word' >/dev/null 2>&1");
        });
        while (std::chrono::steady_clock::now() - t0 < 6s) runMainLoopFor(100ms);
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        double used = namedThreadCpuSeconds("marlune.caret") - caret0;
        tracker.stop();
        typist.join();
        state.SetIterationTime(wall);
        state.counters["samples"] = double(tracker.sampleCount());
        state.counters["core_pct"] = used / wall * 100;
        gFigures["caret_pct"] = used / wall * 100;
        gFigures["caret_samples"] = double(tracker.sampleCount());
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    fclose(entry);
}
BENCHMARK(BM_CaretTrackerWhileTyping)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace marlune

int main(int argc, char** argv) {
    using marlune::gFigures;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\n");
    if (gFigures.contains("sample_us")) {
        std::printf("unchanged cursor: %.0f us of CPU per sample, %.2f%% of a core at 30 Hz\n",
                    gFigures["sample_us"], gFigures["sample_us"] * 30 / 1e4);
    }
    if (gFigures.contains("changed_ms")) {
        std::printf("changed cursor: %.3f ms to read and classify against %.0f references\n",
                    gFigures["changed_ms"], gFigures["references"]);
    }
    if (gFigures.contains("tracker_pct")) {
        std::printf(
            "cursor tracker in smooth-cursor mode: %.2f%% of a core over an idle loop, "
            "%.1f samples a second\n",
            gFigures["tracker_pct"], gFigures["tracker_rate"]);
    }
    if (gFigures.contains("caret_pct")) {
        std::printf("caret tracker while typing: %.2f%% of a core on its queue, %.0f samples\n",
                    gFigures["caret_pct"], gFigures["caret_samples"]);
    }
    return 0;
}
