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
#include "recording/asset_writer_coordinator.h"
#include "recording/capture_plan.h"
#include "recording/screen_capture_engine.h"
#include "recording/shareable_content.h"
#include "recording/wayland_capture.h"
#include "support/cpu_time.h"

extern char** environ;

namespace {

using namespace marlune;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// ---- Targets ----

constexpr double kMaxCpuPerSecond30 = 0.6;
constexpr double kMaxLostShare60 = 0.001;
constexpr double kMaxGrowthMBPerMinute = 1.0;
constexpr double kMaxStopSeconds = 2.0;
constexpr double kMaxWaylandCpuOverX11 = 0.10;
// How a child (the wayland30 run) hands its runs back: one line each, this word and the JSON.
constexpr const char* kResultWord = "bench-run ";
// Memory after this long is the baseline for growth: pools and the encoder's look-ahead are full.
constexpr double kWarmSeconds = 10;

double since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// ---- Processes ----

const double kTick = static_cast<double>(sysconf(_SC_CLK_TCK));

// The fields of /proc/<pid>/stat (or of a thread's) after the name; the name itself in `comm`.
std::vector<std::string> statFields(const std::string& path, std::string* comm = nullptr) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    const auto open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) return {};
    if (comm) *comm = line.substr(open + 1, close - open - 1);
    std::istringstream rest(line.substr(close + 2));
    std::vector<std::string> fields;
    for (std::string f; rest >> f;) fields.push_back(f);
    return fields;  // fields[0] is the state (the stat file's third field)
}

// User + system CPU seconds of a process or thread (all its threads for a process).
std::optional<double> cpuOf(const std::string& statPath) {
    auto f = statFields(statPath);
    if (f.size() < 13) return std::nullopt;
    return (std::stod(f[11]) + std::stod(f[12])) / kTick;  // utime, stime
}

std::optional<double> cpuOfPid(int pid) {
    return cpuOf("/proc/" + std::to_string(pid) + "/stat");
}

// A "VmRSS"/"VmHWM" line of /proc/<pid>/status, in MB.
std::optional<double> statusMB(const std::string& pid, const std::string& key) {
    std::ifstream in("/proc/" + pid + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(key + ":")) return std::stod(line.substr(key.size() + 1)) / 1024.0;
    }
    return std::nullopt;
}

