// flash_click X Y SIZE: a black square on top, and silence playing. Prints "ready", then on
// stdin "flash T" (CLOCK_MONOTONIC ns) turns it white at T with a 2 kHz click placed by the
// stream's latency to sound at T, printing "flashed <drawn at>" or "late"; "dark" prints "ok".

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <time.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Nanos = std::int64_t;
constexpr int kRate = 48000;
constexpr int kChunk = 240;  // 5 ms per write
constexpr int kClickFrames = kRate / 50;

Nanos now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return Nanos(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void sleepUntil(Nanos t) {
    timespec ts{static_cast<time_t>(t / 1'000'000'000), static_cast<long>(t % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
    }
}

// Plays silence, and the click where it is asked for. The writing thread's.
class Speaker {
  public:
    bool open() {
        pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, kRate, 1};
        pa_buffer_attr attr{};
        attr.maxlength = std::uint32_t(-1);
        attr.tlength = std::uint32_t(kRate / 50 * sizeof(float));  // 20 ms ahead
        attr.prebuf = std::uint32_t(-1);
        attr.minreq = std::uint32_t(kChunk * sizeof(float));
        attr.fragsize = std::uint32_t(-1);
        int error = 0;
        stream_ = pa_simple_new(nullptr, "marlune-flash-click", PA_STREAM_PLAYBACK, nullptr,
                                "click", &spec, nullptr, &attr, &error);
        if (!stream_) std::fprintf(stderr, "flash_click: %s\n", pa_strerror(error));
        return stream_ != nullptr;
    }
    ~Speaker() {
        running_ = false;
        if (thread_.joinable()) thread_.join();
        if (stream_) pa_simple_free(stream_);
    }

    void start() {
        thread_ = std::thread([this] { run(); });
    }

    // The click sounds at `t`; false when the sound already written reaches past `t`.
    bool clickAt(Nanos t) {
        std::unique_lock lock(mutex_);
        target_ = t;
        placed_.reset();
        lock.unlock();
        // Placed by the writing thread a write or two before it sounds.
        while (now() < t + 100'000'000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            lock.lock();
            if (placed_) return *placed_;
            lock.unlock();
        }
        return false;
    }

  private:
    void run() {
        std::vector<float> chunk(kChunk);
        while (running_) {
            std::fill(chunk.begin(), chunk.end(), 0.0f);
            {
                std::lock_guard lock(mutex_);
                if (target_) {
                    int error = 0;
                    // The last sample written so far sounds after the latency; this chunk's
                    // first sample right after it.
                    const Nanos latency = Nanos(pa_simple_get_latency(stream_, &error)) * 1000;
                    const Nanos first = now() + latency;
                    const Nanos offset = (*target_ - first) * kRate / 1'000'000'000;
                    if (offset < 0) {
                        placed_ = false;
                        target_.reset();
                    } else if (offset < kChunk) {
                        clickPos_ = -int(offset);
                        placed_ = true;
                        target_.reset();
                    }
                }
                for (int i = 0; i < kChunk && clickPos_ < kClickFrames; ++i, ++clickPos_) {
                    if (clickPos_ < 0) continue;
                    chunk[std::size_t(i)] =
                        0.8f *
                        float(std::sin(2 * std::numbers::pi * 2000 * clickPos_ / double(kRate)));
                }
            }
            int error = 0;
            if (pa_simple_write(stream_, chunk.data(), chunk.size() * sizeof(float), &error) < 0) {
                std::fprintf(stderr, "flash_click: %s\n", pa_strerror(error));
                return;
            }
        }
    }

    pa_simple* stream_ = nullptr;
    std::thread thread_;
    std::atomic<bool> running_{true};
    std::mutex mutex_;
    std::optional<Nanos> target_;
    std::optional<bool> placed_;
    int clickPos_ = kClickFrames;  // none sounding
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: flash_click X Y SIZE\n");
        return 2;
    }
    const int x = std::atoi(argv[1]), y = std::atoi(argv[2]);
    const unsigned size = unsigned(std::atoi(argv[3]));
    setvbuf(stdout, nullptr, _IOLBF, 0);

    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "flash_click: no X display\n");
        return 1;
    }
    const int screen = DefaultScreen(display);
    const Window root = RootWindow(display, screen);
    XSetWindowAttributes attributes{};
    // Above everything, without a frame, where it is asked to be.
    attributes.override_redirect = True;
    attributes.background_pixel = BlackPixel(display, screen);
    attributes.event_mask = ExposureMask;
    const Window square =
        XCreateWindow(display, root, x, y, size, size, 0, CopyFromParent, InputOutput,
                      CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask, &attributes);
    XMapRaised(display, square);
    for (XEvent event;;) {
        XNextEvent(display, &event);
        if (event.type == Expose) break;
    }
    const GC gc = XCreateGC(display, square, 0, nullptr);
    auto paint = [&](unsigned long pixel) {
        XSetForeground(display, gc, pixel);
        XFillRectangle(display, square, gc, 0, 0, size, size);
        XSync(display, False);
    };
    paint(BlackPixel(display, screen));
    XWarpPointer(display, None, root, 0, 0, 0, 0, int(x + size + 40), int(y + size + 40));
    XSync(display, False);

    Speaker speaker;
    if (!speaker.open()) return 1;
    speaker.start();
    std::printf("ready\n");

    for (std::string line; std::getline(std::cin, line);) {
        if (line.rfind("flash ", 0) == 0) {
            const Nanos t = std::strtoll(line.c_str() + 6, nullptr, 10);
            if (!speaker.clickAt(t)) {
                std::printf("late\n");
                continue;
            }
            sleepUntil(t);
            paint(WhitePixel(display, screen));
            std::printf("flashed %lld\n", static_cast<long long>(now()));
        } else if (line == "dark") {
            paint(BlackPixel(display, screen));
            std::printf("ok\n");
        }
    }
    XFreeGC(display, gc);
    XCloseDisplay(display);
    return 0;
}
