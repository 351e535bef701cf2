// The export of a one-minute 1920 × 1080 30 fps screen recording with stereo audio (text
// scrolling in a window that drifts over a mostly still desktop, at the recorder's bit rate),
// timed against two references in the same run:
//
// - the floor: the least work any exporter of the styled edit must do, the ffmpeg tool decoding
//   every movie the edit shows (the screen recording and the webcam movie) and encoding the
//   screen's pictures again with the export's encoder settings, nothing in between; and the same
//   with the webcam movie's small copy (what our export decodes when the recorder left one);
// - a peer baseline: the ffmpeg tool with a filter graph close to a styled export (zoompan for an
//   animated zoom, the scaled screen with rounded corners through alphamerge, overlaid on a
//   background picture, a cursor picture overlaid along a path), same encoder settings;
// - our export with no edits (the pictures pass through to the encoder), and with frame styling,
//   two zooms (one following the cursor), the smoothed cursor with click ripples and a webcam;
//   the styled one again from a recording without the webcam's small copy (older recordings).
//
// Then the other formats, styled the same way, each against the ffmpeg tool converting our styled
// MP4 export to that format with the same settings:
//
// - GIF, 960 pixels wide at 15 pictures a second, one palette for the whole movie (palettegen and
//   paletteuse with their defaults);
// - WebM, VP9 in libvpx's real-time mode at its fastest setting and Opus.
//
// Prints wall time, speed against real time, time against the floor, CPU time and peak memory
// of each (with --rounds=N, the fastest of N alternating rounds). The source movies are made once
// with the ffmpeg tool under /tmp/marlune-bench-export and reused by later runs.

#include <benchmark/benchmark.h>
#include <cairo.h>
#include <glib.h>
#include <malloc.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <numbers>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/json.h"
#include "core/thread_priority.h"
#include "library/edit_document.h"
#include "render/cursor_pack.h"
#include "render/export/export_renderer.h"
#include "support/bench_recording.h"
#include "support/cpu_time.h"

extern char** environ;

