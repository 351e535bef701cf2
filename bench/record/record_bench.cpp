// What recording the screen costs, beside the ffmpeg tool doing the same, on the private desktop:
//
//   scripts/with-desktop build/bench/bench_record [--seconds N] [--runs a,b,…]
//   MARLUNE_WAYLAND_SIZE=1920x1080 scripts/with-wayland build/bench/bench_record --runs ours30
//
// The second records a Wayland session's screen through the screen-cast portal and PipeWire
// (the same "ours" runs, the session picks the back end); the compositor's CPU is shown where the
// X server's is, and the window stays in place (Wayland clients cannot move themselves). The
// first does the same as its "wayland30" run, in a column beside the X11 ones, so that both are
// measured on the same machine at the same time of day.
//
// N seconds (default 60) of each run, one after the other, printed side by side:
//   ours30       our 1920 × 1080 display recording at 30 fps with the system audio, driven the way
//                the recording controller drives it (the capture plan, AssetWriterCoordinator,
//                ScreenCaptureEngine), without the page or its bridge;
//   ffmpeg30     the ffmpeg tool as the peer baseline: x11grab at 30 fps and the default sink's
//                monitor through PulseAudio, into libx264 with our preset, bit rate and key frame
//                interval, no B-frames, AAC at 192 kbit/s;
//   ours60       our recording at 60 fps, the same measures;
//   ours60fast   at 60 fps with libx264's "ultrafast" preset (Constrained Baseline profile), one
//                fallback for machines that cannot encode 1080p60 at the High profile;
//   ours60at720  at 60 fps with the height capped at 720 (the picture scaled down), High profile:
//                the other fallback;
//   wayland30    ours30 in a Wayland session of its own (scripts/with-wayland, a 1920 × 1080
//                headless mutter, the portal stand-in), run as a child of this program; its
//                CPU must stay within 10 % of ours30's.
// Default: the first five, in this order.
//
// What is recorded: a GTK window (moving_window.py beside this file) of text that scrolls at 90
// pixels a second, redrawn 60 times a second while the window drifts over a plain desktop, and a
// two-tone sound played into the default sink. Its program and the X server are other processes:
// their CPU is shown apart ("X server", "content") and left out of the recording's. The X server
// does the copying of every picture for both recorders.
//
// CPU seconds per second: our process's CPU (every thread) from preparing the writer to the
// finished file, or the ffmpeg process's (its rusage), divided by the seconds recorded. Memory:
// the process's resident size, sampled every second; "growth" is the least-squares slope of those
// samples after the first 10 s. The machine may be shared: the load average is printed before and
// after each run, and a probe thread that only sleeps to the same frame slots tells the frames the
// machine's load cost from those the recorder lost; figures from a loaded machine are indicative.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}
#include <glib.h>

#include "core/json.h"
#include "platform/wayland/wayland_outputs.h"
#include "process_probes.h"
#include "record_runs.h"
#include "recording/asset_writer_coordinator.h"
#include "recording/capture_plan.h"
#include "recording/screen_capture_engine.h"
#include "recording/shareable_content.h"
#include "recording/wayland_capture.h"
#include "support/cpu_time.h"

namespace {

using namespace marlune;
using namespace marlune::bench;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// ---- The desktop ----

struct Desktop {
    std::uint32_t displayID = 0;
    PixelRect pixels;
    std::optional<int> xServer;
    std::optional<Child> window;
    fs::path tone;
};

// Calls `each(t)` about every second from `start` until `seconds` have passed or it returns
// false.
template <typename Each>
void everySecond(Clock::time_point start, double seconds, Each&& each) {
    for (int k = 1;; ++k) {
        const double next = std::min<double>(k, seconds);
        std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(next)));
        if (!each(since(start)) || next >= seconds) return;
    }
}

std::optional<Child> playTone(const Desktop& d) {
    return Child::spawn({"paplay", d.tone.string()}, false, false);
}

struct Before {
    std::optional<double> x, content;
};

Before otherProcessesNow(const Desktop& d) {
    Before b;
    if (d.xServer) b.x = cpuOfPid(*d.xServer);
    if (d.window && d.window->pid > 0) b.content = cpuOfPid(d.window->pid);
    return b;
}

void otherProcessesSince(const Desktop& d, const Before& b, Run& run) {
    const Before now = otherProcessesNow(d);
    if (b.x && now.x) run.xServerCpu = *now.x - *b.x;
    if (b.content && now.content) run.contentCpu = *now.content - *b.content;
}

