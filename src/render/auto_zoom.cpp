#include "render/auto_zoom.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace marlune {

namespace {

// Region edges are whole milliseconds, so the shortest region is the ramps' length rounded up.
const double kMinLength = std::ceil(kMinLengthMs);

// A number a track may hold: finite, and not a boolean in disguise.
bool finiteNumber(const Json& v) {
    return v.is_number() && std::isfinite(v.get<double>());
}

double unit(double v) {
    return std::clamp(v, 0.0, 1.0);
}

// One burst of activity and, once placed, its region.
struct Burst {
    double first = 0, last = 0;  // times of the first and last event
    double x0 = 0, y0 = 0;       // where the first event happened
    double minX = 1, maxX = 0, minY = 1, maxY = 0;
    bool typing = false;
    double start = 0, end = 0;  // the region, whole ms

    static Burst of(const TrackPoint& p, bool typing) {
        Burst b{.first = p.t, .last = p.t, .x0 = p.fx, .y0 = p.fy, .typing = typing};
        b.add(p);
        return b;
    }
    void add(const TrackPoint& p) {
        last = std::max(last, p.t);
        minX = std::min(minX, p.fx);
        maxX = std::max(maxX, p.fx);
        minY = std::min(minY, p.fy);
        maxY = std::max(maxY, p.fy);
    }
    // The side of the square that holds every event, with `p` added.
    double spreadWith(const TrackPoint& p) const {
        return std::max(std::max(maxX, p.fx) - std::min(minX, p.fx),
                        std::max(maxY, p.fy) - std::min(minY, p.fy));
    }
    double spread() const { return std::max(maxX - minX, maxY - minY); }
    void join(const Burst& o) {
        last = std::max(last, o.last);
        minX = std::min(minX, o.minX);
        maxX = std::max(maxX, o.maxX);
        minY = std::min(minY, o.minY);
        maxY = std::max(maxY, o.maxY);
        typing = typing || o.typing;
        // The start stays: it may be where an earlier region was cut, and a later burst never
        // starts before an earlier one.
        end = std::max(end, o.end);
    }
};

std::vector<Burst> clickBursts(const std::vector<TrackPoint>& clicks) {
    std::vector<Burst> out;
    for (const auto& c : clicks) {
        if (!out.empty() && c.t - out.back().last <= kClickGapMs &&
            out.back().spreadWith(c) <= kClickSpread) {
            out.back().add(c);
        } else {
            out.push_back(Burst::of(c, false));
        }
    }
    return out;
}

std::vector<Burst> typingBursts(const std::vector<TrackPoint>& caret) {
    std::vector<Burst> out;
    int count = 0;
    const TrackPoint* prev = nullptr;
    for (const auto& s : caret) {
        const bool continues =
            prev && s.t - prev->t <= kTypingGapMs &&
            std::max(std::abs(s.fx - prev->fx), std::abs(s.fy - prev->fy)) <= kTypingJump;
        if (continues) {
            out.back().add(s);
            ++count;
        } else {
            if (prev && count < kMinTypingSamples) out.pop_back();
            out.push_back(Burst::of(s, true));
            count = 1;
        }
        prev = &s;
    }
    if (prev && count < kMinTypingSamples) out.pop_back();
    return out;
}

// Places the burst's region inside [0, hi], at least kMinLength long; false when the recording is
// too short for any region.
bool place(Burst& b, double hi) {
    if (hi < kMinLength) return false;
    b.start = std::max(0.0, std::round(b.first - kLeadMs));
    b.end = std::min(hi, std::round(b.last + kTailMs));
    if (b.end - b.start < kMinLength) {
        b.end = std::min(hi, b.start + kMinLength);
        b.start = b.end - kMinLength;
    }
    return true;
}

ZoomSegment segmentFor(const Burst& b, bool follow) {
    const double spread = b.spread();
    // A following camera keeps the activity in view by moving; a still one has to take it all in.
    const double wanted = follow ? 1 / (0.4 + 0.5 * spread) : 1 / (0.3 + spread);
    ZoomSegment z;
    z.startMs = b.start;
    z.endMs = b.end;
    z.scale = std::round(std::clamp(wanted, kMinScale, kMaxScale) * 20) / 20;
    z.follow = follow;
    z.fx = follow ? b.x0 : (b.minX + b.maxX) / 2;
    z.fy = follow ? b.y0 : (b.minY + b.maxY) / 2;
    return z;
}

}  // namespace