namespace marlune {
namespace {

namespace fs = std::filesystem;

using bench::kCache;
using bench::kFolder;
using bench::kFps;
using bench::kHeight;
using bench::kSeconds;
using bench::kWidth;
using bench::styledEdit;
using bench::webRoot;
// The baseline's frame: padding 12 % of the shorter side, radius 3 % of the screen rectangle.
constexpr int kPad = 130;
constexpr int kRectW = kWidth - 2 * kPad;
constexpr int kRectH = kHeight - 2 * kPad;

struct Usage {
    double wallSeconds = 0;
    double cpuSeconds = 0;
    double peakMegabytes = 0;
    bool ok = false;
    std::map<std::string, double> threadCpu;  // our exports: CPU seconds by thread name
};

// The peak resident size of process `pid` so far, in MB (its VmHWM); 0 once it is gone.
double peakOf(const std::string& pid) {
    std::ifstream status("/proc/" + pid + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmHWM:")) return std::stod(line.substr(6)) / 1024;
    }
    return 0;
}

// Runs a program; its CPU time comes from wait4. Its peak memory is watched while it runs: the
// peak wait4 reports would include this process's own, inherited at the spawn.
Usage runTool(std::vector<std::string> args) {
    Usage usage;
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return usage;
    int status = 0;
    rusage ru{};
    for (;;) {
        usage.peakMegabytes = std::max(usage.peakMegabytes, peakOf(std::to_string(pid)));
        if (wait4(pid, &status, WNOHANG, &ru) == pid) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    usage.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    usage.cpuSeconds = bench::seconds(ru.ru_utime) + bench::seconds(ru.ru_stime);
    usage.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return usage;
}

std::vector<std::string> ffmpegArgs(std::vector<std::string> rest) {
    std::vector<std::string> all = {"ffmpeg", "-nostdin", "-v", "error", "-y"};
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
}

// The export's encoder settings for the ffmpeg tool.
std::vector<std::string> encoderArgs() {
    const int fps = ExportRenderer::exportFps(kFps);
    return {"-c:v",       "libx264",
            "-preset",    std::string(ExportRenderer::kPreset),
            "-profile:v", "high",
            "-b:v",       std::to_string(ExportRenderer::bitRate(kWidth, kHeight, fps)),
            "-g",         std::to_string(2 * fps),
            "-bf",        "0",
            "-pix_fmt",   "yuv420p",
            "-c:a",       "aac",
            "-b:a",       "192k",
            "-ar",        "48000",
            "-ac",        "2",
            "-movflags",  "+faststart"};
}

bool writePng(cairo_surface_t* surface, const fs::path& path) {
    return cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
}

// The baseline's pictures: the rounded mask of the screen rectangle, a cursor, the background.
bool makeBaselinePictures() {
    cairo_surface_t* mask = cairo_image_surface_create(CAIRO_FORMAT_RGB24, kRectW, kRectH);
    cairo_t* cr = cairo_create(mask);
    const double r = 0.03 * kRectH;
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_paint(cr);
    cairo_new_sub_path(cr);
    cairo_arc(cr, kRectW - r, r, r, -std::numbers::pi / 2, 0);
    cairo_arc(cr, kRectW - r, kRectH - r, r, 0, std::numbers::pi / 2);
    cairo_arc(cr, r, kRectH - r, r, std::numbers::pi / 2, std::numbers::pi);
    cairo_arc(cr, r, r, r, std::numbers::pi, 3 * std::numbers::pi / 2);
    cairo_close_path(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_fill(cr);
    cairo_destroy(cr);
    bool ok = writePng(mask, kCache / "mask.png");
    cairo_surface_destroy(mask);
    Surface cursor = arrowImage("arrow", 40);
    ok = ok && cursor && writePng(cursor.get(), kCache / "cursor.png");
    return ok &&
           runTool(ffmpegArgs({"-i", (webRoot() / "wallpapers/full/aurora.jpg").string(), "-vf",
                               "scale=1920:1080:force_original_aspect_ratio=increase,"
                               "crop=1920:1080",
                               (kCache / "background.png").string()}))
               .ok;
}

bool prepare() {
    if (!bench::prepareRecording()) return false;
    return fs::exists(kCache / "background.png") || makeBaselinePictures();
}

// The peak resident size since the last reset, in MB.
double peakMegabytes() {
    return peakOf("self");
}

// Starts a new peak from the current size, after handing freed memory back to the system (so
// that one run's leftovers don't count as the next one's peak).
void resetPeak() {
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
}

// CPU seconds used so far by each live thread of this process, by thread id, with its name.
std::map<int, std::pair<std::string, double>> threadCpu() {
    std::map<int, std::pair<std::string, double>> out;
    const double tick = double(sysconf(_SC_CLK_TCK));
    std::error_code ec;
    for (const auto& task : fs::directory_iterator("/proc/self/task", ec)) {
        std::ifstream stat(task.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        auto open = text.find('('), close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::istringstream rest(text.substr(close + 2));
        std::string field;
        for (int i = 0; i < 11; ++i) rest >> field;
        double utime = 0, stime = 0;
        rest >> utime >> stime;
        out[std::stoi(task.path().filename())] = {text.substr(open + 1, close - open - 1),
                                                  (utime + stime) / tick};
    }
    return out;
}

// Samples every thread's CPU time while an export runs (threads end with it), then sums it by
// thread name: where the work went.
class ThreadWatch {
  public:
    ThreadWatch() : before_(threadCpu()) {
        thread_ = std::thread([this] {
            while (!stop_) {
                sample();
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
        });
    }
    std::map<std::string, double> stop() {
        stop_ = true;
        thread_.join();
        sample();
        std::map<std::string, double> byName;
        for (auto& [tid, entry] : last_) {
            double before = before_.contains(tid) ? before_[tid].second : 0;
            byName[entry.first] += entry.second - before;
        }
        return byName;
    }

  private:
    void sample() {
        for (auto& [tid, entry] : threadCpu()) last_[tid] = entry;
    }
    std::map<int, std::pair<std::string, double>> before_;
    std::map<int, std::pair<std::string, double>> last_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Our styled MP4 export, kept for the ffmpeg tool's conversions.
const fs::path kStyledMovie = kCache / "styled-export.mp4";

Usage runExport(const Json& edit, const std::optional<fs::path>& keepAs = std::nullopt,
                const std::string& recording = "Bench") {
    Json payload = edit;
    payload["name"] = recording + ".mp4";
    if (payload.contains("webcam")) payload["webcam"]["file"] = recording + ".webcam.mp4";
    payload["startMs"] = 0;
    payload["endMs"] = static_cast<std::int64_t>(kSeconds * 1000);
    auto request = ExportRequest::fromPayload(payload);
    Usage usage;
    if (!request) return usage;
    ExportRenderer renderer;
    std::optional<Result<ExportedMovie>> result;
    resetPeak();
    ThreadWatch watch;
    const double cpu0 = bench::processCpuSeconds();
    auto t0 = std::chrono::steady_clock::now();
    renderer.render(std::move(*request), webRoot(), nullptr,
                    [&](Result<ExportedMovie> made) { result = std::move(made); });
    while (!result) g_main_context_iteration(nullptr, TRUE);
    usage.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    usage.cpuSeconds = bench::processCpuSeconds() - cpu0;
    usage.peakMegabytes = peakMegabytes();
    usage.threadCpu = watch.stop();
    usage.ok = result->has_value();
    if (!usage.ok) std::fprintf(stderr, "export failed: %s\n", result->error().message.c_str());
    std::error_code ignored;
    if (usage.ok && keepAs) {
        fs::rename(kFolder / (*result)->name, *keepAs, ignored);
    } else if (usage.ok) {
        fs::remove(kFolder / (*result)->name, ignored);
    }
    return usage;
}

// `webcam` is decoded in full and its pictures thrown away.
Usage runFloor(const fs::path& webcam) {
    auto args = ffmpegArgs({"-i", (kCache / "source.mp4").string(), "-i", webcam.string(), "-map",
                            "0:v", "-map", "0:a"});
    auto enc = encoderArgs();
    args.insert(args.end(), enc.begin(), enc.end());
    args.insert(args.end(), {(kCache / "floor.mp4").string(), "-map", "1:v", "-f", "null", "-"});
    return runTool(args);
}

Usage runBaseline() {
    // The still pictures are decoded once and repeated by the loop filter.
    const int scaledH = (kRectW * kHeight / kWidth + 1) & ~1;
    const std::string graph =
        "[1:v]loop=loop=-1:size=1:start=0[bg];"
        "[2:v]loop=loop=-1:size=1:start=0,format=gray[m];"
        "[3:v]loop=loop=-1:size=1:start=0[cur];"
        "[0:v]zoompan=z='if(between(it\\,5\\,15)+between(it\\,30\\,45)\\,min(pzoom+0.02\\,2)\\,"
        "max(pzoom-0.02\\,1))':x='iw/2-iw/zoom/2':y='ih/2-ih/zoom/2':d=1:s=1920x1080:fps=30[z];"
        "[z][cur]overlay=x='960+576*sin(t/2)':y='540+302*sin(t/3)':shortest=1[c];"
        "[c]scale=" +
        std::to_string(kRectW) + ":" + std::to_string(scaledH) + ",crop=" + std::to_string(kRectW) +
        ":" + std::to_string(kRectH) + ":0:" + std::to_string(scaledH - kRectH) +
        ",format=yuva420p[s];"
        "[s][m]alphamerge[sm];"
        "[bg][sm]overlay=" +
        std::to_string(kPad) + ":" + std::to_string(kPad) + ":shortest=1,format=yuv420p[v]";
    auto args = ffmpegArgs(
        {"-i", (kCache / "source.mp4").string(), "-i", (kCache / "background.png").string(), "-i",
         (kCache / "mask.png").string(), "-i", (kCache / "cursor.png").string(), "-filter_complex",
         graph, "-map", "[v]", "-map", "0:a", "-t", std::to_string(kSeconds)});
    auto enc = encoderArgs();
    args.insert(args.end(), enc.begin(), enc.end());
    args.push_back((kCache / "baseline.mp4").string());
    return runTool(args);
}

Json styledAs(const char* format) {
    Json edit = styledEdit();
    edit["format"] = format;
    if (std::string(format) == "gif") edit["gif"] = Json{{"fps", 15}, {"width", 960}};
    return edit;
}

// The ffmpeg tool converting our styled MP4 export as the export writes that format.
Usage runConversion(const std::string& format) {
    if (!fs::exists(kStyledMovie) && !runExport(styledEdit(), kStyledMovie).ok) return {};
    auto args = ffmpegArgs({"-i", kStyledMovie.string()});
    const int fps = ExportRenderer::exportFps(kFps);
    if (format == "gif") {
        args.insert(args.end(), {"-vf",
                                 "fps=15,scale=960:-2,split[a][b];[a]palettegen[p];[b][p]"
                                 "paletteuse",
                                 "-loop", "0"});
    } else {
        args.insert(args.end(), {"-c:v",
                                 "libvpx-vp9",
                                 "-deadline",
                                 "realtime",
                                 "-cpu-used",
                                 "8",
                                 "-row-mt",
                                 "1",
                                 "-tile-columns",
                                 "2",
                                 "-threads",
                                 "4",
                                 "-b:v",
                                 std::to_string(ExportRenderer::bitRate(kWidth, kHeight, fps)),
                                 "-g",
                                 std::to_string(2 * fps),
                                 "-c:a",
                                 "libopus",
                                 "-b:a",
                                 "192k",
                                 "-ar",
                                 "48000",
                                 "-ac",
                                 "2"});
    }
    args.push_back((kCache / ("conversion." + format)).string());
    return runTool(args);
}

std::map<std::string, Usage> gResults;

void record(benchmark::State& state, const std::string& name, const Usage& usage) {
    if (!usage.ok) {
        state.SkipWithError("the run failed");
        return;
    }
    state.SetIterationTime(usage.wallSeconds);
    state.counters["x_realtime"] = kSeconds / usage.wallSeconds;
    state.counters["cpu_s"] = usage.cpuSeconds;
    state.counters["peak_MB"] = usage.peakMegabytes;
    // Of several rounds, the fastest: the one least disturbed by other programs.
    if (!gResults.contains(name) || usage.wallSeconds < gResults[name].wallSeconds) {
        gResults[name] = usage;
    }
}

// The runs, in this order, `rounds` times over: alternating them spreads whatever else the
// machine is doing over all of them.
void registerRuns(int rounds) {
    for (int round = 0; round < rounds; ++round) {
        const std::pair<const char*, std::function<Usage()>> runs[] = {
            {"floor", [] { return runFloor(kCache / "webcam.mp4"); }},
            {"floor_copy", [] { return runFloor(kCache / "webcam.small.m4v"); }},
            {"baseline", runBaseline},
            {"plain", [] { return runExport(Json::object()); }},
            {"styled", [] { return runExport(styledEdit(), kStyledMovie); }},
            {"styled_nocopy", [] { return runExport(styledEdit(), std::nullopt, "BenchNoCopy"); }},
            {"gif_tool", [] { return runConversion("gif"); }},
            {"gif", [] { return runExport(styledAs("gif")); }},
            {"webm_tool", [] { return runConversion("webm"); }},
            {"webm", [] { return runExport(styledAs("webm")); }},
        };
        for (const auto& [name, run] : runs) {
            benchmark::RegisterBenchmark(
                name,
                [name = std::string(name), run = run](benchmark::State& state) {
                    for (auto _ : state) record(state, name, run());
                })
                ->Iterations(1)
                ->UseManualTime()
                ->Unit(benchmark::kSecond);
        }
    }
}

void printSummary() {
    std::printf("\nexport of a %.0f s %d x %d %d fps recording, x264 preset \"%s\", %u cores\n",
                kSeconds, kWidth, kHeight, kFps, std::string(ExportRenderer::kPreset).c_str(),
                std::thread::hardware_concurrency());
    std::printf("%-34s %8s %8s %9s %8s %8s\n", "run", "wall s", "x real", "x floor", "CPU s",
                "peak MB");
    const Usage* floor = gResults.contains("floor") ? &gResults["floor"] : nullptr;
    const std::pair<const char*, const char*> rows[] = {
        {"floor", "floor (ffmpeg: decode all, encode)"},
        {"floor_copy", "floor, webcam's small copy"},
        {"baseline", "peer baseline (ffmpeg filters)"},
        {"plain", "export, no edits"},
        {"styled", "export, styled"},
        {"styled_nocopy", "export, styled, no small copy"},
        {"gif_tool", "ffmpeg: our MP4 -> GIF 960w 15fps"},
        {"gif", "export, styled, GIF 960w 15fps"},
        {"webm_tool", "ffmpeg: our MP4 -> WebM VP9+Opus"},
        {"webm", "export, styled, WebM VP9+Opus"},
    };
    for (auto [key, label] : rows) {
        if (!gResults.contains(key)) continue;
        const Usage& u = gResults[key];
        std::printf("%-34s %8.2f %8.2f %9.2f %8.2f %8.0f\n", label, u.wallSeconds,
                    kSeconds / u.wallSeconds, floor ? u.wallSeconds / floor->wallSeconds : 0.0,
                    u.cpuSeconds, u.peakMegabytes);
    }
    for (const char* key : {"plain", "styled", "styled_nocopy"}) {
        if (!gResults.contains(key)) continue;
        std::printf("CPU seconds by thread, %s:", key);
        for (auto& [name, cpu] : gResults[key].threadCpu) {
            if (cpu >= 0.05) std::printf("  %s %.1f", name.c_str(), cpu);
        }
        std::printf("\n");
    }
    for (const char* format : {"gif", "webm"}) {
        const std::string tool = std::string(format) + "_tool";
        if (gResults.contains(format) && gResults.contains(tool)) {
            std::printf(
                "%s export against the ffmpeg tool's conversion of our MP4: %.2f x its speed\n",
                format, gResults[tool].wallSeconds / gResults[format].wallSeconds);
        }
    }
    if (gResults.contains("styled") && gResults.contains("baseline")) {
        std::printf("styled export against the peer baseline: %.2f x its speed\n",
                    gResults["baseline"].wallSeconds / gResults["styled"].wallSeconds);
    }
    if (gResults.contains("styled") && gResults.contains("floor_copy")) {
        std::printf("styled export against the floor with the small copy: %.2f x its time\n",
                    gResults["styled"].wallSeconds / gResults["floor_copy"].wallSeconds);
    }
}

}  // namespace
}  // namespace marlune

int main(int argc, char** argv) {
    using namespace marlune;
    // The recordings folder follows HOME; the desktop's folder settings (read once) must not
    // point elsewhere.
    bench::useBenchHome();
    // Exports run at background priority; the ffmpeg runs compared with them (children of this
    // thread) get the same, so that other work on the machine weighs on every run alike.
    lowerThisThreadPriority();
    if (!prepare()) {
        std::fprintf(stderr, "could not make the benchmark movies (is ffmpeg installed?)\n");
        return 1;
    }
    // --rounds=N repeats the runs N times and keeps the fastest of each.
    registerRuns(bench::roundsArgument(argc, argv));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printSummary();
    return 0;
}