// ---- Our recording ----

// Hands what the stream captures to the writer, as the recording controller does.
class Forwarder : public ScreenCaptureEngineDelegate {
  public:
    explicit Forwarder(std::shared_ptr<AssetWriterCoordinator> writer)
        : writer_(std::move(writer)) {}
    void didOutputVideo(VideoFrame frame) override { writer_->appendVideo(std::move(frame)); }
    void didOutputSystemAudio(AudioBuffer buffer) override {
        writer_->appendSystemAudio(std::move(buffer));
    }
    void didStopWithError(Error error) override {
        std::lock_guard lock(mutex_);
        error_ = error.message;
    }
    std::string error() {
        std::lock_guard lock(mutex_);
        return error_;
    }

  private:
    std::shared_ptr<AssetWriterCoordinator> writer_;
    std::mutex mutex_;
    std::string error_;
};

template <typename T>
class Waiter {
  public:
    void set(T value) {
        std::lock_guard lock(m_);
        value_ = std::move(value);
        cv_.notify_all();
    }
    std::optional<T> get(std::chrono::seconds timeout) {
        std::unique_lock lock(m_);
        cv_.wait_for(lock, timeout, [&] { return value_.has_value(); });
        return value_;
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::optional<T> value_;
};

// What the recording controller would record for `options`. On Wayland the portal's session
// answers on the main thread, which runs its context meanwhile.
Result<ShareableContent> contentFor(const RecordingOptions& options) {
    std::atomic<bool> done{false};
    std::optional<Result<ShareableContent>> content;
    std::thread asking([&] {
        content = recordableContent(options);
        done = true;
        g_main_context_wakeup(g_main_context_default());
    });
    while (!done) g_main_context_iteration(g_main_context_default(), TRUE);
    asking.join();
    return std::move(*content);
}

void recordOurs(const Desktop& d, Run& run, double seconds, std::int64_t capHeight,
                const std::string& preset, const fs::path& dir) {
    RecordingOptions options;
    options.sourceKind = "display";
    options.sourceID = d.displayID;
    options.fps = run.fps;
    options.capHeight = capHeight;
    options.systemAudio = true;
    options.mic = false;
    options.showCursor = true;
    options.smoothCursor = true;  // the default cursor mode: frames carry no cursor
    auto content = contentFor(options);
    if (!content) {
        run.error = content.error().message;
        return;
    }
    auto plan = makePlan(*content, options);
    if (!plan) {
        run.error = plan.error().message;
        return;
    }
    run.fps = plan->fps;
    run.description = std::to_string(plan->width) + "x" + std::to_string(plan->height) + " " +
                      std::to_string(plan->fps) + " fps, " + preset;
    if (plan->notice) run.description += " (plan: " + *plan->notice + ")";

    auto tone = playTone(d);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    run.loadBefore = loadAverage();
    const Before others = otherProcessesNow(d);
    resetPeakMemory();
    run.startMB = statusMB("self", "VmRSS").value_or(0);
    const double cpu0 = bench::processCpuSeconds();

    WriterTuning tuning;
    tuning.preset = preset;
    tuning.maxPendingFrames = plan->configuration.queueDepth;
    auto writer = std::make_shared<AssetWriterCoordinator>(tuning);
    const fs::path movie = dir / (run.name + ".mp4");
    if (auto ok = writer->prepare(movie, plan->width, plan->height, plan->fps, false, true); !ok) {
        run.error = ok.error().message;
        if (tone) tone->wait(SIGTERM);
        return;
    }
    auto forwarder = std::make_shared<Forwarder>(writer);
    ScreenCaptureEngine engine;
    engine.delegate = forwarder;
    auto started = std::make_shared<Waiter<std::optional<Error>>>();
    engine.start(plan->filter, plan->configuration,
                 [started](std::optional<Error> e) { started->set(std::move(e)); });
    auto startResult = started->get(std::chrono::seconds(20));
    if (!startResult || *startResult) {
        run.error = startResult ? (*startResult)->message : "the stream did not start";
        engine.stop(nullptr);
        writer->finish([](Result<SavedInfo>) {});
        if (tone) tone->wait(SIGTERM);
        return;
    }
    const auto start = Clock::now();
    const auto threads0 = threadCpu();
    WakeProbe wakes(run.fps);
    everySecond(start, seconds, [&](double t) {
        run.memory.push_back({t, statusMB("self", "VmRSS").value_or(0)});
        return true;
    });
    for (const auto& [name, cpu] : threadCpu()) {
        auto before = threads0.find(name);
        run.threads[name] = cpu - (before == threads0.end() ? 0.0 : before->second);
    }
    run.seconds = since(start);
    run.keepProbe(wakes);

    auto saved = std::make_shared<Waiter<Result<SavedInfo>>>();
    const auto stop0 = Clock::now();
    engine.stop([writer, saved] {
        // On the capture queue, once the last frame has been handed on.
        writer->finish([saved](Result<SavedInfo> r) { saved->set(std::move(r)); });
    });
    auto result = saved->get(std::chrono::seconds(60));
    run.stopSeconds = since(stop0);
    run.cpu = bench::processCpuSeconds() - cpu0;
    run.peakMB = statusMB("self", "VmHWM").value_or(0);
    run.loadAfter = loadAverage();
    otherProcessesSince(d, others, run);
    if (tone) tone->wait(SIGTERM);

    const CaptureStatistics stats = engine.statistics();
    const WriterCounters counters = writer->counters();
    run.delivered = stats.framesDelivered;
    run.late = stats.framesLate;
    run.captureDropped = stats.framesDropped;
    run.writerDropped = counters.framesDropped;
    run.audioWritten = counters.audioBuffersWritten;
    run.audioDropped = counters.audioBuffersDropped;
    if (!forwarder->error().empty()) run.error = "the stream ended: " + forwarder->error();
    if (!result) {
        run.error = "no finished file within 60 s";
    } else if (!*result) {
        run.error = result->error().message;
    } else {
        run.movie = probe(movie);
    }
    run.ran = true;
}

// ---- The ffmpeg tool ----

std::map<std::string, std::string> lastProgress(const fs::path& file) {
    std::map<std::string, std::string> out;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        if (auto eq = line.find('='); eq != std::string::npos) {
            out[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return out;
}

void recordFfmpeg(const Desktop& d, Run& run, double seconds, const fs::path& dir) {
    const char* display = std::getenv("DISPLAY");
    const fs::path movie = dir / (run.name + ".mp4");
    const fs::path progress = dir / (run.name + ".progress");
    const fs::path log = dir / (run.name + ".log");
    const auto rate = std::to_string(
        AssetWriterCoordinator::defaultBitRate(d.pixels.width, d.pixels.height, run.fps));
    const std::string fps = std::to_string(run.fps);
    const std::string preset = WriterTuning{}.preset;
    std::vector<std::string> args = {
        "ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "warning", "-y", "-progress",
        progress.string(),
        // What the computer plays: the default sink's monitor (small packets: a long queue).
        // First: ffmpeg starts each input's clock at its own first packet, and the sound opened
        // after the screen (whose opening reads pictures for a second) would lag the pictures by
        // that long, more than the pictures' queue holds; most pictures would then be lost.
        "-thread_queue_size", "1024", "-f", "pulse", "-sample_rate", "48000", "-channels", "2",
        "-i", "@DEFAULT_MONITOR@",
        // The screen as x11grab takes it (shared memory), without the cursor as ours, opened
        // without reading pictures ahead. Its queue keeps the default few pictures, as ours:
        // a longer one only hides an encoder that falls behind, at 8 MB a picture.
        "-analyzeduration", "0", "-probesize", "32", "-f", "x11grab", "-framerate", fps,
        "-video_size", std::to_string(d.pixels.width) + "x" + std::to_string(d.pixels.height),
        "-draw_mouse", "0", "-i",
        std::string(display ? display : ":0") + "+" + std::to_string(d.pixels.x) + "," +
            std::to_string(d.pixels.y),
        "-map", "1:v", "-map", "0:a", "-t", std::to_string(seconds), "-c:v", "libx264", "-preset",
        preset, "-profile:v", "high", "-b:v", rate, "-g", fps, "-bf", "0", "-pix_fmt", "yuv420p",
        "-c:a", "aac", "-b:a", "192k", "-ar", "48000", "-ac", "2", movie.string()};
    run.description = "x11grab + pulse, " + preset;

    auto tone = playTone(d);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    run.loadBefore = loadAverage();
    const Before others = otherProcessesNow(d);
    const auto start = Clock::now();
    auto child = Child::spawn(args, false, false, log.string());
    if (!child) {
        run.error = "cannot start ffmpeg";
        if (tone) tone->wait(SIGTERM);
        return;
    }
    const std::string pid = std::to_string(child->pid);
    WakeProbe wakes(run.fps);
    // Until it ends on its own (-t), with time to spare for starting and finishing.
    everySecond(start, seconds + 30, [&](double t) {
        if (!child->running()) return false;
        if (auto mb = statusMB(pid, "VmRSS")) run.memory.push_back({t, *mb});
        return true;
    });
    const bool ok = child->running() ? child->wait(SIGINT) : child->wait();
    run.keepProbe(wakes);
    run.loadAfter = loadAverage();
    otherProcessesSince(d, others, run);
    if (tone) tone->wait(SIGTERM);

    run.cpu = child->cpuSeconds();
    run.peakMB = static_cast<double>(child->usage.ru_maxrss) / 1024.0;
    if (!run.memory.empty()) run.startMB = run.memory.front().mb;
    auto p = lastProgress(progress);
    auto integer = [&](const std::string& key) -> std::int64_t {
        auto it = p.find(key);
        return it == p.end() ? -1 : std::atoll(it->second.c_str());
    };
    run.ffFrames = integer("frame");
    run.ffDup = integer("dup_frames");
    run.ffDrop = integer("drop_frames");
    if (!ok) run.error = "ffmpeg failed (see " + log.string() + ")";
    run.movie = probe(movie);
    run.seconds = run.movie.duration > 0 ? run.movie.duration : seconds;
    run.ran = true;
}

// ---- The same in a Wayland session ----

// Runs this program's ours30 under scripts/with-wayland on a 1920 × 1080 monitor and takes its
// run back from the line it prints.
void recordInWayland(Run& run, double seconds) {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        run.error = "cannot find this program";
        return;
    }
    self[n] = 0;
    setenv("MARLUNE_WAYLAND_SIZE", "1920x1080", 1);
    auto child = Child::spawn(
        {std::string(MARLUNE_SOURCE_ROOT) + "/scripts/with-wayland", self, "--seconds",
         std::to_string(static_cast<int>(seconds)), "--runs", "ours30", "--print-runs"},
        false, true);
    unsetenv("MARLUNE_WAYLAND_SIZE");
    if (!child) {
        run.error = "cannot start scripts/with-wayland";
        return;
    }
    std::optional<Run> got;
    while (auto line = child->readLine(std::chrono::seconds(static_cast<int>(seconds) + 300))) {
        if (!line->starts_with(kResultWord)) continue;
        try {
            got = runFromJson(Json::parse(line->substr(std::strlen(kResultWord))));
        } catch (const std::exception& e) {
            run.error = std::string("the Wayland run's line cannot be read: ") + e.what();
        }
    }
    const bool ok = child->wait();
    if (!got) {
        if (run.error.empty())
            run.error = ok ? "the Wayland run printed nothing" : "scripts/with-wayland failed";
        return;
    }
    const std::string name = run.name;
    run = std::move(*got);
    run.name = name;
    run.description = "Wayland: " + run.description;
}

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        if (!item.empty()) out.push_back(item);
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 60;
    std::vector<std::string> names = {"ours30", "ffmpeg30", "ours60", "ours60fast", "ours60at720"};
    bool printRuns = false;  // for a parent: each run as a line of its own too
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (arg == "--runs" && i + 1 < argc) {
            names = split(argv[++i]);
        } else if (arg == "--print-runs") {
            printRuns = true;
        } else {
            std::fprintf(stderr, "usage: bench_record [--seconds N] [--runs %s]\n",
                         "ours30,ffmpeg30,ours60,ours60fast,ours60at720,wayland30");
            return 2;
        }
    }
    if (seconds < 2) seconds = 2;
    // libx264 reports its settings and totals on standard error; the table says what matters.
    av_log_set_level(AV_LOG_ERROR);
    const bool wayland = captureBackend() == CaptureBackend::portal;
    if ((!std::getenv("DISPLAY") && !wayland) || !std::getenv("PULSE_SERVER")) {
        std::fprintf(stderr, "bench_record: run it under scripts/with-desktop or with-wayland\n");
        return 2;
    }

