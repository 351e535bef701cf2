#include "render/time_map.h"

#include <gtest/gtest.h>

namespace marlune {
namespace {

using Cuts = std::vector<TimeMap::Cut>;
using Kept = std::vector<std::array<double, 3>>;

Kept keptOf(const TimeMap& m) {
    Kept k;
    for (const auto& r : m.kept()) k.push_back({r.srcStart, r.srcEnd, r.outStart});
    return k;
}

TEST(TimeMap, KeptRanges) {
    struct Case {
        const char* name;
        std::int64_t start, end;
        Cuts cuts;
        Kept kept;
        double total;
        bool hasCuts;
    };
    const Case cases[] = {
        {"no cuts", 1000, 5000, {}, {{1000, 5000, 0}}, 4000, false},
        {"overlapping cuts",
         0,
         10000,
         {{2000, 3000}, {2500, 4000}},
         {{0, 2000, 0}, {4000, 10000, 2000}},
         8000,
         true},
        {"out of order",
         0,
         10000,
         {{2500, 4000}, {2000, 3000}},
         {{0, 2000, 0}, {4000, 10000, 2000}},
         8000,
         true},
        {"clipped to the range",
         1000,
         5000,
         {{0, 2000}, {4500, 9000}},
         {{2000, 4500, 0}},
         2500,
         false},
        {"entirely outside",
         1000,
         5000,
         {{0, 500}, {6000, 7000}, {0, 1000}, {5000, 5500}},
         {{1000, 5000, 0}},
         4000,
         false},
        {"first second removed", 0, 5000, {{0, 1000}}, {{1000, 5000, 0}}, 4000, false},
        {"last second removed", 0, 5000, {{4000, 5000}}, {{0, 4000, 0}}, 4000, false},
        {"three pieces",
         0,
         1000,
         {{100, 200}, {500, 600}},
         {{0, 100, 0}, {200, 500, 100}, {600, 1000, 400}},
         800,
         true},
        {"nested cut",
         0,
         1000,
         {{100, 900}, {200, 300}},
         {{0, 100, 0}, {900, 1000, 100}},
         200,
         true},
        {"touching cuts",
         0,
         1000,
         {{100, 200}, {200, 300}},
         {{0, 100, 0}, {300, 1000, 100}},
         800,
         true},
        {"inverted and empty cuts ignored",
         0,
         1000,
         {{600, 400}, {300, 300}},
         {{0, 1000, 0}},
         1000,
         false},
        {"everything cut: fallback",
         1000,
         5000,
         {{0, 3000}, {2500, 9000}},
         {{1000, 5000, 0}},
         4000,
         false},
        {"empty range: fallback", 3000, 3000, {}, {{3000, 3000, 0}}, 0, false},
        {"inverted range: fallback", 5000, 3000, {{3500, 4000}}, {{5000, 3000, 0}}, -2000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TimeMap m(c.start, c.end, c.cuts);
        EXPECT_EQ(keptOf(m), c.kept);
        EXPECT_EQ(m.totalOutMs(), c.total);
        EXPECT_EQ(m.hasCuts(), c.hasCuts);
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
