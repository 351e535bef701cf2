#include "recording/wayland_capture.h"

#include <glib.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/debug_log.h"
#include "core/queue.h"
#include "core/recycler.h"
#include "platform/wayland/cursor_theme.h"
#include "platform/wayland/pipewire_stream.h"
#include "platform/wayland/portal_screen_cast.h"

namespace marlune {

namespace {

std::mutex gMutex;
PortalTokenStore gTokens;                    // under gMutex
std::shared_ptr<WaylandCapture> gRecording;  // under gMutex

std::string loadToken(const std::string& kind) {
    std::lock_guard lock(gMutex);
    return gTokens.load ? gTokens.load(kind) : std::string();
}

void saveToken(const std::string& kind, const std::string& token) {
    std::function<void(const std::string&, const std::string&)> save;
    {
        std::lock_guard lock(gMutex);
        save = gTokens.save;
    }
    if (save && !token.empty()) save(kind, token);
}

const char* kindName(WaylandCapture::Source source) {
    return source == WaylandCapture::Source::display ? "display" : "window";
}

// Picture memory, recycled: a fresh allocation of several megabytes per picture would be paid
// for in page faults every time.
struct PictureBuffer {
    std::size_t size = 0;
    std::uint8_t* data = nullptr;
    explicit PictureBuffer(std::size_t bytes)
        : size(bytes),
          data(static_cast<std::uint8_t*>(std::aligned_alloc(64, (bytes + 63) / 64 * 64))) {}
    ~PictureBuffer() { std::free(data); }
    PictureBuffer(const PictureBuffer&) = delete;
    PictureBuffer& operator=(const PictureBuffer&) = delete;
};

// Pictures that may be held at once: the engine's frames in flight (six) and the newest.
constexpr std::size_t kPictureBuffers = 9;

}  // namespace

CaptureBackend captureBackendFor(std::string_view sessionType, std::string_view waylandDisplay) {
    if (sessionType == "wayland") return CaptureBackend::portal;
    if (!waylandDisplay.empty() && sessionType != "x11") return CaptureBackend::portal;
    return CaptureBackend::x11;
}

CaptureBackend captureBackend() {
    static const CaptureBackend backend = [] {
        const char* type = std::getenv("XDG_SESSION_TYPE");
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        return captureBackendFor(type ? type : "", wayland ? wayland : "");
    }();
    return backend;
}

void setPortalTokenStore(PortalTokenStore store) {
    std::lock_guard lock(gMutex);
    gTokens = std::move(store);
}

bool hasPortalToken(const std::string& kind) {
    return !loadToken(kind).empty();
}

// Shared by the capture, the stream's callbacks (PipeWire's thread) and the main thread's portal.
struct WaylandCapture::State {
    mutable std::mutex mutex;
    std::condition_variable changed;
    PortalPicture latest;           // under mutex
    PortalPointer pointer;          // under mutex
    Sprite sprite;                  // under mutex
    std::optional<Error> ended;     // under mutex
    std::uint64_t pictures = 0;     // under mutex: the stream's pictures that had a size
    std::uint64_t waiting = 0;      // under mutex: the number of the stream's newest picture
    std::uint64_t copied = 0;       // under mutex: the number of the picture published last
    std::uint64_t published = 0;    // under mutex: pictures published
    std::optional<PixelRect> part;  // under mutex: the recorded part, when set
    std::int64_t newestPtsUs = 0;   // under mutex: when the newest picture was made
    std::int64_t markUs = 0;        // under mutex: see mark()
    // Whoever copies a picture takes from it (one at a time, under streamMutex).
    std::shared_ptr<Recycler<PictureBuffer>> buffers =
        Recycler<PictureBuffer>::make(kPictureBuffers);

    // Main thread only.
    std::unique_ptr<wayland::PortalScreenCast> portal;
    // Owned by whoever ends the capture; guarded by `streamMutex` so that `end` and the
    // destructor agree on who destroys it.
    std::mutex streamMutex;
    std::unique_ptr<wayland::PipeWireStream> stream;

    // Another picture is waiting in the stream (PipeWire's thread): only noted, it is copied
    // when someone asks for it (`copyNewest`), so that a compositor redrawing more often than the
    // recording's rate costs no copies.
    void onPicture(std::uint64_t sequence, PixelSize size, std::int64_t ptsUs) {
        std::lock_guard lock(mutex);
        waiting = sequence;
        newestPtsUs = ptsUs;
        if (size.width > 0 && size.height > 0) ++pictures;
        changed.notify_all();
    }