AutoZoomTracks AutoZoomTracks::fromProject(const Json& project, double durationMs) {
    AutoZoomTracks tracks;
    tracks.durationMs = std::isfinite(durationMs) && durationMs > 0 ? durationMs : 0;
    if (!project.is_object()) return tracks;
    if (auto it = project.find("clicks"); it != project.end() && it->is_array()) {
        for (const Json& c : *it) {
            if (!c.is_object()) continue;
            auto t = c.find("t"), x = c.find("fx"), y = c.find("fy");
            if (t == c.end() || x == c.end() || y == c.end() || !finiteNumber(*t) ||
                !finiteNumber(*x) || !finiteNumber(*y)) {
                continue;
            }
            tracks.clicks.push_back(
                {t->get<double>(), unit(x->get<double>()), unit(y->get<double>())});
        }
    }
    if (auto it = project.find("caretPath"); it != project.end() && it->is_array()) {
        for (const Json& s : *it) {
            if (!s.is_array() || s.size() < 3 || !finiteNumber(s[0]) || !finiteNumber(s[1]) ||
                !finiteNumber(s[2])) {
                continue;
            }
            tracks.caret.push_back(
                {s[0].get<double>(), unit(s[1].get<double>()), unit(s[2].get<double>())});
        }
    }
    if (auto it = project.find("cursorPath"); it != project.end()) {
        tracks.pointer = it->is_array() && !it->empty();
    }
    auto byTime = [](const TrackPoint& a, const TrackPoint& b) { return a.t < b.t; };
    std::stable_sort(tracks.clicks.begin(), tracks.clicks.end(), byTime);
    std::stable_sort(tracks.caret.begin(), tracks.caret.end(), byTime);
    return tracks;
}

std::vector<AutoZoom> proposeZooms(const AutoZoomTracks& tracks) {
    const double hi = tracks.durationMs > 0 ? std::floor(tracks.durationMs)
                                            : std::numeric_limits<double>::infinity();
    // Events outside the recording (a damaged file) propose nothing.
    auto inside = [&](const std::vector<TrackPoint>& track) {
        std::vector<TrackPoint> out;
        out.reserve(track.size());
        for (const auto& p : track) {
            if (p.t >= 0 && p.t <= hi) out.push_back(p);
        }
        return out;
    };
    std::vector<Burst> bursts = clickBursts(inside(tracks.clicks));
    for (auto& b : typingBursts(inside(tracks.caret))) bursts.push_back(b);
    std::stable_sort(bursts.begin(), bursts.end(),
                     [](const Burst& a, const Burst& b) { return a.first < b.first; });

    std::vector<Burst> regions;
    for (auto& b : bursts) {
        if (!place(b, hi)) return {};
        if (!regions.empty()) {
            Burst& p = regions.back();
            if (b.start < p.end + kJoinGapMs) {
                const double joinedEnd = std::max(p.end, b.end);
                const double lo = p.start + kMinLength, top = b.end - kMinLength;
                if (b.end <= p.end || joinedEnd - p.start <= kMaxJoinMs || lo > top) {
                    p.join(b);
                    continue;
                }
                // Too long to join: the two meet between their activities.
                const double cut = std::round(std::clamp((p.last + b.first) / 2, lo, top));
                p.end = cut;
                b.start = cut;
            }
        }
        regions.push_back(b);
    }

    std::vector<AutoZoom> out;
    out.reserve(regions.size());
    for (const auto& r : regions) out.push_back({segmentFor(r, tracks.pointer), r.typing});
    return out;
}

Json autoZoomReply(const std::vector<AutoZoom>& zooms) {
    Json list = Json::array();
    for (const auto& [z, typing] : zooms) {
        list.push_back(Json{{"startMs", static_cast<std::int64_t>(z.startMs)},
                            {"endMs", static_cast<std::int64_t>(z.endMs)},
                            {"scale", z.scale},
                            {"fx", z.fx},
                            {"fy", z.fy},
                            {"follow", z.follow},
                            {"inMs", z.inMs},
                            {"outMs", z.outMs},
                            {"typing", typing}});
    }
    return Json{{"zooms", std::move(list)}};
}

}  // namespace marlune
