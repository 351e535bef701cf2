#include "render/time_map.h"

#include <array>

#include <gtest/gtest.h>

namespace marlune {
namespace {

using Kept = std::vector<std::array<double, 3>>;  // source start, source end, output start

TEST(TimeMap, KeptRanges) {
    struct Case {
        const char* name;
        std::int64_t start, end;
        std::vector<TimeMap::Cut> cuts;
        Kept kept;
    };
    const Case cases[] = {
        {"none", 1000, 5000, {}, {{1000, 5000, 0}}},
        {"overlap", 0, 10000, {{2000, 3000}, {2500, 4000}}, {{0, 2000, 0}, {4000, 10000, 2000}}},
        {"order", 0, 10000, {{2500, 4000}, {2000, 3000}}, {{0, 2000, 0}, {4000, 10000, 2000}}},
        {"clipped", 1000, 5000, {{0, 2000}, {4500, 9000}}, {{2000, 4500, 0}}},
        {"outside", 1000, 5000, {{0, 1000}, {5000, 5500}, {6000, 7000}}, {{1000, 5000, 0}}},
        {"first", 0, 5000, {{0, 1000}}, {{1000, 5000, 0}}},
        {"three", 0, 100, {{10, 20}, {50, 60}}, {{0, 10, 0}, {20, 50, 10}, {60, 100, 40}}},
        {"nested", 0, 1000, {{100, 900}, {200, 300}}, {{0, 100, 0}, {900, 1000, 100}}},
        {"touching", 0, 1000, {{100, 200}, {200, 300}}, {{0, 100, 0}, {300, 1000, 100}}},
        {"inverted and empty cuts", 0, 1000, {{600, 400}, {300, 300}}, {{0, 1000, 0}}},
        // Nothing left, or nothing to start with: the whole range, as given.
        {"everything cut", 1000, 5000, {{0, 3000}, {2500, 9000}}, {{1000, 5000, 0}}},
        {"empty range", 3000, 3000, {}, {{3000, 3000, 0}}},
        {"inverted range", 5000, 3000, {{3500, 4000}}, {{5000, 3000, 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TimeMap m(c.start, c.end, c.cuts);
        Kept kept;
        double total = 0;
        for (const auto& r : m.kept()) {
            kept.push_back({r.srcStart, r.srcEnd, r.outStart});
            total += r.srcEnd - r.srcStart;
        }
        EXPECT_EQ(kept, c.kept);
        EXPECT_EQ(m.totalOutMs(), total);
        EXPECT_EQ(m.hasCuts(), kept.size() > 1);
    }
}

TEST(TimeMap, SourceForOutput) {
    const TimeMap single(1000, 5000);
    const TimeMap cut(0, 10000, {{2000, 3000}, {2500, 4000}});
    struct Case {
        const TimeMap* map;
        double out, src;
    };
    const Case cases[] = {
        {&single, 0, 1000},    {&single, 250, 1250},   {&single, 3999.5, 4999.5},
        {&single, 4000, 5000}, {&single, 1e9, 5000},   {&single, -100, 900},
        {&cut, 0, 0},          {&cut, 1999.9, 1999.9}, {&cut, 2000, 4000},
        {&cut, 2500, 4500},    {&cut, 8000, 10000},    {&cut, 9000, 10000},
        {&cut, -5, -5},
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(c.map->source(c.out), c.src) << c.out;
}

}  // namespace
}  // namespace marlune
