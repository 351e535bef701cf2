#include "platform/desktop/pulse_capture.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

#include "core/queue.h"

namespace marlune::pulse {

namespace {

constexpr int kRate = 48000;
constexpr int kChannels = 2;
// Reads of about 10 ms: short enough that a buffer's time is never far from its capture, long
// enough that the reading thread wakes only a hundred times a second.
constexpr std::uint32_t kFragmentBytes = kRate / 100 * kChannels * sizeof(float);
// A measured time this close to where the previous buffer ended continues it; farther away (an
// overrun, a stall) the buffer starts a new run at its measured time. Measurements scatter by a
// few milliseconds (more on a loaded machine); within the tolerance the run is steered toward
// them by a small fraction of the difference, so that a device clock running slightly fast or
// slow never builds up an offset.
constexpr HostTime kContinuityTolerance = 20'000'000;
// A measurement later than where the run ends by up to this much is the reading thread woken
// late, or the server settling its timing, not sound lost (an overrun is reported as such): the
// run goes on, steered toward it. A run restarted at every such measurement left gaps of
// silence in the track.
constexpr HostTime kForwardLimit = 120'000'000;
constexpr HostTime kSteeringDivisor = 32;
// A measurement this far before where the run ends restarts it all the same.
constexpr HostTime kBackwardLimit = 200'000'000;

std::string contextError(pa_context* ctx) {
    return pa_strerror(pa_context_errno(ctx));
}

// The receiver side shared with the work posted to the delivery queue, so that posted buffers
// can be discarded once the capture is stopped or gone.
struct Delivery {
    // Recursive: the capture may be stopped or destroyed from inside a handler's own queue.
    std::recursive_mutex mutex;
    bool open = true;
    std::uint64_t generation = 0;  // bumped by every stop: older buffers are stale
    AudioCapture::BufferHandler onBuffer;
    AudioCapture::EndHandler onEnded;
};

}  // namespace

struct AudioCapture::Impl {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    std::shared_ptr<Queue> queue;
    std::shared_ptr<Delivery> delivery = std::make_shared<Delivery>();
    std::string device;
    std::atomic<bool> running{false};

    // Reading thread only (the loop's lock held).
    bool closing = false;
    bool endReported = false;
    std::uint64_t generation = 0;  // copy of the delivery generation current when started
    HostTime startedAt = 0;        // sound recorded before this is stale
    bool anchored = false;
    HostTime anchorPts = 0;
    std::int64_t framesSinceAnchor = 0;
    bool heard = false;  // sound has been read since the start

    ~Impl() { close(); }

    void close() {
        if (!loop) return;
        {
            std::lock_guard guard(delivery->mutex);
            // The handlers themselves stay: one may be running this very call.
            delivery->open = false;
        }
        pa_threaded_mainloop_lock(loop);
        closing = true;
        if (stream) {
            pa_stream_set_read_callback(stream, nullptr, nullptr);
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
            stream = nullptr;
        }
        if (context) {
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
            pa_context_unref(context);
            context = nullptr;
        }
        pa_threaded_mainloop_unlock(loop);
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
        loop = nullptr;
    }

    // Waits (the loop's lock held) until `op` has run its callback.
    void wait(pa_operation* op) {
        if (!op) return;
        while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop);
        pa_operation_unref(op);
    }

    void reportEnd(std::string why) {
        if (closing || endReported) return;
        endReported = true;
        running = false;
        std::weak_ptr<Delivery> weak = delivery;
        queue->post([weak, why = std::move(why)] {
            auto d = weak.lock();
            if (!d) return;
            std::lock_guard guard(d->mutex);
            if (d->open && d->onEnded) d->onEnded(Error{why});
        });
    }

    static void onContextState(pa_context* ctx, void* data) {
        auto* self = static_cast<Impl*>(data);
        pa_context_state_t st = pa_context_get_state(ctx);
        if (st == PA_CONTEXT_FAILED || st == PA_CONTEXT_TERMINATED) {
            if (self->stream) self->reportEnd("The sound server went away: " + contextError(ctx));
        }
        pa_threaded_mainloop_signal(self->loop, 0);
    }

    static void onStreamState(pa_stream* s, void* data) {
        auto* self = static_cast<Impl*>(data);
        pa_stream_state_t st = pa_stream_get_state(s);
        if (st == PA_STREAM_FAILED || st == PA_STREAM_TERMINATED) {
            self->reportEnd("The audio device " + self->device +
                            " stopped: " + contextError(pa_stream_get_context(s)));
        }
        pa_threaded_mainloop_signal(self->loop, 0);
    }