// Starts the peak resident size (VmHWM) afresh from the current size.
void resetPeakMemory() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// CPU seconds of this process's threads, summed by thread name. libx264's threads are unnamed:
// they carry the name of the thread that opened the encoder (the main thread's).
std::map<std::string, double> threadCpu() {
    std::map<std::string, double> out;
    const std::string self = std::to_string(getpid());
    for (const auto& e : fs::directory_iterator("/proc/self/task")) {
        std::string comm;
        auto f = statFields(e.path() / "stat", &comm);
        if (f.size() < 13) continue;
        const double cpu = (std::stod(f[11]) + std::stod(f[12])) / kTick;
        if (e.path().filename() == self) comm = "(main thread)";
        out[comm] += cpu;
    }
    return out;
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

// The private desktop's X server (or Wayland compositor): a child of the script that started
// this program, or of its parent. Nothing when this does not run under scripts/with-desktop or
// scripts/with-wayland.
std::optional<int> findXServer() {
    std::vector<int> parents = {getppid()};
    if (auto f = statFields("/proc/" + std::to_string(getppid()) + "/stat"); f.size() > 1) {
        parents.push_back(std::stoi(f[1]));
    }
    for (int parent : parents) {
        for (const auto& e : fs::directory_iterator("/proc")) {
            const std::string name = e.path().filename();
            if (name.empty() || !std::isdigit(static_cast<unsigned char>(name[0]))) continue;
            std::string comm;
            auto f = statFields(e.path() / "stat", &comm);
            const bool server = comm == "Xvfb" || comm == "mutter";
            if (f.size() > 1 && server && std::stoi(f[1]) == parent) return std::stoi(name);
        }
    }
    return std::nullopt;
}

// A program started without a shell. Its standard input is a pipe (closed to end it) when
// `pipeIn`, and its standard output a pipe read by `readLine` when `pipeOut`; otherwise both go
// to `logFile` (or /dev/null), as does its standard error.
struct Child {
    pid_t pid = -1;
    int in = -1;
    int out = -1;
    std::string buffer;
    rusage usage{};
    int status = 0;

    static std::optional<Child> spawn(const std::vector<std::string>& args, bool pipeIn,
                                      bool pipeOut, const std::string& logFile = "/dev/null") {
        Child c;
        int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1};
        if (pipeIn && pipe2(inPipe, O_CLOEXEC) != 0) return std::nullopt;
        if (pipeOut && pipe2(outPipe, O_CLOEXEC) != 0) return std::nullopt;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (pipeIn) {
            posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
        } else {
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        }
        if (pipeOut) {
            posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
        } else {
            posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        }
        posix_spawn_file_actions_addopen(&actions, 2, logFile.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int rc = posix_spawnp(&c.pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (pipeIn) ::close(inPipe[0]);
        if (pipeOut) ::close(outPipe[1]);
        c.in = inPipe[1];
        c.out = outPipe[0];
        if (rc != 0) {
            c.pid = -1;
            return std::nullopt;
        }
        return c;
    }

    std::optional<std::string> readLine(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            if (auto nl = buffer.find('\n'); nl != std::string::npos) {
                std::string line = buffer.substr(0, nl);
                buffer.erase(0, nl + 1);
                return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (out < 0 || left.count() <= 0) return std::nullopt;
            pollfd p{out, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[256];
            const ssize_t n = ::read(out, chunk, sizeof chunk);
            if (n <= 0) return std::nullopt;
            buffer.append(chunk, static_cast<std::size_t>(n));
        }
    }

    bool running() {
        if (pid <= 0) return false;
        const pid_t r = wait4(pid, &status, WNOHANG, &usage);
        if (r == pid) {
            pid = -1;
            return false;
        }
        return true;
    }

    // Waits for the end (sending `sig` first unless 0); true when it exited with status 0.
    bool wait(int sig = 0) {
        if (in >= 0) {
            ::close(in);
            in = -1;
        }
        if (pid > 0) {
            if (sig) ::kill(pid, sig);
            wait4(pid, &status, 0, &usage);
            pid = -1;
        }
        if (out >= 0) ::close(out);
        out = -1;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    double cpuSeconds() const {
        auto s = [](timeval t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
        return s(usage.ru_utime) + s(usage.ru_stime);
    }
};

std::optional<std::string> toolOutput(const std::vector<std::string>& args) {
    auto c = Child::spawn(args, false, true);
    if (!c) return std::nullopt;
    std::string all;
    char chunk[4096];
    for (ssize_t n; (n = ::read(c->out, chunk, sizeof chunk)) > 0;) {
        all.append(chunk, static_cast<std::size_t>(n));
    }
    if (!c->wait()) return std::nullopt;
    return all;
}

// ---- How late the machine lets a thread wake ----

// A thread that sleeps to the same grid of 1/fps slots as the capture and notes how late it wakes:
// what the machine's load does to a thread that does nothing else. Slots it wakes a whole slot late
// for are slots a capture thread would have lost for the same reason.
class WakeProbe {
  public:
    explicit WakeProbe(int fps) : period_(1.0 / fps) {
        thread_ = std::thread([this] { run(); });
    }
    ~WakeProbe() { stop(); }
    void stop() {
        {
            std::lock_guard lock(m_);
            stop_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    // Wakes a slot or more late; the 99th percentile and the worst delay in ms.
    std::uint64_t slotLate() const { return slotLate_; }
    double percentileMs(double p) const {
        if (delays_.empty()) return 0;
        std::vector<double> sorted = delays_;
        std::sort(sorted.begin(), sorted.end());
        return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(p * sorted.size()))] *
               1e3;
    }

  private:
    void run() {
        const auto t0 = Clock::now();
        for (std::int64_t k = 1;; ++k) {
            const auto due = t0 + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(k * period_));
            std::unique_lock lock(m_);
            if (cv_.wait_until(lock, due, [&] { return stop_; })) return;
            lock.unlock();
            const double delay = std::chrono::duration<double>(Clock::now() - due).count();
            delays_.push_back(delay);
            if (delay >= period_) {
                const auto skipped = static_cast<std::int64_t>(delay / period_);
                slotLate_ += static_cast<std::uint64_t>(skipped);
                k += skipped;
            }
        }
    }

    double period_;
    std::thread thread_;
    std::mutex m_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::vector<double> delays_;
    std::uint64_t slotLate_ = 0;
};

// ---- What a run measured ----

struct Movie {
    std::string videoCodec, profile, audioCodec;
    double videoMbps = 0, audioKbps = 0, duration = 0;
    std::int64_t frames = 0;
    bool ok = false;
};

Movie probe(const fs::path& file) {
    Movie m;
    auto out =
        toolOutput({"ffprobe", "-v", "error", "-show_entries",
                    "stream=codec_type,codec_name,profile,bit_rate,nb_frames:format=duration",
                    "-of", "json", file.string()});
    if (!out) return m;
    try {
        const Json j = Json::parse(*out);
        auto number = [](const Json& v) {
            return v.is_string() ? std::stod(v.get<std::string>()) : 0.0;
        };
        for (const auto& s : j.value("streams", Json::array())) {
            if (s.value("codec_type", "") == "video") {
                m.videoCodec = s.value("codec_name", "");
                m.profile = s.value("profile", "");
                m.videoMbps = number(s.value("bit_rate", Json())) / 1e6;
                m.frames = static_cast<std::int64_t>(number(s.value("nb_frames", Json())));
            } else if (s.value("codec_type", "") == "audio") {
                m.audioCodec = s.value("codec_name", "");
                m.audioKbps = number(s.value("bit_rate", Json())) / 1e3;
            }
        }
        m.duration = number(j["format"].value("duration", Json()));
        m.ok = true;
    } catch (const std::exception&) {
    }
    return m;
}

struct MemorySample {
    double t;
    double mb;
};

// Least-squares slope of the samples after the warm-up, in MB per minute.
std::optional<double> growthPerMinute(const std::vector<MemorySample>& samples) {
    double n = 0, st = 0, sm = 0, stt = 0, stm = 0;
    for (const auto& s : samples) {
        if (s.t < kWarmSeconds) continue;
        n += 1;
        st += s.t;
        sm += s.mb;
        stt += s.t * s.t;
        stm += s.t * s.mb;
    }
    const double d = n * stt - st * st;
    if (n < 3 || d <= 0) return std::nullopt;
    return (n * stm - st * sm) / d * 60.0;
}

struct Run {
    std::string name, description;
    bool ours = true;
    bool ran = false;
    std::string error;
    int fps = 30;
    double seconds = 0;  // recorded
    // Ours: the engine's slots and the writer's counts. ffmpeg: frames and its dup/drop counters.
    std::uint64_t delivered = 0, late = 0, captureDropped = 0, writerDropped = 0;
    std::uint64_t audioWritten = 0, audioDropped = 0;
    std::int64_t ffFrames = -1, ffDup = -1, ffDrop = -1;
    double cpu = 0;
    std::map<std::string, double> threads;  // ours: CPU seconds by thread over the recording
    double peakMB = 0, startMB = 0;
    std::vector<MemorySample> memory;
    std::optional<double> stopSeconds;
    std::optional<double> xServerCpu, contentCpu;  // seconds over the run
    std::string loadBefore, loadAfter;
    std::uint64_t probeSlotLate = 0;
    double probeP99Ms = 0, probeMaxMs = 0;
    Movie movie;

    void keepProbe(WakeProbe& p) {
        p.stop();
        probeSlotLate = p.slotLate();
        probeP99Ms = p.percentileMs(0.99);
        probeMaxMs = p.percentileMs(1.0);
    }
    // ffmpeg's input frames: its output frames less the repeated ones plus the dropped ones.
    std::int64_t ffCaptured() const { return ffFrames - ffDup + ffDrop; }

    std::uint64_t slots() const { return delivered + late + captureDropped; }
    std::uint64_t lost() const { return late + captureDropped + writerDropped; }
    double cpuPerSecond() const { return seconds > 0 ? cpu / seconds : 0; }
};

// A run as the line a child prints, and back.
Json runJson(const Run& r) {
    Json memory = Json::array();
    for (const auto& m : r.memory) memory.push_back(Json::array({m.t, m.mb}));
    Json threads = Json::object();
    for (const auto& [name, cpu] : r.threads) threads[name] = cpu;
    auto optional = [](const std::optional<double>& v) { return v ? Json(*v) : Json(); };
    return Json{{"name", r.name},
                {"description", r.description},
                {"ran", r.ran},
                {"error", r.error},
                {"fps", r.fps},
                {"seconds", r.seconds},
                {"counts", Json::array({r.delivered, r.late, r.captureDropped, r.writerDropped,
                                        r.audioWritten, r.audioDropped, r.probeSlotLate})},
                {"cpu", r.cpu},
                {"threads", threads},
                {"peakMB", r.peakMB},
                {"startMB", r.startMB},
                {"memory", memory},
                {"stop", optional(r.stopSeconds)},
                {"xServer", optional(r.xServerCpu)},
                {"content", optional(r.contentCpu)},
                {"load", Json::array({r.loadBefore, r.loadAfter})},
                {"probeMs", Json::array({r.probeP99Ms, r.probeMaxMs})},
                {"movie", Json{{"video", r.movie.videoCodec},
                               {"profile", r.movie.profile},
                               {"audio", r.movie.audioCodec},
                               {"videoMbps", r.movie.videoMbps},
                               {"audioKbps", r.movie.audioKbps},
                               {"duration", r.movie.duration},
                               {"frames", r.movie.frames},
                               {"ok", r.movie.ok}}}};
}

Run runFromJson(const Json& j) {
    Run r;
    r.name = j.at("name");
    r.description = j.at("description");
    r.ran = j.at("ran");
    r.error = j.at("error");
    r.fps = j.at("fps");
    r.seconds = j.at("seconds");
    const Json& c = j.at("counts");
    r.delivered = c.at(0);
    r.late = c.at(1);
    r.captureDropped = c.at(2);
    r.writerDropped = c.at(3);
    r.audioWritten = c.at(4);
    r.audioDropped = c.at(5);
    r.probeSlotLate = c.at(6);
    r.cpu = j.at("cpu");
    for (const auto& [name, cpu] : j.at("threads").items()) r.threads[name] = cpu;
    r.peakMB = j.at("peakMB");
    r.startMB = j.at("startMB");
    for (const auto& m : j.at("memory")) r.memory.push_back({m.at(0), m.at(1)});
    auto optional = [](const Json& v) -> std::optional<double> {
        return v.is_number() ? std::optional<double>(v.get<double>()) : std::nullopt;
    };
    r.stopSeconds = optional(j.at("stop"));
    r.xServerCpu = optional(j.at("xServer"));
    r.contentCpu = optional(j.at("content"));
    r.loadBefore = j.at("load").at(0);
    r.loadAfter = j.at("load").at(1);
    r.probeP99Ms = j.at("probeMs").at(0);
    r.probeMaxMs = j.at("probeMs").at(1);
    const Json& m = j.at("movie");
    r.movie.videoCodec = m.at("video");
    r.movie.profile = m.at("profile");
    r.movie.audioCodec = m.at("audio");
    r.movie.videoMbps = m.at("videoMbps");
    r.movie.audioKbps = m.at("audioKbps");
    r.movie.duration = m.at("duration");
    r.movie.frames = m.at("frames");
    r.movie.ok = m.at("ok");
    return r;
}

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

// ---- Printing ----

std::string fmt(const char* format, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

std::string clockText(double t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d:%02d", static_cast<int>(t) / 60, static_cast<int>(t) % 60);
    return buf;
}

// The sample nearest to `t`.
std::optional<double> memoryAt(const Run& r, double t) {
    std::optional<double> best;
    double bestDistance = 1.5;
    for (const auto& s : r.memory) {
        if (std::abs(s.t - t) < bestDistance) {
            bestDistance = std::abs(s.t - t);
            best = s.mb;
        }
    }
    return best;
}

void printTable(const std::vector<Run>& runs, double seconds) {
    std::vector<std::pair<std::string, std::vector<std::string>>> rows;
    auto row = [&](const std::string& label, auto cell) {
        std::vector<std::string> cells;
        for (const auto& r : runs) cells.push_back(r.ran ? cell(r) : "-");
        rows.emplace_back(label, std::move(cells));
    };
    auto u = [](std::uint64_t v) { return std::to_string(v); };
    row("setup", [](const Run& r) { return r.description; });
    row("seconds recorded", [](const Run& r) { return fmt("%.1f", r.seconds); });
    row("frame slots (s x fps)",
        [&](const Run& r) { return r.ours ? u(r.slots()) : fmt("%.0f", r.seconds * r.fps); });
    row("frames captured",
        [&](const Run& r) { return r.ours ? u(r.delivered) : std::to_string(r.ffCaptured()); });
    row("  late (capture held up)", [&](const Run& r) { return r.ours ? u(r.late) : "-"; });
    row("  dropped by the capture",
        [&](const Run& r) { return r.ours ? u(r.captureDropped) : "-"; });
    row("  dropped by the writer", [&](const Run& r) { return r.ours ? u(r.writerDropped) : "-"; });
    row("  ffmpeg dup / drop", [&](const Run& r) {
        return r.ours ? std::string("-")
                      : std::to_string(r.ffDup) + " / " + std::to_string(r.ffDrop);
    });
    row("slots without a picture of their own", [&](const Run& r) {
        // Ours: late and dropped frames. ffmpeg: the slots it filled with a repeated picture.
        const double lost = r.ours ? double(r.lost()) : double(r.ffDup);
        const double slots = r.ours ? double(r.slots()) : double(r.ffFrames);
        return fmt("%.0f", lost) + fmt(" (%.2f %%)", slots > 0 ? lost / slots * 100 : 0);
    });
    row("probe thread: slots woken late",
        [](const Run& r) { return std::to_string(r.probeSlotLate); });
    row("probe thread: delay p99 / max ms",
        [](const Run& r) { return fmt("%.1f", r.probeP99Ms) + fmt(" / %.1f", r.probeMaxMs); });
    row("audio buffers written / dropped",
        [&](const Run& r) { return r.ours ? u(r.audioWritten) + " / " + u(r.audioDropped) : "-"; });
    row("CPU s per s recorded", [](const Run& r) { return fmt("%.3f", r.cpuPerSecond()); });
    // What each picture in the movie cost: fair between runs that lost different numbers.
    row("CPU ms per frame in the movie", [](const Run& r) {
        return r.movie.frames > 0 ? fmt("%.2f", r.cpu * 1e3 / double(r.movie.frames))
                                  : std::string("?");
    });
    // Our threads by name, as CPU seconds per second over the recording itself.
    std::map<std::string, bool> names;
    for (const auto& r : runs) {
        for (const auto& [name, cpu] : r.threads) {
            if (cpu / std::max(1.0, r.seconds) >= 0.005) names[name] = true;
        }
    }
    for (const auto& [name, _] : names) {
        std::string label = "  " + name;
        if (name == "bench_record") label = "  libx264 (its threads)";
        row(label, [&](const Run& r) {
            auto it = r.threads.find(name);
            return r.ours && it != r.threads.end() ? fmt("%.3f", it->second / r.seconds)
                                                   : std::string("-");
        });
    }
    row("X server CPU s per s", [](const Run& r) {
        return r.xServerCpu ? fmt("%.3f", *r.xServerCpu / r.seconds) : std::string("?");
    });
    row("content window CPU s per s", [](const Run& r) {
        return r.contentCpu ? fmt("%.3f", *r.contentCpu / r.seconds) : std::string("?");
    });
    row("memory MB at start", [](const Run& r) { return fmt("%.1f", r.startMB); });
    std::vector<double> marks = {kWarmSeconds};
    for (double m = 60; m <= seconds + 0.5; m += 60) marks.push_back(m);
    if (marks.back() < seconds - 1) marks.push_back(seconds);
    for (double m : marks) {
        row("memory MB at " + clockText(m), [&](const Run& r) {
            auto mb = memoryAt(r, m);
            return mb ? fmt("%.1f", *mb) : std::string("?");
        });
    }
    row("memory growth MB per minute", [](const Run& r) {
        auto g = growthPerMinute(r.memory);
        return g ? fmt("%+.2f", *g) : std::string("?");
    });
    row("peak memory MB", [](const Run& r) { return fmt("%.1f", r.peakMB); });
    row("stop to finished file s", [](const Run& r) {
        return r.stopSeconds ? fmt("%.3f", *r.stopSeconds) : std::string("-");
    });
    row("movie: video", [](const Run& r) {
        return r.movie.ok ? r.movie.videoCodec + " " + r.movie.profile : std::string("?");
    });
    row("movie: video Mbit/s", [](const Run& r) { return fmt("%.2f", r.movie.videoMbps); });
    row("movie: frames", [](const Run& r) { return std::to_string(r.movie.frames); });
    row("movie: duration s", [](const Run& r) { return fmt("%.2f", r.movie.duration); });
    row("movie: audio", [](const Run& r) {
        return r.movie.audioCodec.empty()
                   ? std::string("none")
                   : r.movie.audioCodec + fmt(" %.0f kbit/s", r.movie.audioKbps);
    });
    row("load average before", [](const Run& r) { return r.loadBefore; });
    row("load average after", [](const Run& r) { return r.loadAfter; });

    std::size_t labelWidth = 0;
    for (const auto& [label, _] : rows) labelWidth = std::max(labelWidth, label.size());
    std::vector<std::size_t> widths;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        std::size_t w = runs[i].name.size();
        for (const auto& [label, cells] : rows) {
            if (label != "setup") w = std::max(w, cells[i].size());
        }
        widths.push_back(w);
    }
    auto line = [&](const std::string& label, const std::vector<std::string>& cells) {
        std::printf("%-*s", static_cast<int>(labelWidth), label.c_str());
        for (std::size_t i = 0; i < cells.size(); ++i) {
            std::printf("   %*s", static_cast<int>(widths[i]), cells[i].c_str());
        }
        std::printf("\n");
    };
    std::vector<std::string> names2;
    for (const auto& r : runs) names2.push_back(r.name);
    line("", names2);
    for (const auto& [label, cells] : rows) {
        if (label != "setup") line(label, cells);
    }
    std::printf(
        "\n"
        "slots: the recording's 1/fps steps. A slot without a picture of its own is a late or\n"
        "  dropped frame (ours: the previous picture stays longer) or a repeated one (ffmpeg).\n"
        "probe thread: a thread of this program that only sleeps to the same slots; the slots it\n"
        "  woke a whole slot late for were lost to the machine's load, whatever the recorder did.\n"
        "CPU s per s: the recorder's process (every thread), from preparing to the finished file,\n"
        "  per second recorded; below it our threads by name over the recording itself. The X\n"
        "  server and the content window are other processes, not counted in it.\n"
        "memory: resident size, sampled every second; growth is the least-squares slope after\n"
        "  the first %.0f s; peak is the process's high-water mark during the run.\n",
        kWarmSeconds);
    std::printf("\nsetup:\n");
    for (const auto& r : runs) std::printf("  %-12s %s\n", r.name.c_str(), r.description.c_str());
    for (const auto& r : runs) {
        if (!r.error.empty()) std::printf("  %-12s FAILED: %s\n", r.name.c_str(), r.error.c_str());
    }
}

void printTargets(const std::vector<Run>& runs, double seconds) {
    auto find = [&](const std::string& name) -> const Run* {
        for (const auto& r : runs) {
            if (r.name == name && r.ran && r.error.empty()) return &r;
        }
        return nullptr;
    };
    std::printf("\ntargets:\n");
    auto verdict = [](bool pass, const std::string& what, const std::string& figure) {
        std::printf("  %-4s  %-58s %s\n", pass ? "PASS" : "MISS", what.c_str(), figure.c_str());
    };
    const Run* o30 = find("ours30");
    const Run* ff = find("ffmpeg30");
    if (o30) {
        verdict(o30->lost() == 0, "ours30: no frame late or dropped",
                std::to_string(o30->lost()) + " lost");
        verdict(o30->cpuPerSecond() <= kMaxCpuPerSecond30,
                fmt("ours30: at most %.1f CPU s per s", kMaxCpuPerSecond30),
                fmt("%.3f", o30->cpuPerSecond()));
        if (ff) {
            verdict(o30->cpuPerSecond() < ff->cpuPerSecond(), "ours30: less CPU than ffmpeg30",
                    fmt("%.3f", o30->cpuPerSecond()) + fmt(" vs %.3f", ff->cpuPerSecond()));
        }
    }
    if (const Run* w = find("wayland30")) {
        verdict(w->lost() == 0, "wayland30: no frame late or dropped",
                std::to_string(w->lost()) + " lost");
        if (o30) {
            verdict(
                w->cpuPerSecond() <= o30->cpuPerSecond() * (1 + kMaxWaylandCpuOverX11),
                fmt("wayland30: CPU within %.0f %% of ours30 (X11)", kMaxWaylandCpuOverX11 * 100),
                fmt("%.3f", w->cpuPerSecond()) + fmt(" vs %.3f", o30->cpuPerSecond()));
            if (w->lost() != o30->lost()) {
                std::printf(
                    "  note  wayland30 and ours30 lost different numbers of frames: the CPU per "
                    "frame in the movie compares them better\n");
            }
        }
    }
    for (const char* name : {"ours60", "ours60fast", "ours60at720"}) {
        const Run* r = find(name);
        if (!r) continue;
        const double share = r->slots() ? double(r->lost()) / double(r->slots()) : 1;
        verdict(share <= kMaxLostShare60,
                std::string(name) +
                    fmt(": at most %.1f %% of frames late or dropped", kMaxLostShare60 * 100),
                fmt("%.2f %%", share * 100));
    }
    for (const auto& r : runs) {
        if (!r.ours || !r.ran || !r.error.empty()) continue;
        auto g = growthPerMinute(r.memory);
        if (seconds < 60) {
            std::printf("  %-4s  %-58s %s\n", "-",
                        (r.name + ": memory flat (needs 60 s or more)").c_str(),
                        g ? fmt("%+.2f MB/min", *g).c_str() : "?");
        } else {
            verdict(g && *g <= kMaxGrowthMBPerMinute,
                    r.name + fmt(": memory flat (grows at most %.0f MB a minute)",
                                 kMaxGrowthMBPerMinute),
                    g ? fmt("%+.2f MB/min", *g) : "?");
        }
        verdict(r.stopSeconds && *r.stopSeconds < kMaxStopSeconds,
                r.name + fmt(": stop to finished file under %.0f s", kMaxStopSeconds),
                r.stopSeconds ? fmt("%.3f s", *r.stopSeconds) : "?");
    }
    for (const auto& r : runs) {
        if (r.ours && r.ran && r.lost() > 0 && r.probeSlotLate > 0) {
            std::printf(
                "  note  %s: the probe thread too woke %llu slots late: the machine held "
                "threads up (load), not the recorder\n",
                r.name.c_str(), static_cast<unsigned long long>(r.probeSlotLate));
        }
    }
    for (const auto& r : runs) {
        if (r.ran && r.error.empty() && r.movie.ok && r.ours &&
            r.movie.frames != static_cast<std::int64_t>(r.delivered - r.writerDropped)) {
            std::printf("  note  %s: the movie has %lld frames, the writer wrote %llu\n",
                        r.name.c_str(), static_cast<long long>(r.movie.frames),
                        static_cast<unsigned long long>(r.delivered - r.writerDropped));
        }
    }
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
