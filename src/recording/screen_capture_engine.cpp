#include "recording/screen_capture_engine.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/debug_log.h"
#include "core/queue.h"
#include "core/recycler.h"
#include "platform/desktop/pulse_capture.h"
#include "platform/desktop/x11_capture.h"
#include "recording/capture_pixels.h"
#include "recording/wayland_capture.h"

namespace marlune {

namespace {

// Picture memory for frames that had to be scaled.
struct FrameBuffer {
    std::size_t size = 0;
    std::uint8_t* data = nullptr;
    explicit FrameBuffer(std::size_t bytes)
        : size(bytes),
          data(static_cast<std::uint8_t*>(std::aligned_alloc(64, (bytes + 63) / 64 * 64))) {}
    ~FrameBuffer() { std::free(data); }
    FrameBuffer(const FrameBuffer&) = delete;
    FrameBuffer& operator=(const FrameBuffer&) = delete;
};

}  // namespace

namespace {

// Opens and starts the system audio, delivered to `delegate` on `audioQueue`.
Result<std::unique_ptr<pulse::AudioCapture>> startSystemAudio(
    const std::weak_ptr<ScreenCaptureEngineDelegate>& delegate,
    const std::shared_ptr<Queue>& audioQueue) {
    auto opened = pulse::AudioCapture::open(
        pulse::AudioSource::systemAudio, audioQueue,
        [weak = delegate](AudioBuffer buffer) {
            if (auto d = weak.lock()) d->didOutputSystemAudio(std::move(buffer));
        },
        [weak = delegate](Error error) {
            // The picture goes on: a recording without the rest of its sound is worth more
            // than none.
            systemLog("Marlune: system audio stopped while recording: " + error.message);
            if (auto d = weak.lock()) d->didLoseSystemAudio(std::move(error));
        });
    if (!opened) {
        using Kind = pulse::CaptureFailure::Kind;
        switch (opened.error().kind) {
            case Kind::noServer:
                return fail("System audio cannot be recorded: no sound server is running.");
            case Kind::noDevice:
                return fail("System audio cannot be recorded: there is no sound output.");
            case Kind::failed:
                return fail("System audio cannot be recorded: " + opened.error().message);
        }
    }
    // A stream started just now: the first picture is taken once its sound flows, so that
    // the track has sound from its start.
    if (auto started = (*opened)->start(std::chrono::milliseconds(500)); !started) {
        return fail("System audio cannot be recorded: " + started.error().message);
    }
    return std::move(*opened);
}

}  // namespace

// The system audio started ahead of a stream. The video queue's own.
struct ScreenCaptureEngine::PreparedAudio {
    std::unique_ptr<pulse::AudioCapture> audio;
};

struct ScreenCaptureEngine::Stream {
    CaptureFilter filter;
    CaptureConfiguration config;
    std::weak_ptr<ScreenCaptureEngineDelegate> delegate;

    std::mutex mutex;
    std::condition_variable wake;
    bool stopRequested = false;  // under mutex

    std::atomic<bool> running{false};
    std::atomic<std::uint64_t> delivered{0};
    std::atomic<std::uint64_t> late{0};
    std::atomic<std::uint64_t> dropped{0};

    // The capture thread's own.
    std::unique_ptr<x11::ScreenGrabber> grabber;
    std::unique_ptr<pulse::AudioCapture> audio;
    std::shared_ptr<Recycler<FrameBuffer>> outputs;
    FrameScaler scaler;
    // A portal stream: whether a picture made since the start came, and until when to wait.
    bool portalFresh = false;
    HostTime portalFreshBy = 0;

    void requestStop() {
        {
            std::lock_guard lock(mutex);
            stopRequested = true;
        }
        wake.notify_all();
    }

