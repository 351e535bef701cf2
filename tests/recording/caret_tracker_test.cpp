#include "recording/caret_tracker.h"

#include <atomic>

#include <gtest/gtest.h>

#include "recording/desktop_support.h"
#include "support/main_loop.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;
using atspi::ScreenRect;
using test::runMainUntil;

// Caret rectangles handed out one per sample, in order; past the end of the script a caret
// that keeps moving right.
struct CaretScript {
    std::vector<std::optional<ScreenRect>> rects;
    std::atomic<std::size_t> next{0};
    std::chrono::steady_clock::time_point firstCall{};
};

class ScriptedCaret : public CaretTracker::CaretSource {
  public:
    explicit ScriptedCaret(std::shared_ptr<CaretScript> script) : script_(std::move(script)) {}
    std::optional<ScreenRect> caretRect() override {
        std::size_t i = script_->next++;
        if (i == 0) script_->firstCall = std::chrono::steady_clock::now();
        if (i < script_->rects.size()) return script_->rects[i];
        return ScreenRect{500.0 + 10.0 * double(i), 500, 2, 20};
    }

  private:
    std::shared_ptr<CaretScript> script_;
};

// A caret 2 pixels wide and 20 high centred on (x, y).
ScreenRect caretAt(double x, double y, double height = 20) {
    return {x - 1, y - height / 2, 2, height};
}

TEST(CaretTracker, SamplesMovesOfTwoPixelsOnTheRecordedMonitorOnly) {
    auto m = test::monitorNamed("");
    ASSERT_TRUE(m) << "no monitor: run under scripts/with-desktop";
    const double x0 = m->x, y0 = m->y, right = m->x + m->width, bottom = m->y + m->height;
    auto script = std::make_shared<CaretScript>();
    script->rects = {
        caretAt(x0 + 100, y0 + 100),       // 0: first position
        caretAt(x0 + 101, y0 + 101),       // 1: one pixel each way: not a move
        caretAt(x0 + 102, y0 + 101),       // 2: two pixels across
        std::nullopt,                      // 3: no caret
        caretAt(x0 + 300, y0 + 100, 0.5),  // 4: too flat to be a caret
        caretAt(x0 + 300, y0 + 100, 500),  // 5: too tall to be a caret
        caretAt(right + 50, y0 + 100),     // 6: on another monitor: remembered only
        caretAt(right + 51, y0 + 100),     // 7: one pixel from the remembered one
        caretAt(right, bottom),            // 8: the far corner is inside
        caretAt(x0 + 123, y0),             // 9
    };
    // The clock is read just before each caret: t = 1000.5 + 100 × sample number.
    CaretTracker tracker([script]() -> std::unique_ptr<CaretTracker::CaretSource> {
        return std::make_unique<ScriptedCaret>(script);
    });
    auto started = std::chrono::steady_clock::now();
    tracker.start(m->id, [script] { return std::optional(1000.5 + 100.0 * double(script->next)); });
    ASSERT_TRUE(runMainUntil([&] { return script->next > 11; }, 10s));
    tracker.stop();
    const std::size_t atStop = tracker.sampleCount();
    EXPECT_GE(script->firstCall - started, 450ms) << "sampling begins half a second in";

    auto r4 = [](double v) { return std::round(v * 10000) / 10000; };
    const double w = m->width, h = m->height;
    const Json expected = {{1001.0, r4(100 / w), r4(100 / h)},
                           {1201.0, r4(102 / w), r4(101 / h)},
                           {1801.0, 1.0, 1.0},
                           {1901.0, r4(123 / w), 0.0}};
    Json path = tracker.pathJSON();
    ASSERT_GE(path.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(path[i], expected[i]) << "sample " << i;
    if (m->width == 1920) {
        EXPECT_EQ(path[3][1].dump(), "0.0641") << "rounded half away from zero";
    }
    EXPECT_EQ(tracker.pathJSON(3).size(), path.size() - 3);

    // Nothing is added once stopped; the samples stay until the next start.
    test::runMainUntil([] { return false; }, 400ms);
    EXPECT_EQ(tracker.sampleCount(), atStop);
    tracker.start(m->id, [] { return std::optional(0.0); });
    EXPECT_EQ(tracker.sampleCount(), 0u);
    tracker.stop();
}

}  // namespace
}  // namespace marlune
