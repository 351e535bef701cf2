#include "render/edited_time.h"

namespace marlune {

namespace {

double base(const TimeMap& map) {
    return map.kept().empty() ? 0 : map.kept().front().srcStart;
}

template <class Sample>
std::vector<Sample> mappedTrack(const std::vector<Sample>& track, const TimeMap& map) {
    std::vector<Sample> out;
    out.reserve(track.size());
    const double b = base(map);
    for (Sample s : track) {
        auto t = map.output(s.t);
        if (!t) continue;
        s.t = *t + b;
        out.push_back(s);
    }
    return out;
}

}  // namespace

TimeMap requestTimeMap(const ExportRequest& request, std::int64_t startMs, std::int64_t endMs) {
    std::vector<TimeMap::Cut> cuts;
    for (const TimeStretch& c : request.cuts) cuts.push_back({c.startMs, c.endMs});
    std::vector<TimeMap::Speed> speeds;
    for (const TimeStretch& s : request.speeds) speeds.push_back({s.startMs, s.endMs, s.rate});
    return TimeMap(startMs, endMs, std::move(cuts), std::move(speeds));
}

double editedMs(const TimeMap& map, double srcMs) {
    return map.outputOrJoin(srcMs) + base(map);
}

std::vector<ZoomSegment> editedZooms(const std::vector<ZoomSegment>& zooms, const TimeMap& map) {
    if (!map.changesTime()) return zooms;
    std::vector<ZoomSegment> out;
    for (ZoomSegment z : zooms) {
        const bool wasLong = z.endMs > z.startMs;
        z.startMs = editedMs(map, z.startMs);
        z.endMs = editedMs(map, z.endMs);
        if (wasLong && !(z.endMs > z.startMs)) continue;
        out.push_back(z);
    }
    return out;
}

std::optional<CursorFX> editedCursor(const std::optional<CursorFX>& cursor, const TimeMap& map) {
    if (!cursor || !map.changesTime()) return cursor;
    CursorFX c = *cursor;
    c.path = mappedTrack(cursor->path, map);
    // A pointer that only moved inside cuts still has a place: its last one before the first.
    if (c.path.empty()) {
        CursorSample s = cursor->path.front();
        s.t = base(map);
        c.path.push_back(s);
    }
    c.caretPath = mappedTrack(cursor->caretPath, map);
    c.clicks = mappedTrack(cursor->clicks, map);
    c.prepareLookups();
    return c;
}

}  // namespace marlune