    // Sleeps until `t` on the host clock; false when a stop came first.
    bool sleepUntil(HostTime t) {
        // The steady clock is CLOCK_MONOTONIC, the host clock.
        std::chrono::steady_clock::time_point when{std::chrono::nanoseconds(t)};
        std::unique_lock lock(mutex);
        return !wake.wait_until(lock, when, [this] { return stopRequested; });
    }

    // Makes every picture of the pool before the first frame's time. A new shared-memory
    // segment takes tens of milliseconds (made and attached, then written through by the server
    // for the first time): made on demand, each of the first frames would come late and be lost.
    void fillPool() {
        grabber->update();
        std::vector<x11::GrabbedPicture> held;
        const PixelRect whole{0, 0, grabber->sourceWidth(), grabber->sourceHeight()};
        for (int i = 0; i < config.queueDepth; ++i) {
            auto picture = grabber->grab(whole);
            if (!picture) break;
            held.push_back(std::move(*picture));
        }
        // Letting go of them returns them to the pool.
    }

    bool stopping() {
        std::lock_guard lock(mutex);
        return stopRequested;
    }

    void endOnItsOwn(Error error) {
        if (stopping()) return;
        if (auto d = delegate.lock()) d->didStopWithError(std::move(error));
    }

    // Runs on the video queue until a stop or the source's end.
    void run() {
        const double period = 1e9 / config.fps;
        const HostTime t0 = hostTimeNow();
        auto slotStart = [&](std::int64_t k) { return t0 + std::llround(k * period); };
        for (std::int64_t k = 0;;) {
            if (!sleepUntil(slotStart(k))) return;
            const HostTime now = hostTimeNow();
            if (now >= slotStart(k + 1)) {
                // Woken after the slot was over (the thread was held up): those slots are lost.
                std::int64_t behind = static_cast<std::int64_t>((now - t0) / period) - k;
                behind = std::max<std::int64_t>(1, behind);
                late += static_cast<std::uint64_t>(behind);
                k += behind;
                continue;
            }
            if (!captureOne(slotStart(k + 1))) return;
            ++k;
        }
    }

    // Takes, touches up and delivers one frame for a slot ending at `slotEnd`; false when the
    // source has gone.
    bool captureOne(HostTime slotEnd) {
        if (filter.portal) return capturePortal(slotEnd);
        grabber->update();
        if (grabber->sourceGone()) {
            endOnItsOwn(Error{"The recorded window was closed."});
            return false;
        }
        const int width = config.width;
        const int height = config.height;
        const int sourceWidth = grabber->sourceWidth();
        const int sourceHeight = grabber->sourceHeight();
        // A source at the frame size, or one pixel over it (sizes are rounded down to even), is
        // taken as it is; any other is scaled into the frame.
        const bool direct = (sourceWidth == width || sourceWidth == width + 1) &&
                            (sourceHeight == height || sourceHeight == height + 1);
        const PixelRect area =
            direct ? PixelRect{0, 0, width, height} : PixelRect{0, 0, sourceWidth, sourceHeight};
        x11::ScreenGrabber::Failure failure{};
        const HostTime before = hostTimeNow();
        auto picture = grabber->grab(area, &failure);
        const HostTime after = hostTimeNow();
        if (!picture) {
            if (failure == x11::ScreenGrabber::Failure::sourceGone) {
                endOnItsOwn(Error{"The recorded window was closed."});
                return false;
            }
            ++dropped;
            return true;
        }
        if (filter.kind == CaptureFilter::Kind::display && filter.excludedProcessID) {
            grabber->leaveOutProcess(*filter.excludedProcessID, *picture);
        }
        PixelsRef pixels{picture->pixels.get(), picture->width, picture->height, picture->stride};
        if (config.showsCursor) {
            if (auto sprite = grabber->cursor())
                drawOver(pixels, sprite->image, sprite->x, sprite->y);
        }

        VideoFrame frame;
        frame.width = width;
        frame.height = height;
        // The server copied the pixels between the request and its reply.
        frame.pts = before + (after - before) / 2;
        if (direct) {
            frame.stride = picture->stride;
            frame.pixels = std::move(picture->pixels);
        } else {
            auto out = fitted(PixelsView{pixels.data, sourceWidth, sourceHeight, pixels.stride},
                              width, height, false);
            if (!out) {
                ++dropped;
                return true;
            }
            frame.stride = width * 4;
            frame.pixels = std::shared_ptr<std::uint8_t>(out, out->data);
        }
        if (hostTimeNow() > slotEnd) {
            ++late;
            return true;
        }
        if (auto d = delegate.lock()) d->didOutputVideo(std::move(frame));
        ++delivered;
        return true;
    }

