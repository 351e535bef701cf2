#pragma once

// Tones played into a PulseAudio device and a thread-safe collector of captured buffers.

#include <glib.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <numbers>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/media_sample.h"
#include "support/temp_dir.h"

namespace marlune::test {

// A sine tone played into a PulseAudio sink for `seconds` (paplay), stopped when it goes.
class TonePlayer {
  public:
    TonePlayer(const std::string& sink, double hz, double seconds, float amplitude = 0.5f) {
        const int rate = 48000;
        std::vector<float> samples(static_cast<size_t>(seconds * rate));
        for (size_t i = 0; i < samples.size(); ++i) {
            samples[i] = amplitude * static_cast<float>(std::sin(2 * std::numbers::pi * hz *
                                                                 static_cast<double>(i) / rate));
        }
        auto file = dir_ / "tone.raw";
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(samples.data()),
                   static_cast<std::streamsize>(samples.size() * sizeof(float)));
        std::vector<std::string> args = {"paplay",       "--raw",        "--format=float32le",
                                         "--rate=48000", "--channels=1", "--device=" + sink,
                                         file.string()};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        g_spawn_async(nullptr, argv.data(), nullptr,
                      static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD),
                      nullptr, nullptr, &pid_, nullptr);
    }
    ~TonePlayer() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    TonePlayer(const TonePlayer&) = delete;
    TonePlayer& operator=(const TonePlayer&) = delete;

  private:
    TempDir dir_;
    GPid pid_ = 0;
};

namespace detail {
// The largest magnitude of any sample in `b`.
inline float peak(const AudioBuffer& b) {
    float p = 0;
    for (float s : b.samples) p = std::max(p, std::fabs(s));
    return p;
}
}  // namespace detail

// Collects buffers (and end notices) from any thread.
class Collected {
  public:
    std::function<void(AudioBuffer)> handler() {
        return [this](AudioBuffer b) {
            std::lock_guard lock(mutex_);
            frames_ += b.frames();
            if (detail::peak(b) > 0.1f) loudFrames_ += b.frames();
            buffers_.push_back(std::move(b));
            cv_.notify_all();
        };
    }
    std::function<void(Error)> endHandler() {
        return [this](Error) {
            std::lock_guard lock(mutex_);
            ++ends_;
            cv_.notify_all();
        };
    }
    bool waitForFrames(long frames, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return frames_ >= frames; });
    }
    bool waitForLoudSeconds(double seconds, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return loudFrames_ >= seconds * 48000; });
    }
    bool waitForEnd(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return ends_ > 0; });
    }
    std::vector<AudioBuffer> take() {
        std::lock_guard lock(mutex_);
        frames_ = loudFrames_ = 0;
        return std::exchange(buffers_, {});
    }
    int ends() {
        std::lock_guard lock(mutex_);
        return ends_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<AudioBuffer> buffers_;
    long frames_ = 0;
    long loudFrames_ = 0;
    int ends_ = 0;
};

// Root mean square of one channel over the loud part of `buffers` (buffers with a peak above
// 0.1), so that silence before the sound starts does not dilute it.
inline double rms(const std::vector<AudioBuffer>& buffers, int channel) {
    double sum = 0;
    long n = 0;
    for (const auto& b : buffers) {
        if (detail::peak(b) <= 0.1f) continue;
        for (int i = 0; i < b.frames(); ++i) {
            double s = b.samples[static_cast<size_t>(i * b.channels + channel)];
            sum += s * s;
            ++n;
        }
    }
    return n ? std::sqrt(sum / static_cast<double>(n)) : 0.0;
}

}  // namespace marlune::test