    static void onSuspended(pa_stream*, void* data) {
        // A suspended device restarts its clock: the next buffer starts a new run.
        static_cast<Impl*>(data)->anchored = false;
    }

    static void onOverflow(pa_stream*, void* data) { static_cast<Impl*>(data)->anchored = false; }

    static void onRead(pa_stream* s, size_t, void* data) { static_cast<Impl*>(data)->read(s); }

    // Reading thread, loop lock held. Everything readable now goes out in capture order.
    void read(pa_stream* s) {
        const HostTime now = hostTimeNow();
        // For a record stream the latency is the age of the oldest sample not yet read: the
        // source's own latency plus what waits in the stream's buffer.
        pa_usec_t latencyUs = 0;
        int negative = 0;
        std::optional<HostTime> measured;
        if (pa_stream_get_latency(s, &latencyUs, &negative) == 0) {
            const HostTime latency = static_cast<HostTime>(latencyUs) * 1000;
            measured = negative ? now + latency : now - latency;
        }
        std::int64_t framesRead = 0;
        while (pa_stream_readable_size(s) > 0) {
            const void* bytes = nullptr;
            size_t length = 0;
            if (pa_stream_peek(s, &bytes, &length) < 0 || length == 0) break;
            const std::int64_t frames =
                static_cast<std::int64_t>(length / (sizeof(float) * kChannels));
            HostTime at = measured ? *measured + framesRead * 1'000'000'000 / kRate
                                   : now - frames * 1'000'000'000 / kRate;
            // Sound from before the start (still in the server's buffers) is not delivered.
            std::int64_t skip = 0;
            if (at < startedAt) skip = std::min(frames, (startedAt - at) * kRate / 1'000'000'000);
            if (frames > skip && running) {
                AudioBuffer buffer;
                buffer.sampleRate = kRate;
                buffer.channels = kChannels;
                buffer.samples.resize(static_cast<size_t>(frames - skip) * kChannels);
                // A hole (nothing recorded for a stretch) arrives as silence of its length, so
                // that later sound keeps its place.
                if (bytes) {
                    std::memcpy(buffer.samples.data(),
                                static_cast<const float*>(bytes) + skip * kChannels,
                                buffer.samples.size() * sizeof(float));
                }
                buffer.pts = place(at + skip * 1'000'000'000 / kRate, frames - skip);
                deliver(std::move(buffer));
            }
            framesRead += frames;
            pa_stream_drop(s);
        }
        if (framesRead > 0 && running && !heard) {
            heard = true;
            pa_threaded_mainloop_signal(loop, 0);
        }
    }

    // The time given to a buffer measured at `at`: where the run of buffers before it ends,
    // unless that is too far from the measurement.
    HostTime place(HostTime at, std::int64_t frames) {
        if (anchored) {
            HostTime expected = anchorPts + framesSinceAnchor * 1'000'000'000 / kRate;
            const HostTime error = at - expected;
            // Sound cannot have been recorded before the sound ahead of it ended: a measurement
            // that says so is late noise, not a new run, unless it is far off (a clock reset).
            if (error <= kForwardLimit && error >= -kBackwardLimit) {
                const HostTime steer =
                    std::clamp(error, -kContinuityTolerance, kContinuityTolerance) /
                    kSteeringDivisor;
                anchorPts += steer;
                framesSinceAnchor += frames;
                return expected + steer;
            }
        }
        anchored = true;
        anchorPts = at;
        framesSinceAnchor = frames;
        return at;
    }

    void deliver(AudioBuffer buffer) {
        std::weak_ptr<Delivery> weak = delivery;
        queue->post([weak, gen = generation, buffer = std::move(buffer)]() mutable {
            auto d = weak.lock();
            if (!d) return;
            std::lock_guard guard(d->mutex);
            if (d->open && d->generation == gen && d->onBuffer) d->onBuffer(std::move(buffer));
        });
    }

    // Loop lock held.
    bool cork(bool on) {
        if (!stream) return false;
        bool ok = false;
        struct Ctx {
            Impl* self;
            bool* ok;
        } c{this, &ok};
        wait(pa_stream_cork(
            stream, on ? 1 : 0,
            [](pa_stream*, int success, void* data) {
                auto* c = static_cast<Ctx*>(data);
                *c->ok = success != 0;
                pa_threaded_mainloop_signal(c->self->loop, 0);
            },
            &c));
        auto signal = [](pa_stream*, int, void* data) {
            pa_threaded_mainloop_signal(static_cast<Ctx*>(data)->self->loop, 0);
        };
        // What waits in the stream's buffer is stale either way; after a start, the latency
        // measurements must describe the running stream, not the stopped one.
        wait(pa_stream_flush(stream, signal, &c));
        if (!on) wait(pa_stream_update_timing_info(stream, signal, &c));
        return ok;
    }
};

namespace {

struct DeviceQuery {
    pa_threaded_mainloop* loop = nullptr;
    std::string defaultSink;
    std::string defaultSource;
    bool found = false;
    bool isMonitor = false;
    std::string monitorSource;
};

}  // namespace

std::expected<std::unique_ptr<AudioCapture>, CaptureFailure> AudioCapture::open(
    AudioSource source, std::shared_ptr<Queue> deliverOn, BufferHandler onBuffer,
    EndHandler onEnded, const std::string& preferredInput) {
    using Kind = CaptureFailure::Kind;
    auto impl = std::make_unique<Impl>();
    impl->queue = std::move(deliverOn);
    impl->delivery->onBuffer = std::move(onBuffer);
    impl->delivery->onEnded = std::move(onEnded);

    impl->loop = pa_threaded_mainloop_new();
    if (!impl->loop) return std::unexpected(CaptureFailure{Kind::failed, "Out of memory."});
    pa_threaded_mainloop_set_name(impl->loop, "marlune.pulse");
    impl->context = pa_context_new(pa_threaded_mainloop_get_api(impl->loop), "Marlune Studio");
    if (!impl->context) return std::unexpected(CaptureFailure{Kind::failed, "Out of memory."});
    pa_context_set_state_callback(impl->context, &Impl::onContextState, impl.get());

    if (pa_threaded_mainloop_start(impl->loop) < 0) {
        return std::unexpected(CaptureFailure{Kind::failed, "Cannot start the audio thread."});
    }
    pa_threaded_mainloop_lock(impl->loop);
    // The loop's lock is held from here to the end, on every return.
    struct Unlock {
        pa_threaded_mainloop* loop;
        ~Unlock() { pa_threaded_mainloop_unlock(loop); }
    } unlock{impl->loop};

    // Never spawn a sound server: when none runs there is nothing to record.
    if (pa_context_connect(impl->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return std::unexpected(CaptureFailure{Kind::noServer, contextError(impl->context)});
    }
    for (;;) {
        pa_context_state_t st = pa_context_get_state(impl->context);
        if (st == PA_CONTEXT_READY) break;
        if (!PA_CONTEXT_IS_GOOD(st)) {
            return std::unexpected(CaptureFailure{Kind::noServer, contextError(impl->context)});
        }
        pa_threaded_mainloop_wait(impl->loop);
    }

    DeviceQuery q;
    q.loop = impl->loop;
    impl->wait(pa_context_get_server_info(
        impl->context,
        [](pa_context*, const pa_server_info* info, void* data) {
            auto* q = static_cast<DeviceQuery*>(data);
            if (info && info->default_sink_name) q->defaultSink = info->default_sink_name;
            if (info && info->default_source_name) q->defaultSource = info->default_source_name;
            pa_threaded_mainloop_signal(q->loop, 0);
        },
        &q));

    if (source == AudioSource::microphone) {
        // Whether the source `name` is there, and what it is (q.found, q.isMonitor).
        const auto lookUp = [&](const std::string& name) {
            q.found = q.isMonitor = false;
            impl->wait(pa_context_get_source_info_by_name(
                impl->context, name.c_str(),
                [](pa_context*, const pa_source_info* info, int eol, void* data) {
                    auto* q = static_cast<DeviceQuery*>(data);
                    if (eol == 0 && info) {
                        q->found = true;
                        q->isMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
                    }
                    pa_threaded_mainloop_signal(q->loop, 0);
                },
                &q));
        };
        // The input the person chose, while it is there and is one; else the default.
        std::string wanted = q.defaultSource;
        if (!preferredInput.empty() && preferredInput != q.defaultSource) {
            lookUp(preferredInput);
            if (q.found && !q.isMonitor) wanted = preferredInput;
        }
        if (!wanted.empty()) lookUp(wanted);
        // A server without an input falls back to a sink's monitor as its default source:
        // recording that would pass the computer's own sound off as the microphone.
        if (!q.found || q.isMonitor) {
            return std::unexpected(
                CaptureFailure{Kind::noDevice, "The sound server has no input device."});
        }
        impl->device = wanted;
    } else {
        if (!q.defaultSink.empty()) {
            impl->wait(pa_context_get_sink_info_by_name(
                impl->context, q.defaultSink.c_str(),
                [](pa_context*, const pa_sink_info* info, int eol, void* data) {
                    auto* q = static_cast<DeviceQuery*>(data);
                    if (eol == 0 && info) {
                        q->found = true;
                        if (info->monitor_source_name) q->monitorSource = info->monitor_source_name;
                    }
                    pa_threaded_mainloop_signal(q->loop, 0);
                },
                &q));
        }
        if (!q.found || q.monitorSource.empty()) {
            return std::unexpected(
                CaptureFailure{Kind::noDevice, "The sound server has no output device."});
        }
        impl->device = q.monitorSource;
    }

    pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, kRate, kChannels};
    pa_channel_map map;
    pa_channel_map_init_stereo(&map);
    const char* name = source == AudioSource::microphone ? "Microphone" : "System audio";
    impl->stream = pa_stream_new(impl->context, name, &spec, &map);
    if (!impl->stream) {
        return std::unexpected(CaptureFailure{Kind::failed, contextError(impl->context)});
    }
    pa_stream_set_state_callback(impl->stream, &Impl::onStreamState, impl.get());
    pa_stream_set_read_callback(impl->stream, &Impl::onRead, impl.get());
    pa_stream_set_suspended_callback(impl->stream, &Impl::onSuspended, impl.get());
    pa_stream_set_overflow_callback(impl->stream, &Impl::onOverflow, impl.get());

    pa_buffer_attr attr;
    std::memset(&attr, 0xff, sizeof attr);  // (uint32_t)-1: the server's choice
    attr.fragsize = kFragmentBytes;
    // Started corked; pinned to the device found above (DONT_MOVE: if it goes away the stream
    // ends instead of silently recording something else).
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
        PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(impl->stream, impl->device.c_str(), &attr, flags) < 0) {
        return std::unexpected(CaptureFailure{Kind::failed, contextError(impl->context)});
    }
    for (;;) {
        pa_stream_state_t st = pa_stream_get_state(impl->stream);
        if (st == PA_STREAM_READY) break;
        if (!PA_STREAM_IS_GOOD(st)) {
            return std::unexpected(CaptureFailure{Kind::failed, contextError(impl->context)});
        }
        pa_threaded_mainloop_wait(impl->loop);
    }
    return std::unique_ptr<AudioCapture>(new AudioCapture(std::move(impl)));
}

AudioCapture::AudioCapture(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

AudioCapture::~AudioCapture() = default;

Result<void> AudioCapture::start(std::chrono::milliseconds waitForSound) {
    Impl& d = *impl_;
    pa_threaded_mainloop_lock(d.loop);
    struct Unlock {
        pa_threaded_mainloop* loop;
        ~Unlock() { pa_threaded_mainloop_unlock(loop); }
    } unlock{d.loop};
    if (d.endReported || !d.stream || pa_stream_get_state(d.stream) != PA_STREAM_READY) {
        return fail("The audio device " + d.device + " is no longer available.");
    }
    if (d.running) return {};
    {
        std::lock_guard guard(d.delivery->mutex);
        d.generation = d.delivery->generation;
    }
    d.anchored = false;
    d.heard = false;
    d.startedAt = hostTimeNow();
    d.running = true;
    if (!d.cork(false)) {
        d.running = false;
        return fail("The audio device " + d.device + " did not start: " + contextError(d.context));
    }
    if (waitForSound.count() <= 0) return {};
    // Woken by the reading thread's first sound, by every other signal of the loop, and by a
    // timer of the loop's own at the time limit.
    const auto giveUp = std::chrono::steady_clock::now() + waitForSound;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(d.loop);
    timeval when{};
    pa_timeval_add(
        pa_gettimeofday(&when),
        static_cast<pa_usec_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(waitForSound).count()));
    pa_time_event* timer = api->time_new(
        api, &when,
        [](pa_mainloop_api*, pa_time_event*, const timeval*, void* loop) {
            pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
        },
        d.loop);
    while (!d.heard && d.running && std::chrono::steady_clock::now() < giveUp) {
        pa_threaded_mainloop_wait(d.loop);
    }
    if (timer) api->time_free(timer);
    return {};
}

void AudioCapture::stop() {
    Impl& d = *impl_;
    {
        std::lock_guard guard(d.delivery->mutex);
        ++d.delivery->generation;
    }
    pa_threaded_mainloop_lock(d.loop);
    if (d.running) {
        d.running = false;
        if (pa_stream_get_state(d.stream) == PA_STREAM_READY) d.cork(true);
    }
    pa_threaded_mainloop_unlock(d.loop);
}

bool AudioCapture::isRunning() const {
    return impl_->running;
}

const std::string& AudioCapture::deviceName() const {
    return impl_->device;
}

}  // namespace marlune::pulse