    // Where a source of `sourceWidth` × `sourceHeight` goes in a frame: all of it, except that a
    // window keeps its shape whatever size it has taken since.
    PixelRect fitFor(int sourceWidth, int sourceHeight, int width, int height) const {
        return filter.kind == CaptureFilter::Kind::window
                   ? fitInside(sourceWidth, sourceHeight, width, height)
                   : PixelRect{0, 0, width, height};
    }

    // A picture of the pool holding `source` fitted into `width` × `height` (black around a
    // window that no longer fills it); `copy` when the source already has the frame's size
    // (give or take the odd pixel). Nothing when the pool is spent.
    std::shared_ptr<FrameBuffer> fitted(const PixelsView& source, int width, int height,
                                        bool copy) {
        const int stride = width * 4;
        const std::size_t bytes = std::size_t(stride) * height;
        auto out = outputs->take([bytes](const FrameBuffer& b) { return b.size == bytes; },
                                 [bytes] {
                                     auto b = std::make_unique<FrameBuffer>(bytes);
                                     return b->data ? std::move(b) : nullptr;
                                 });
        if (!out) return nullptr;
        if (copy) {
            for (int y = 0; y < height; ++y) {
                std::memcpy(out->data + std::size_t(y) * stride,
                            source.data + std::size_t(y) * source.stride, std::size_t(stride));
            }
            return out;
        }
        const PixelRect fit = fitFor(source.width, source.height, width, height);
        if (fit != PixelRect{0, 0, width, height}) {
            fillRect(PixelsRef{out->data, width, height, stride}, {0, 0, width, height},
                     kOpaqueBlack);
        }
        scaler.scale(source,
                     PixelsRef{out->data + std::size_t(fit.y) * stride + std::size_t(fit.x) * 4,
                               fit.width, fit.height, stride});
        return out;
    }

