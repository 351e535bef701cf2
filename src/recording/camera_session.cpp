#include "recording/camera_session.h"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "core/debug_log.h"

namespace marlune {

void FramePacer::setFps(int fps) {
    period_ = 1'000'000'000 / std::max(1, fps);
}

bool FramePacer::admit(HostTime t) {
    if (!started_) {
        started_ = true;
        due_ = t + period_;
        return true;
    }
    // A quarter period of slack takes a camera's jitter without letting a faster camera through
    // at its own rate.
    if (t + period_ / 4 < due_) return false;
    due_ = t - due_ > period_ ? t + period_ : due_ + period_;
    return true;
}

struct CameraSession::Shared {
    CameraSource source;
    FrameHandler onFrame;

    mutable std::mutex mutex;  // guards the requests below
    std::condition_variable wake;
    bool stopping = false;
    bool ended = false;
    bool reopen = true;    // the first open is a reopen of nothing
    bool running = false;  // the camera is open and delivering
    CameraMode mode;
    std::vector<ModeDone> modeWaiters;
    mutable std::condition_variable endedSignal;

    // Held while a picture is handed over, so that stop() returns only once none is.
    std::mutex delivery;
    int opens = 0;  // guarded by mutex

    void run();
};

namespace {

// A few pictures' memory, used again once everyone who was handed a picture has let it go, so a
// running camera keeps a flat footprint and skips clearing fresh memory for every picture.
class PicturePool {
  public:
    std::shared_ptr<BgraImage> take() {
        for (auto& p : pictures_) {
            // Only this pool makes new references, on this thread: a count of one stays one.
            if (p.use_count() == 1) return p;
        }
        auto p = std::make_shared<BgraImage>();
        if (pictures_.size() < kKept) pictures_.push_back(p);
        return p;
    }

  private:
    static constexpr std::size_t kKept = 6;
    std::vector<std::shared_ptr<BgraImage>> pictures_;
};

}  // namespace

void CameraSession::Shared::run() {
    std::optional<CameraInput> input;
    CameraMode current;
    FramePacer pacer;
    PicturePool pool;
    for (;;) {
        std::vector<ModeDone> waiters;
        bool openNow = false;
        {
            std::unique_lock lock(mutex);
            wake.wait(lock, [&] { return stopping || reopen || input; });
            if (stopping) break;
            if (reopen) {
                reopen = false;
                openNow = true;
                current = mode;
                waiters.swap(modeWaiters);
            } else if (!modeWaiters.empty() && mode == current) {
                waiters.swap(modeWaiters);  // already running in the wanted mode
            }
        }
        if (openNow) {
            input.reset();  // a device is opened by one client at a time
            auto opened = CameraInput::open(source, current);
            std::lock_guard lock(mutex);
            running = opened.has_value();
            if (opened) {
                input.emplace(std::move(*opened));
                pacer.setFps(current.fps);
                pacer.reset();
                ++opens;
            } else {
                systemLog("Marlune: camera input unavailable");
                systemLog("Marlune: " + source.format + " " + source.device + ": " +
                          opened.error().message);
            }
        }
        for (auto& done : waiters) {
            if (done) done(input.has_value());
        }
        if (!input) continue;

        auto taken = input->grab();
        if (!taken) {
            systemLog("Marlune: the camera stopped delivering pictures (" + taken.error().message +
                      ")");
            input.reset();
            std::lock_guard lock(mutex);
            running = false;
            continue;
        }
        if (!pacer.admit(*taken)) continue;
        auto image = pool.take();
        if (!input->retrieve(*image)) continue;  // a damaged picture costs only itself
        VideoFrame frame;
        frame.width = image->width;
        frame.height = image->height;
        frame.stride = image->stride;
        frame.pts = *taken;
        frame.pixels = std::shared_ptr<const std::uint8_t>(image, image->pixels.data());
        std::lock_guard handing(delivery);
        {
            std::lock_guard lock(mutex);
            if (stopping) break;
        }
        if (onFrame) onFrame(std::move(frame), current);
    }
    input.reset();
    std::lock_guard lock(mutex);
    ended = true;
    endedSignal.notify_all();
}

std::shared_ptr<CameraSession> CameraSession::start(CameraSource source, CameraMode mode,
                                                    FrameHandler onFrame) {
    auto shared = std::make_shared<Shared>();
    shared->source = std::move(source);
    shared->mode = mode;
    shared->onFrame = std::move(onFrame);
    // Detached: a device stuck in a read keeps only this thread, which ends (and closes the
    // device) whenever the read returns.
    std::thread([shared] {
        pthread_setname_np(pthread_self(), "marlune-camera");
        shared->run();
    }).detach();
    return std::shared_ptr<CameraSession>(new CameraSession(std::move(shared)));
}

CameraSession::~CameraSession() {
    stop();
}

void CameraSession::setMode(CameraMode mode, ModeDone done) {
    std::lock_guard lock(shared_->mutex);
    if (shared_->stopping) return;
    if (mode != shared_->mode || !shared_->running) shared_->reopen = true;
    shared_->mode = mode;
    shared_->modeWaiters.push_back(std::move(done));
    shared_->wake.notify_all();
}

void CameraSession::restart() {
    std::lock_guard lock(shared_->mutex);
    shared_->reopen = true;
    shared_->wake.notify_all();
}

void CameraSession::stop() {
    std::lock_guard handing(shared_->delivery);
    std::lock_guard lock(shared_->mutex);
    shared_->stopping = true;
    shared_->modeWaiters.clear();
    shared_->wake.notify_all();
}

int CameraSession::opens() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->opens;
}

bool CameraSession::waitEnded(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(shared_->mutex);
    return shared_->endedSignal.wait_for(lock, timeout, [&] { return shared_->ended; });
}

}  // namespace marlune
