#pragma once

// What the recording bench measures outside its own recording: the CPU and memory of processes
// and threads (from /proc), the load average, child processes it starts and stops, a thread that
// tells the machine's own lateness from the recorder's, and ffprobe's view of a finished movie.

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

#include "core/json.h"

extern char** environ;

namespace marlune::bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline double since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// ---- Processes ----

inline const double kTick = static_cast<double>(sysconf(_SC_CLK_TCK));

// The fields of /proc/<pid>/stat (or of a thread's) after the name; the name itself in `comm`.
inline std::vector<std::string> statFields(const std::string& path, std::string* comm = nullptr) {
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
inline std::optional<double> cpuOf(const std::string& statPath) {
    auto f = statFields(statPath);
    if (f.size() < 13) return std::nullopt;
    return (std::stod(f[11]) + std::stod(f[12])) / kTick;  // utime, stime
}

inline std::optional<double> cpuOfPid(int pid) {
    return cpuOf("/proc/" + std::to_string(pid) + "/stat");
}

// A "VmRSS"/"VmHWM" line of /proc/<pid>/status, in MB.
inline std::optional<double> statusMB(const std::string& pid, const std::string& key) {
    std::ifstream in("/proc/" + pid + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(key + ":")) return std::stod(line.substr(key.size() + 1)) / 1024.0;
    }
    return std::nullopt;
}

// Starts the peak resident size (VmHWM) afresh from the current size.
inline void resetPeakMemory() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// CPU seconds of this process's threads, summed by thread name. libx264's threads are unnamed:
// they carry the name of the thread that opened the encoder (the main thread's).
inline std::map<std::string, double> threadCpu() {
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

inline std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

// The private desktop's X server (or Wayland compositor): a child of the script that started
// this program, or of its parent. Nothing when this does not run under scripts/with-desktop or
// scripts/with-wayland.
inline std::optional<int> findXServer() {
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

inline std::optional<std::string> toolOutput(const std::vector<std::string>& args) {
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

inline Movie probe(const fs::path& file) {
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

}  // namespace marlune::bench
