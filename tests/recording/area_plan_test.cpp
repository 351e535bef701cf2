// Planning the recording of an area of a display: the area's pixels on the screen, cut to the
// display, and the size recorded.

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "recording/capture_plan.h"

namespace marlune {
namespace {

TEST(AreaPlan, TheAreaIsCutToItsDisplayInScreenPixels) {
    // A 1920 × 1080-point display at scale 2, right of another one.
    ShareableContent content;
    content.scale = 2;
    content.displays.push_back(ShareableDisplay{.displayID = 5,
                                                .name = "right",
                                                .width = 1920,
                                                .height = 1080,
                                                .pixels = PixelRect{3840, 0, 3840, 2160}});
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        RecordingOptions::Area area;
        std::optional<PixelRect> pixels;
        int width, height;  // of the plan, with a 1080 cap on the height
    };
    const Case cases[] = {
        {{100, 50, 640, 360}, PixelRect{4040, 100, 1280, 720}, 1280, 720},
        // Cut to the display's edges, whichever side it leaves by.
        {{-100, -100, 300, 300}, PixelRect{3840, 0, 400, 400}, 400, 400},
        {{1800, 1000, 500, 500}, PixelRect{7440, 2000, 240, 160}, 240, 160},
        // Big: the height cap scales it like a display.
        {{0, 0, 1920, 1080}, PixelRect{3840, 0, 3840, 2160}, 1920, 1080},
        // Nothing of it on the display, or less than 2 pixels, or no number.
        {{2000, 0, 100, 100}, std::nullopt, 0, 0},
        {{10, 10, 0.4, 100}, std::nullopt, 0, 0},
        {{10, 10, nan, 100}, std::nullopt, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.area.x << "," << c.area.y << " " << c.area.width << "×" << c.area.height);
        EXPECT_EQ(areaPixels(content.displays[0], content.scale, c.area), c.pixels);
        RecordingOptions o;
        o.sourceKind = "area";
        o.sourceID = 5;
        o.capHeight = 1080;
        o.area = c.area;
        auto plan = makePlan(content, o, 1234);
        ASSERT_EQ(plan.has_value(), c.pixels.has_value());
        if (!plan) {
            EXPECT_EQ(plan.error().message, "The chosen area is not on the display.");
            continue;
        }
        EXPECT_EQ(plan->filter.source, *c.pixels);
        EXPECT_EQ(plan->filter.kind, CaptureFilter::Kind::display);
        EXPECT_EQ(std::pair(plan->width, plan->height), std::pair(c.width, c.height));
    }
}

}  // namespace
}  // namespace marlune
