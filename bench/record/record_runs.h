#pragma once

// One run of the recording bench (its counts, CPU, memory and movie), its line between a child
// and its parent, the side-by-side table and the targets each run is held to.

#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/json.h"
#include "process_probes.h"

namespace marlune::bench {

// ---- Targets ----

inline constexpr double kMaxCpuPerSecond30 = 0.6;
inline constexpr double kMaxLostShare60 = 0.001;
inline constexpr double kMaxGrowthMBPerMinute = 1.0;
inline constexpr double kMaxStopSeconds = 2.0;
inline constexpr double kMaxWaylandCpuOverX11 = 0.10;
// How a child (the wayland30 run) hands its runs back: one line each, this word and the JSON.
inline constexpr const char* kResultWord = "bench-run ";
// Memory after this long is the baseline for growth: pools and the encoder's look-ahead are full.
inline constexpr double kWarmSeconds = 10;

struct MemorySample {
    double t;
    double mb;
};

// Least-squares slope of the samples after the warm-up, in MB per minute.
inline std::optional<double> growthPerMinute(const std::vector<MemorySample>& samples) {
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
inline Json runJson(const Run& r) {
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

inline Run runFromJson(const Json& j) {
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

// ---- Printing ----

inline std::string fmt(const char* format, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

inline std::string clockText(double t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d:%02d", static_cast<int>(t) / 60, static_cast<int>(t) % 60);
    return buf;
}

// The sample nearest to `t`.
inline std::optional<double> memoryAt(const Run& r, double t) {
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

inline void printTable(const std::vector<Run>& runs, double seconds) {
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

inline void printTargets(const std::vector<Run>& runs, double seconds) {
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

}  // namespace marlune::bench