    // A portal stream's slot: the newest picture the compositor sent, which is the previous one
    // again when nothing was redrawn (compositors send pictures only on damage). The app's own
    // windows cannot be left out of a portal stream.
    bool capturePortal(HostTime slotEnd) {
        WaylandCapture& capture = *filter.portal;
        if (auto ended = capture.endedWith()) {
            endOnItsOwn(filter.kind == CaptureFilter::Kind::window
                            ? Error{"The recorded window was closed."}
                            : std::move(*ended));
            return false;
        }
        // The first frame waits (a little) for a picture made since the start: the one before
        // may still show the countdown that was hidden just then.
        if (!portalFresh) {
            portalFresh = capture.pictureSinceMark() || hostTimeNow() > portalFreshBy;
            if (!portalFresh) return true;
        }
        const PortalPicture picture = capture.latest();
        if (!picture.pixels) {
            ++dropped;
            return true;
        }
        const int width = config.width;
        const int height = config.height;
        // An area of a display is a part of every picture, taken where it lies without a copy.
        PixelRect part{0, 0, picture.width, picture.height};
        if (filter.kind == CaptureFilter::Kind::display) {
            part = capture.recordedPart().intersected(part);
            if (part.empty()) {
                ++dropped;
                return true;
            }
        }
        const std::size_t offset = std::size_t(part.y) * picture.stride + std::size_t(part.x) * 4;
        const bool direct = (part.width == width || part.width == width + 1) &&
                            (part.height == height || part.height == height + 1);
        // With its cursor in the metadata, a stream's pictures have none: it is drawn on a copy.
        const bool drawsCursor = config.showsCursor && capture.hasCursorMetadata();
        VideoFrame frame;
        frame.width = width;
        frame.height = height;
        frame.pts = hostTimeNow();
        if (direct && !drawsCursor) {
            frame.stride = picture.stride;
            frame.pixels =
                std::shared_ptr<std::uint8_t>(picture.pixels, picture.pixels.get() + offset);
        } else {
            const PixelsView source{picture.pixels.get() + offset, part.width, part.height,
                                    picture.stride};
            auto out = fitted(source, width, height, direct);
            if (!out) {
                ++dropped;
                return true;
            }
            const int stride = width * 4;
            PixelsRef target{out->data, width, height, stride};
            const PixelRect fit = fitFor(part.width, part.height, width, height);
            if (drawsCursor) {
                const PortalPointer p = capture.pointer();
                const WaylandCapture::Sprite sprite = capture.sprite();
                if (p.visible && !sprite.image.pixels.empty()) {
                    const double sx = double(fit.width) / part.width;
                    const double sy = double(fit.height) / part.height;
                    drawOver(target, sprite.image,
                             fit.x + static_cast<int>((p.x - part.x) * sx) - sprite.hotspotX,
                             fit.y + static_cast<int>((p.y - part.y) * sy) - sprite.hotspotY);
                }
            }
            frame.stride = stride;
            frame.pixels = std::shared_ptr<std::uint8_t>(out, out->data);
        }
        if (hostTimeNow() > slotEnd) {
            ++late;
            return true;
        }
        if (auto d = delegate.lock()) d->didOutputVideo(std::move(frame));
        ++delivered;
        return true;
    }
};

namespace {

// Gives a stream that records the system audio the one started ahead, or starts it now. The
// audio started ahead is let go either way.
std::optional<Error> takeAudio(ScreenCaptureEngine::Stream& s,
                               ScreenCaptureEngine::PreparedAudio& prepared,
                               const std::shared_ptr<Queue>& audioQueue) {
    auto ahead = std::move(prepared.audio);
    if (!s.config.capturesAudio) return std::nullopt;
    if (ahead && ahead->isRunning()) {
        s.audio = std::move(ahead);
        return std::nullopt;
    }
    auto audio = startSystemAudio(s.delegate, audioQueue);
    if (!audio) return audio.error();
    s.audio = std::move(*audio);
    return std::nullopt;
}

}  // namespace

ScreenCaptureEngine::ScreenCaptureEngine()
    : videoQueue_(Queue::makeSerial(".capture.video")),
      audioQueue_(Queue::makeSerial(".capture.audio")),
      prepared_(std::make_shared<PreparedAudio>()) {}

ScreenCaptureEngine::~ScreenCaptureEngine() {
    if (!stream_) return;
    stream_->requestStop();
    // The queue's thread finishes the loop before the queue goes.
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    videoQueue_->post([&] {
        std::lock_guard lock(m);
        done = true;
        cv.notify_all();
    });
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return done; });
}

