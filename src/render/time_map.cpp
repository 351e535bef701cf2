#include "render/time_map.h"

#include <algorithm>

namespace marlune {

TimeMap::TimeMap(std::int64_t startMs, std::int64_t endMs, std::vector<Cut> cuts) {
    std::sort(cuts.begin(), cuts.end(),
              [](const Cut& a, const Cut& b) { return a.start < b.start; });
    const double s = static_cast<double>(startMs);
    const double e = static_cast<double>(endMs);

    std::vector<std::pair<double, double>> ranges;
    double cursor = s;
    for (const Cut& cut : cuts) {
        const double cs = std::max(s, static_cast<double>(cut.start));
        const double ce = std::min(static_cast<double>(cut.end), e);
        if (ce <= cs) continue;
        if (cs > cursor) ranges.emplace_back(cursor, cs);
        cursor = std::max(cursor, ce);
    }
    if (e > cursor) ranges.emplace_back(cursor, e);
    if (ranges.empty()) ranges.emplace_back(s, e);

    double out = 0;
    kept_.reserve(ranges.size());
    for (auto [a, b] : ranges) {
        kept_.push_back(Range{a, b, out});
        out += b - a;
    }
    totalOutMs_ = out;
}

double TimeMap::source(double forOutput) const {
    if (kept_.empty()) return forOutput;
    for (const Range& r : kept_) {
        if (r.srcEnd - r.srcStart + r.outStart > forOutput) {
            return forOutput - r.outStart + r.srcStart;
        }
    }
    return kept_.back().srcEnd;
}

}  // namespace marlune