    Desktop d;
    if (wayland) {
        auto outputs = wayland::listOutputs();
        if (!outputs || outputs->empty()) {
            std::fprintf(stderr, "bench_record: no Wayland monitor to record\n");
            return 1;
        }
        d.displayID = 1;
        d.pixels = outputs->front().pixels;
        // The portal's first picture says the size; ffmpeg's x11grab has nothing to grab here.
        setenv("GDK_BACKEND", "wayland", 1);
    } else {
        auto content = ShareableContent::current();
        if (!content || content->displays.empty()) {
            std::fprintf(stderr, "bench_record: no display to record\n");
            return 1;
        }
        d.displayID = content->displays.front().displayID;
        d.pixels = content->displays.front().pixels;
    }
    d.xServer = findXServer();

    const fs::path dir =
        fs::temp_directory_path() / ("marlune-bench-record-" + std::to_string(getpid()));
    fs::create_directories(dir);
    // A plain desktop behind the window, as most are; ignored where xsetroot is missing.
    if (!wayland) toolOutput({"xsetroot", "-solid", "#3a6ea5"});
    d.tone = dir / "tone.wav";
    if (!toolOutput({"sox", "-n", "-r", "48000", "-c", "2", "-b", "16", d.tone.string(), "synth",
                     std::to_string(seconds + 40), "sine", "440", "sine", "554", "vol", "0.3"})) {
        std::fprintf(stderr, "bench_record: sox cannot make the tone\n");
        return 1;
    }
    d.window = Child::spawn(
        {"/usr/bin/python3", std::string(MARLUNE_BENCH_RECORD_DIR) + "/moving_window.py"}, true,
        true);
    if (!d.window || !d.window->readLine(std::chrono::seconds(20))) {
        std::fprintf(stderr, "bench_record: the moving window did not come up\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));

    std::printf(
        "Recording benchmark: %.0f s per run of the %dx%d display (scrolling text in a "
        "moving window, a tone playing)\n",
        seconds, d.pixels.width, d.pixels.height);
    std::printf("%s session; %u cores; X server %s; movies in %s\n\n",
                wayland ? "Wayland (portal, PipeWire; the X server row is the compositor)" : "X11",
                std::thread::hardware_concurrency(),
                d.xServer ? ("pid " + std::to_string(*d.xServer)).c_str() : "not found",
                dir.c_str());

    std::vector<Run> runs;
    for (const auto& name : names) {
        Run run;
        run.name = name;
        std::fprintf(stderr, "running %s (%.0f s)…\n", name.c_str(), seconds);
        if (name == "ours30") {
            run.fps = 30;
            recordOurs(d, run, seconds, 1440, WriterTuning{}.preset, dir);
        } else if (name == "ours60") {
            run.fps = 60;
            recordOurs(d, run, seconds, 1440, WriterTuning{}.preset, dir);
        } else if (name == "ours60fast") {
            run.fps = 60;
            recordOurs(d, run, seconds, 1440, "ultrafast", dir);
        } else if (name == "ours60at720") {
            run.fps = 60;
            recordOurs(d, run, seconds, 720, WriterTuning{}.preset, dir);
        } else if (name == "wayland30" && !wayland) {
            run.fps = 30;
            // The X11 desktop's content stands still meanwhile: the Wayland one has its own.
            ::kill(d.window->pid, SIGSTOP);
            recordInWayland(run, seconds);
            ::kill(d.window->pid, SIGCONT);
            run.ran = true;
        } else if (name == "ffmpeg30") {
            run.fps = 30;
            run.ours = false;
            recordFfmpeg(d, run, seconds, dir);
        } else {
            std::fprintf(stderr, "bench_record: no run named %s\n", name.c_str());
            continue;
        }
        runs.push_back(std::move(run));
    }
    d.window->wait(SIGTERM);

    printTable(runs, seconds);
    printTargets(runs, seconds);
    if (printRuns) {
        for (const auto& r : runs) std::printf("%s%s\n", kResultWord, runJson(r).dump().c_str());
    }
    std::printf("\nload average (1, 5, 15 min) at the end: %s\n", loadAverage().c_str());
    // The movies are kept only when something failed, to look at; ffmpeg's log always.
    bool failed = false;
    for (const auto& r : runs) failed = failed || !r.error.empty();
    if (!failed) {
        for (const auto& e : fs::directory_iterator(dir)) {
            if (e.path().extension() == ".mp4" || e.path().extension() == ".wav")
                fs::remove(e.path());
        }
    }
    return 0;
}
