// The names recordings get, and the project entry of a webcam movie.

#include "recording/recording_controller.h"

#include <ctime>
#include <set>

#include <gtest/gtest.h>

namespace marlune {
namespace {

using namespace std::chrono_literals;

std::chrono::system_clock::time_point localTime(int y, int mo, int d, int h, int mi, int s) {
    std::tm t{};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    t.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&t));
}

TEST(RecordingController, RecordingsAreNamedAfterTheirLocalStartTimeWithoutOverwriting) {
    const auto when = localTime(2026, 12, 5, 19, 27, 30) + 700ms;
    struct Case {
        const char* what;
        std::set<std::string> taken;
        const char* expected;
    };
    const Case cases[] = {
        {"free", {}, "Marlune 2026-12-05 at 19.27.30.mp4"},
        {"taken once",
         {"Marlune 2026-12-05 at 19.27.30.mp4"},
         "Marlune 2026-12-05 at 19.27.30 (2).mp4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(RecordingController::outputName(
                      when, [&](const std::string& name) { return c.taken.contains(name); }),
                  c.expected);
    }
    EXPECT_EQ(RecordingController::outputName(localTime(2027, 1, 2, 3, 4, 5), nullptr),
              "Marlune 2027-01-02 at 03.04.05.mp4");
}

TEST(RecordingController, TheWebcamEntryPlacesTheWebcamMovieAgainstTheScreenMovie) {
    struct Case {
        const char* what;
        double webcamFirst, screenFirst;  // seconds on the capture clock
        const char* shape;
        int offsetMs, cornerRadius;
    };
    const Case cases[] = {
        {"later camera, circle", 100.25, 100.0, "circle", 250, 999},
        {"wide gets its size", 100.0, 100.0, "wide", 0, 40},
        {"half a millisecond rounds away from zero", 10.0625, 10.0, "squircle", 63, 90},
        {"the same below zero", 10.0, 10.0625, "circle", -63, 999},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Json expected = {{"file", "A.webcam.mp4"},
                         {"offsetMs", c.offsetMs},
                         {"enabled", true},
                         {"shape", c.shape},
                         {"cornerRadius", c.cornerRadius}};
        if (std::string_view(c.shape) == "wide") {
            expected["width"] = 40;
            expected["height"] = 22.5;
        }
        EXPECT_EQ(webcamProjectEntry("A.mp4", c.webcamFirst, c.screenFirst, c.shape), expected);
    }
}

}  // namespace
}  // namespace marlune