void ScreenCaptureEngine::start(const CaptureFilter& filter,
                                const CaptureConfiguration& configuration,
                                std::function<void(std::optional<Error>)> completion) {
    MARLUNE_ASSERT_ON(Queue::main());
    if (stream_) stop(nullptr);
    auto s = std::make_shared<Stream>();
    s->filter = filter;
    s->config = configuration;
    s->config.fps = configuration.fps > 0 ? configuration.fps : 30;
    s->config.queueDepth = std::max(1, configuration.queueDepth);
    s->delegate = delegate;
    s->outputs = Recycler<FrameBuffer>::make(static_cast<std::size_t>(s->config.queueDepth));
    stream_ = s;
    last_ = s;
    videoQueue_->post(
        [s, audioQueue = audioQueue_, prepared = prepared_, completion = std::move(completion)] {
            if (s->config.width < 2 || s->config.height < 2) {
                return completion(Error{"Capture size is too small."});
            }
            if (s->filter.portal) return runPortal(s, audioQueue, prepared, std::move(completion));
            auto grabber =
                s->filter.kind == CaptureFilter::Kind::display
                    ? x11::ScreenGrabber::forScreenRegion(s->filter.source, s->config.queueDepth)
                    : x11::ScreenGrabber::forWindow(s->filter.id, s->config.queueDepth);
            if (!grabber) return completion(grabber.error());
            s->grabber = std::move(*grabber);
            s->fillPool();
            if (auto failed = takeAudio(*s, *prepared, audioQueue)) {
                s->grabber.reset();
                return completion(std::move(*failed));
            }
            s->running = true;
            completion(std::nullopt);
            s->run();
            s->running = false;
            // No buffer is delivered once the capture is gone.
            s->audio.reset();
            // Pictures still held downstream keep their memory; the connection goes now.
            s->grabber.reset();
        });
}

void ScreenCaptureEngine::prepareSystemAudio() {
    MARLUNE_ASSERT_ON(Queue::main());
    videoQueue_->post([prepared = prepared_, weak = delegate, audioQueue = audioQueue_] {
        if (prepared->audio && prepared->audio->isRunning()) return;
        prepared->audio.reset();
        // A failure is reported by the start, which tries again.
        if (auto audio = startSystemAudio(weak, audioQueue)) prepared->audio = std::move(*audio);
    });
}

void ScreenCaptureEngine::runPortal(const std::shared_ptr<Stream>& s,
                                    const std::shared_ptr<Queue>& audioQueue,
                                    const std::shared_ptr<PreparedAudio>& prepared,
                                    std::function<void(std::optional<Error>)> completion) {
    // The stream was granted and has streamed since the plan was made; it ends with this run.
    auto finish = [s] {
        s->filter.portal->end();
        if (WaylandCapture::recording() == s->filter.portal) WaylandCapture::setRecording(nullptr);
        s->filter.portal.reset();
    };
    if (auto failed = takeAudio(*s, *prepared, audioQueue)) {
        finish();
        return completion(std::move(*failed));
    }
    // A display's source is in the desktop's pixels, the stream's origin at its place there.
    if (s->filter.kind == CaptureFilter::Kind::display) {
        const PixelRect at = s->filter.portal->area();
        const PixelRect& source = s->filter.source;
        s->filter.portal->setRecordedPart(
            PixelRect{source.x - at.x, source.y - at.y, source.width, source.height});
    }
    s->filter.portal->mark();
    s->portalFreshBy = hostTimeNow() + 2'000'000'000;
    WaylandCapture::setRecording(s->filter.portal);
    s->running = true;
    completion(std::nullopt);
    s->run();
    s->running = false;
    s->audio.reset();
    finish();
}

void ScreenCaptureEngine::stop(std::function<void()> completion) {
    MARLUNE_ASSERT_ON(Queue::main());
    videoQueue_->post([prepared = prepared_] { prepared->audio.reset(); });
    auto s = std::move(stream_);
    if (!s) {
        if (completion) completion();
        return;
    }
    s->requestStop();
    // Runs once the capture loop, an earlier task on the same queue, has returned.
    videoQueue_->post([s, completion = std::move(completion)] {
        if (completion) completion();
    });
}

bool ScreenCaptureEngine::isRunning() const {
    return stream_ && stream_->running;
}

CaptureStatistics ScreenCaptureEngine::statistics() const {
    CaptureStatistics out;
    if (!last_) return out;
    out.framesDelivered = last_->delivered;
    out.framesLate = last_->late;
    out.framesDropped = last_->dropped;
    return out;
}

}  // namespace marlune
