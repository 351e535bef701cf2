#include "core/debug_log.h"

#include <gtest/gtest.h>

namespace marlune {
namespace {

TEST(DebugLog, LineIsUtcDateTimeZoneMessage) {
    using namespace std::chrono;
    // 2026-12-06 18:40:05 UTC, with a fraction that must not show.
    auto when = system_clock::time_point(seconds(1796582405)) + milliseconds(999);
    EXPECT_EQ(debugLogLine(when, "recording started"),
              "2026-12-06 18:40:05 +0000 recording started\n");
    EXPECT_EQ(debugLogLine(system_clock::time_point(seconds(0)), ""),
              "1970-01-01 00:00:00 +0000 \n");
}

}  // namespace
}  // namespace marlune