    // Publishes the stream's newest picture when it is not the published one. Any thread but
    // PipeWire's; `streamMutex` is held (it keeps the stream alive and serialises the copies).
    void copyNewest() {
        {
            std::lock_guard lock(mutex);
            if (!stream || waiting == copied) return;
        }
        // Read in place when the stream can lend it: copying every picture cost about 0.04 CPU
        // seconds per recorded second at 1080p30.
        if (auto lent = stream->lendNewest()) {
            const auto& px = lent->pixels;
            auto* origin = const_cast<std::uint8_t*>(px.data);
            std::lock_guard lock(mutex);
            copied = lent->sequence;
            latest = PortalPicture{std::shared_ptr<std::uint8_t>(lent->lease, origin),
                                   px.width,
                                   px.height,
                                   px.stride,
                                   ++published,
                                   lent->paddedAlpha};
            return;
        }
        std::shared_ptr<PictureBuffer> buffer;
        PortalPicture next;
        std::uint64_t sequence = 0;
        stream->readNewest([&](const wayland::PipeWireFrame& frame, std::uint64_t number) {
            const auto& px = frame.pixels;
            sequence = number;
            if (px.width <= 0 || px.height <= 0) return;
            const int stride = px.width * 4;
            const std::size_t bytes = std::size_t(stride) * px.height;
            // Never the published picture's buffer: it may still be on its way to the movie.
            // When every buffer is held downstream the previous picture stands.
            buffer = buffers->take([bytes](const PictureBuffer& b) { return b.size == bytes; },
                                   [bytes] {
                                       auto b = std::make_unique<PictureBuffer>(bytes);
                                       return b->data ? std::move(b) : nullptr;
                                   });
            if (!buffer) return;
            for (int y = 0; y < px.height; ++y) {
                copyPictureRow(buffer->data + std::size_t(y) * stride, px.row(y), px.width,
                               frame.paddedAlpha);
            }
            next = PortalPicture{std::shared_ptr<std::uint8_t>(buffer, buffer->data), px.width,
                                 px.height, stride, 0};
        });
        std::lock_guard lock(mutex);
        if (!buffer) return;
        copied = sequence;
        next.sequence = ++published;
        latest = std::move(next);
    }

    void onCursor(const wayland::PipeWireCursor& cursor) {
        std::lock_guard lock(mutex);
        pointer = PortalPointer{cursor.visible, cursor.x, cursor.y};
        if (cursor.image) {
            sprite = Sprite{*cursor.image, cursor.hotspotX, cursor.hotspotY, sprite.serial + 1};
        }
        if (!cursor.visible) sprite.image = {};
    }

    void onEnded(const Error& error) {
        std::lock_guard lock(mutex);
        if (!ended) ended = error;
        changed.notify_all();
    }

