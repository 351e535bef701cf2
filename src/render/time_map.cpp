#include "render/time_map.h"

#include <algorithm>
#include <cmath>

namespace marlune {

namespace {

using Stretch = std::pair<double, double>;

// The kept stretches of [s, e] once `cuts` are removed; the whole range when nothing is left.
std::vector<Stretch> keptStretches(double s, double e, std::vector<TimeMap::Cut> cuts) {
    std::sort(cuts.begin(), cuts.end(),
              [](const TimeMap::Cut& a, const TimeMap::Cut& b) { return a.start < b.start; });
    std::vector<Stretch> ranges;
    double cursor = s;
    for (const TimeMap::Cut& cut : cuts) {
        const double cs = std::max(s, static_cast<double>(cut.start));
        const double ce = std::min(static_cast<double>(cut.end), e);
        if (ce <= cs) continue;
        if (cs > cursor) ranges.emplace_back(cursor, cs);
        cursor = std::max(cursor, ce);
    }
    if (e > cursor) ranges.emplace_back(cursor, e);
    if (ranges.empty()) ranges.emplace_back(s, e);
    return ranges;
}

struct Paced {
    double start, end, rate;
};

// The usable speeds, in time order and apart: the earlier one holds where two overlap.
std::vector<Paced> pacedStretches(std::vector<TimeMap::Speed> speeds) {
    std::stable_sort(speeds.begin(), speeds.end(),
                     [](const auto& a, const auto& b) { return a.start < b.start; });
    std::vector<Paced> out;
    for (const TimeMap::Speed& sp : speeds) {
        if (!std::isfinite(sp.rate) || !(sp.rate > 0)) continue;
        double a = static_cast<double>(sp.start);
        const double b = static_cast<double>(sp.end);
        if (!out.empty()) a = std::max(a, out.back().end);
        if (b > a) out.push_back({a, b, sp.rate});
    }
    return out;
}

}  // namespace

TimeMap::TimeMap(std::int64_t startMs, std::int64_t endMs, std::vector<Cut> cuts,
                 std::vector<Speed> speeds) {
    const std::vector<Stretch> ranges =
        keptStretches(static_cast<double>(startMs), static_cast<double>(endMs), std::move(cuts));
    hasCuts_ = ranges.size() >= 2;
    const std::vector<Paced> paced = pacedStretches(std::move(speeds));

    double out = 0;
    auto add = [&](double a, double b, double rate) {
        if (!kept_.empty() && kept_.back().srcEnd == a && kept_.back().rate == rate) {
            kept_.back().srcEnd = b;
        } else {
            kept_.push_back(Range{a, b, out, rate});
        }
        out += (b - a) / rate;
        if (rate != 1) changesTime_ = true;
    };
    for (auto [a, b] : ranges) {
        const std::size_t before = kept_.size();
        double at = a;
        for (const Paced& p : paced) {
            if (p.end <= at || b <= at) continue;
            if (p.start >= b) break;
            if (p.start > at) add(at, p.start, 1);
            const double to = std::min(p.end, b);
            add(std::max(at, p.start), to, p.rate);
            at = to;
        }
        if (b > at || kept_.size() == before) add(at, b, 1);
    }
    // A cut at either end removes time without making a join.
    startMs_ = static_cast<double>(startMs);
    endMs_ = static_cast<double>(endMs);
    trimmed_ = !kept_.empty() && startMs < endMs &&
               (kept_.front().srcStart > startMs_ || kept_.back().srcEnd < endMs_);
    if (hasCuts_ || trimmed_) changesTime_ = true;
    totalOutMs_ = out;
}

double TimeMap::source(double forOutput) const {
    if (kept_.empty()) return forOutput;
    for (const Range& r : kept_) {
        if ((r.srcEnd - r.srcStart) / r.rate + r.outStart > forOutput) {
            return (forOutput - r.outStart) * r.rate + r.srcStart;
        }
    }
    return kept_.back().srcEnd;
}

std::optional<double> TimeMap::output(double src) const {
    if (kept_.empty()) return src;
    const Range& first = kept_.front();
    const Range& last = kept_.back();
    if (trimmed_ &&
        ((src >= startMs_ && src < first.srcStart) || (src > last.srcEnd && src <= endMs_))) {
        return std::nullopt;  // cut at an end of the range
    }
    if (src < first.srcStart) return (src - first.srcStart) / first.rate;
    for (const Range& r : kept_) {
        if (src < r.srcStart) return std::nullopt;  // inside the cut before r
        if (src <= r.srcEnd) return r.outStart + (src - r.srcStart) / r.rate;
    }
    return totalOutMs_ + (src - std::max(last.srcEnd, trimmed_ ? endMs_ : last.srcEnd)) / last.rate;
}

double TimeMap::outputOrJoin(double src) const {
    if (auto out = output(src)) return *out;
    for (const Range& r : kept_) {
        if (src < r.srcStart) return r.outStart;
    }
    return totalOutMs_;
}

}  // namespace marlune
