#include "recording/caret_tracker.h"

#include <cmath>
#include <limits>
#include <mutex>

#include "core/debug_log.h"
#include "core/queue.h"
#include "core/steady_timer.h"
#include "platform/wayland/global_shortcuts.h"

namespace marlune {

namespace {

double round4(double v) {
    return std::round(v * 10000) / 10000;
}

class AccessibleCaret : public CaretTracker::CaretSource {
  public:
    explicit AccessibleCaret(std::unique_ptr<atspi::FocusedText> text) : text_(std::move(text)) {}
    std::optional<atspi::ScreenRect> caretRect() override { return text_->caretCharacter(); }

  private:
    std::unique_ptr<atspi::FocusedText> text_;
};

std::unique_ptr<CaretTracker::CaretSource> accessibleCaret() {
    if (!atspi::accessibilityEnabled()) return nullptr;
    auto text = atspi::FocusedText::connect();
    if (!text) {
        systemLog("Marlune: caret tracking is off: " + text.error().message);
        return nullptr;
    }
    return std::make_unique<AccessibleCaret>(std::move(*text));
}

}  // namespace

struct CaretTracker::State {
    std::shared_ptr<Queue> q = Queue::makeSerial(".caret");
    SourceFactory makeSource;

    // Only on q.
    std::unique_ptr<CaretSource> source;
    SteadyTimer timer;
    Clock elapsed;
    double lastMidX = std::numeric_limits<double>::quiet_NaN();
    double lastMidY = std::numeric_limits<double>::quiet_NaN();
    RecordedArea area;

    // Shared with the main thread. Each start and stop begins a new generation; work on q for an
    // older one does nothing, so nothing lands after a stop however long a call took.
    mutable std::mutex mutex;
    std::vector<std::array<double, 3>> samples;
    // Why no caret path is recorded, when that is known at the start.
    std::optional<std::string> missingReason;
    std::uint64_t generation = 0;

    bool isCurrent(std::uint64_t gen) const {
        std::lock_guard lock(mutex);
        return generation == gen;
    }

    void endRun() {
        timer.cancel();
        elapsed = nullptr;
        area = nullptr;
        source.reset();
    }

    void begin(std::uint64_t gen, RecordedArea recorded, Clock clock,
               std::chrono::steady_clock::time_point startedAt, const std::weak_ptr<State>& self) {
        if (!isCurrent(gen)) return;
        endRun();
        auto made = makeSource();
        if (!made || !isCurrent(gen)) return;
        source = std::move(made);
        lastMidX = lastMidY = std::numeric_limits<double>::quiet_NaN();
        area = std::move(recorded);
        elapsed = std::move(clock);
        auto spent = std::chrono::steady_clock::now() - startedAt;
        timer.start(*q, std::max<std::chrono::nanoseconds>(kFirstSampleDelay - spent, {}),
                    kSampleInterval, [self, gen] {
                        if (auto s = self.lock()) s->sample(gen);
                    });
    }

    void sample(std::uint64_t gen) {
        if (!isCurrent(gen) || !elapsed || !source) return;
        auto t = elapsed();
        if (!t) return;
        auto rect = source->caretRect();
        if (!rect || !std::isfinite(rect->width) || !(rect->height > 0.5 && rect->height < 500)) {
            return;
        }
        double midX = rect->x + rect->width / 2, midY = rect->y + rect->height / 2;
        // Moves under 2 pixels on both axes are not moves (the NaN start compares false).
        if (std::fabs(midX - lastMidX) < 2 && std::fabs(midY - lastMidY) < 2) return;
        lastMidX = midX;
        lastMidY = midY;
        const std::optional<PixelRect> bounds = area ? area() : std::nullopt;
        if (!bounds) return;
        const double w = bounds->width, h = bounds->height;
        if (w <= 1 || h <= 1) return;
        // A caret outside the area is remembered above but not recorded; edges are inside.
        if (midX < bounds->x || midX > bounds->x + w || midY < bounds->y || midY > bounds->y + h) {
            return;
        }
        std::array<double, 3> s{std::round(*t), round4((midX - bounds->x) / w),
                                round4((midY - bounds->y) / h)};
        std::lock_guard lock(mutex);
        if (generation == gen) samples.push_back(s);
    }
};

CaretTracker::CaretTracker() : CaretTracker(accessibleCaret) {}

CaretTracker::CaretTracker(SourceFactory makeSource) : state_(std::make_shared<State>()) {
    state_->makeSource = std::move(makeSource);
}

CaretTracker::~CaretTracker() {
    stop();
    // The queue finishes the posted clean-up before its thread ends (it may wait for one call to
    // an application, bounded by the call time limit).
}

void CaretTracker::start(RecordedArea area, Clock elapsed) {
    MARLUNE_ASSERT_ON(Queue::main());
    if (wayland::isWaylandSession()) {
        stop();
        std::lock_guard lock(state_->mutex);
        state_->samples.clear();
        state_->missingReason = kWaylandDisplayReason;
        return;
    }
    startSampling(std::move(area), std::move(elapsed));
}

void CaretTracker::startInWindow(int width, int height, Clock elapsed) {
    MARLUNE_ASSERT_ON(Queue::main());
    startSampling(fixedArea(PixelRect{0, 0, width, height}), std::move(elapsed));
}

std::optional<std::string> CaretTracker::missingReason() const {
    std::lock_guard lock(state_->mutex);
    return state_->missingReason;
}

void CaretTracker::startSampling(RecordedArea area, Clock elapsed) {
    std::uint64_t gen;
    {
        std::lock_guard lock(state_->mutex);
        gen = ++state_->generation;
        state_->samples.clear();
        state_->missingReason.reset();
    }
    std::weak_ptr<State> weak = state_;
    state_->q->post([weak, gen, area = std::move(area), elapsed = std::move(elapsed),
                     startedAt = std::chrono::steady_clock::now()]() mutable {
        if (auto s = weak.lock()) {
            s->begin(gen, std::move(area), std::move(elapsed), startedAt, weak);
        }
    });
}

void CaretTracker::stop() {
    MARLUNE_ASSERT_ON(Queue::main());
    {
        std::lock_guard lock(state_->mutex);
        ++state_->generation;
    }
    state_->q->post([s = state_] { s->endRun(); });
}

Json CaretTracker::pathJSON(std::size_t from) const {
    std::vector<std::array<double, 3>> copy;
    {
        std::lock_guard lock(state_->mutex);
        if (from < state_->samples.size()) {
            copy.assign(state_->samples.begin() + static_cast<std::ptrdiff_t>(from),
                        state_->samples.end());
        }
    }
    Json out = Json::array();
    for (const auto& s : copy) out.push_back(Json::array({s[0], s[1], s[2]}));
    return out;
}

std::size_t CaretTracker::sampleCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->samples.size();
}

bool CaretTracker::trusted() {
    return atspi::accessibilityEnabled();
}

}  // namespace marlune