    void markEnded(Error error) { onEnded(error); }
};

Result<std::shared_ptr<WaylandCapture>> WaylandCapture::open(Source source,
                                                             std::chrono::milliseconds timeout) {
    auto state = std::make_shared<State>();
    struct Granted {
        std::optional<Result<wayland::PortalScreenCastStarted>> started;
        std::optional<Result<int>> remote;
    };
    auto granted = std::make_shared<Granted>();
    const std::string token = loadToken(kindName(source));
    // The portal's calls and answers belong to the main thread's context.
    Queue::main().post([state, granted, source, token, timeout] {
        state->portal = std::make_unique<wayland::PortalScreenCast>();
        state->portal->setClosedHandler([weak = std::weak_ptr<State>(state)] {
            if (auto s = weak.lock()) s->markEnded(Error{"The screen sharing was stopped."});
        });
        wayland::PortalScreenCastOptions options;
        options.types =
            source == Source::display ? wayland::kSourceMonitor : wayland::kSourceWindow;
        options.restoreToken = token;
        options.timeout = timeout;
        state->portal->start(options, [state, granted](auto started) {
            const bool ok = started.has_value();
            {
                std::lock_guard lock(state->mutex);
                granted->started = std::move(started);
                state->changed.notify_all();
            }
            if (!ok) return;
            state->portal->openPipeWireRemote([state, granted](Result<int> fd) {
                std::lock_guard lock(state->mutex);
                granted->remote = fd;
                state->changed.notify_all();
            });
        });
    });
    auto closeOnMain = [state] { Queue::main().post([state] { state->portal.reset(); }); };

    std::unique_lock lock(state->mutex);
    const auto deadline = std::chrono::steady_clock::now() + timeout * 2;
    if (!state->changed.wait_until(lock, deadline, [&] {
            return (granted->started && !*granted->started) || granted->remote;
        })) {
        lock.unlock();
        closeOnMain();
        return fail("The screen-cast portal did not answer in time.");
    }
    if (!*granted->started) {
        Error error = granted->started->error();
        lock.unlock();
        closeOnMain();
        return std::unexpected(std::move(error));
    }
    const wayland::PortalScreenCastStarted started = **granted->started;
    Result<int> remote = *granted->remote;
    lock.unlock();
    if (!remote || started.streams.empty()) {
        closeOnMain();
        return fail(remote ? "The desktop shared nothing to record." : remote.error().message);
    }
    saveToken(kindName(source), started.restoreToken);

    wayland::PipeWireStreamCallbacks callbacks;
    std::weak_ptr<State> weak = state;
    callbacks.onPicture = [weak](std::uint64_t sequence, PixelSize size, std::int64_t ptsUs) {
        if (auto s = weak.lock()) s->onPicture(sequence, size, ptsUs);
    };
    callbacks.onCursor = [weak](const wayland::PipeWireCursor& c) {
        if (auto s = weak.lock()) s->onCursor(c);
    };
    callbacks.onEnded = [weak](const Error& e) {
        if (auto s = weak.lock()) s->onEnded(e);
    };
    auto stream =
        wayland::PipeWireStream::connect(*remote, started.streams.front().nodeId, callbacks);
    if (!stream) {
        closeOnMain();
        return std::unexpected(stream.error());
    }
    {
        std::lock_guard streamLock(state->streamMutex);
        state->stream = std::move(*stream);
    }

    // The size of the source is known from its first picture only (a window's area is not said).
    lock.lock();
    state->changed.wait_for(lock, std::chrono::seconds(10),
                            [&] { return state->pictures > 0 || state->ended.has_value(); });
    lock.unlock();
    {
        std::lock_guard streamLock(state->streamMutex);
        state->copyNewest();
    }
    lock.lock();
    if (!state->latest.pixels) {
        std::string why = state->ended ? state->ended->message : "no picture came";
        lock.unlock();
        auto capture = std::shared_ptr<WaylandCapture>(new WaylandCapture());
        capture->state_ = state;
        capture->end();
        return fail("The shared screen sent no picture: " + why);
    }
    auto capture = std::shared_ptr<WaylandCapture>(new WaylandCapture());
    capture->state_ = state;
    capture->size_ = PixelSize{state->latest.width, state->latest.height};
    capture->area_ = started.streams.front().area;
    capture->cursorMetadata_ = started.cursorMode == wayland::PortalCursorMode::metadata;
    return capture;
}

WaylandCapture::~WaylandCapture() {
    end();
}

void WaylandCapture::end() {
    if (!state_) return;
    std::unique_ptr<wayland::PipeWireStream> stream;
    {
        std::lock_guard lock(state_->streamMutex);
        stream = std::move(state_->stream);
    }
    // After this no callback runs.
    stream.reset();
    Queue::main().post([state = state_] { state->portal.reset(); });
}

PortalPicture WaylandCapture::latest() const {
    {
        std::lock_guard streamLock(state_->streamMutex);
        state_->copyNewest();
    }
    std::lock_guard lock(state_->mutex);
    return state_->latest;
}

PortalPointer WaylandCapture::pointer() const {
    std::lock_guard lock(state_->mutex);
    return state_->pointer;
}

WaylandCapture::Sprite WaylandCapture::sprite() const {
    std::lock_guard lock(state_->mutex);
    return state_->sprite;
}

PixelRect WaylandCapture::recordedPart() const {
    std::lock_guard lock(state_->mutex);
    return state_->part.value_or(PixelRect{0, 0, size_.width, size_.height});
}

void WaylandCapture::setRecordedPart(PixelRect part) {
    std::lock_guard lock(state_->mutex);
    state_->part = part;
}

void WaylandCapture::mark() {
    std::lock_guard lock(state_->mutex);
    state_->markUs = g_get_monotonic_time();
}

bool WaylandCapture::pictureSinceMark() const {
    std::lock_guard lock(state_->mutex);
    return state_->newestPtsUs > state_->markUs;
}

std::optional<Error> WaylandCapture::endedWith() const {
    std::lock_guard lock(state_->mutex);
    return state_->ended;
}

void WaylandCapture::setActive(bool active) {
    std::lock_guard lock(state_->streamMutex);
    if (state_->stream) state_->stream->setActive(active);
}

namespace {

class StreamCursors : public CursorTypeDetector::CursorSource {
  public:
    explicit StreamCursors(std::weak_ptr<WaylandCapture> capture) : capture_(std::move(capture)) {}
    std::optional<x11::CursorImage> current() override {
        auto capture = capture_.lock();
        if (!capture) return std::nullopt;
        const WaylandCapture::Sprite sprite = capture->sprite();
        const BgraImage& image = sprite.image;
        if (image.width <= 0 || image.height <= 0) return std::nullopt;
        x11::CursorImage out;
        out.width = image.width;
        out.height = image.height;
        out.hotX = sprite.hotspotX;
        out.hotY = sprite.hotspotY;
        out.serial = sprite.serial;
        out.argb.resize(std::size_t(image.width) * image.height);
        // Premultiplied BGRA bytes are the same premultiplied ARGB words on this byte order.
        for (int y = 0; y < image.height; ++y) {
            std::memcpy(out.argb.data() + std::size_t(y) * image.width, image.row(y),
                        std::size_t(image.width) * 4);
        }
        return out;
    }
    std::optional<x11::CursorImage> themeCursor(std::string_view name) override {
        return wayland::themeCursorImage(name);
    }

  private:
    std::weak_ptr<WaylandCapture> capture_;
};

}  // namespace

std::unique_ptr<CursorTypeDetector::CursorSource> WaylandCapture::cursorSource(
    std::weak_ptr<WaylandCapture> capture) {
    return std::make_unique<StreamCursors>(std::move(capture));
}

std::shared_ptr<WaylandCapture> WaylandCapture::recording() {
    std::lock_guard lock(gMutex);
    return gRecording;
}

void WaylandCapture::setRecording(std::shared_ptr<WaylandCapture> capture) {
    std::lock_guard lock(gMutex);
    gRecording = std::move(capture);
}

}  // namespace marlune
