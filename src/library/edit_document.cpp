#include "library/edit_document.h"

#include <glib.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

namespace marlune {

namespace {

// The value kinds of the edit document (see the header). They accept more than the command
// payload readers: booleans pass as numbers and the numbers 0 and 1 as booleans.

const Json* member(const Json& dict, std::string_view key) {
    if (!dict.is_object()) return nullptr;
    auto it = dict.find(key);
    return it == dict.end() ? nullptr : &*it;
}

std::optional<double> asNumber(const Json& v) {
    if (v.is_boolean()) return v.get<bool>() ? 1.0 : 0.0;
    if (!v.is_number()) return std::nullopt;
    double d = v.get<double>();
    // Parsed JSON never holds these, but a value built in code may; every consumer does arithmetic.
    if (!std::isfinite(d)) return std::nullopt;
    return d;
}

std::optional<int> asInteger(const Json& v) {
    auto d = asNumber(v);
    if (!d) return std::nullopt;
    double t = std::trunc(*d);
    // Converting an out-of-range double is undefined; such an index names no cursor shape anyway.
    if (t < std::numeric_limits<int>::min() || t > std::numeric_limits<int>::max()) {
        return std::nullopt;
    }
    return static_cast<int>(t);
}

std::optional<bool> asBoolean(const Json& v) {
    if (v.is_boolean()) return v.get<bool>();
    if (v.is_number()) {
        double d = v.get<double>();
        if (d == 1) return true;
        if (d == 0) return false;
    }
    return std::nullopt;
}

std::optional<double> numberValue(const Json& dict, std::string_view key) {
    const Json* v = member(dict, key);
    return v ? asNumber(*v) : std::nullopt;
}

double numberOr(const Json& dict, std::string_view key, double fallback) {
    return numberValue(dict, key).value_or(fallback);
}

bool booleanOr(const Json& dict, std::string_view key, bool fallback) {
    const Json* v = member(dict, key);
    if (!v) return fallback;
    return asBoolean(*v).value_or(fallback);
}

std::optional<std::string> stringValue(const Json& dict, std::string_view key) {
    const Json* v = member(dict, key);
    if (!v || !v->is_string()) return std::nullopt;
    return v->get<std::string>();
}

std::string stringOr(const Json& dict, std::string_view key, const std::string& fallback) {
    return stringValue(dict, key).value_or(fallback);
}

// Lower bound first, then upper bound: a NaN-free way to write "negative becomes lo, then above hi
// becomes hi".
double clampLowThenHigh(double v, double lo, double hi) {
    if (v < lo) v = lo;
    if (v > hi) v = hi;
    return v;
}

// Keeps the Unicode scalars of general category L, M or N and the hyphen-minus. Bytes that are not
// valid UTF-8 are dropped one at a time.
std::string alphanumericsAndHyphen(const std::string& text) {
    std::string out;
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        gunichar c = g_utf8_get_char_validated(p, end - p);
        if (c == static_cast<gunichar>(-1) || c == static_cast<gunichar>(-2)) {
            ++p;
            continue;
        }
        const char* next = g_utf8_next_char(p);
        bool keep = c == '-';
        switch (g_unichar_type(c)) {
            case G_UNICODE_UPPERCASE_LETTER:
            case G_UNICODE_LOWERCASE_LETTER:
            case G_UNICODE_TITLECASE_LETTER:
            case G_UNICODE_MODIFIER_LETTER:
            case G_UNICODE_OTHER_LETTER:
            case G_UNICODE_SPACING_MARK:
            case G_UNICODE_ENCLOSING_MARK:
            case G_UNICODE_NON_SPACING_MARK:
            case G_UNICODE_DECIMAL_NUMBER:
            case G_UNICODE_LETTER_NUMBER:
            case G_UNICODE_OTHER_NUMBER:
                keep = true;
                break;
            default:
                break;
        }
        if (keep) out.append(p, next);
        p = next;
    }
    return out;
}

// [t, fx, fy, ...] with three leading numbers.
std::optional<TrackPoint> trackPoint(const Json& element) {
    if (!element.is_array() || element.size() < 3) return std::nullopt;
    auto t = asNumber(element[0]);
    auto fx = asNumber(element[1]);
    auto fy = asNumber(element[2]);
    if (!t || !fx || !fy) return std::nullopt;
    return TrackPoint{*t, *fx, *fy};
}

bool allArrays(const Json& a) {
    return std::all_of(a.begin(), a.end(), [](const Json& e) { return e.is_array(); });
}

bool allObjects(const Json& a) {
    return std::all_of(a.begin(), a.end(), [](const Json& e) { return e.is_object(); });
}

}  // namespace

std::optional<ZoomSegment> ZoomSegment::fromDict(const Json& dict) {
    auto startMs = numberValue(dict, "startMs");
    auto endMs = numberValue(dict, "endMs");
    auto scale = numberValue(dict, "scale");
    if (!startMs || !endMs || !scale) return std::nullopt;
    ZoomSegment z;
    z.startMs = *startMs;
    z.endMs = *endMs;
    z.fx = clampLowThenHigh(numberOr(dict, "fx", 0.5), 0, 1);
    z.fy = clampLowThenHigh(numberOr(dict, "fy", 0.5), 0, 1);
    z.follow = booleanOr(dict, "follow", false);
    // Upper bound first for the scale.
    double s = std::min(*scale, 6.0);
    z.scale = std::max(s, 1.0);
    z.inMs = std::max(numberOr(dict, "inMs", defaultInMs), 100.0);
    z.outMs = std::max(numberOr(dict, "outMs", defaultOutMs), 100.0);
    return z;
}

std::optional<FrameSettings> FrameSettings::fromDict(const Json& dict) {
    auto type = stringValue(dict, "type");
    if (!type ||
        (*type != "wallpaper" && *type != "gradient" && *type != "color" && *type != "live")) {
        return std::nullopt;
    }
    FrameSettings f;
    f.type = *type;
    f.id = alphanumericsAndHyphen(stringOr(dict, "id", ""));
    f.from = stringOr(dict, "from", f.from);
    f.to = stringOr(dict, "to", f.to);
    f.hex = stringOr(dict, "hex", f.hex);
    f.angle = numberOr(dict, "angle", f.angle);
    f.paddingPct = clampLowThenHigh(numberOr(dict, "paddingPct", f.paddingPct), 0, 40);
    f.radiusPct = clampLowThenHigh(numberOr(dict, "radiusPct", f.radiusPct), 0, 20);
    f.shadowPct = clampLowThenHigh(numberOr(dict, "shadowPct", f.shadowPct), 0, 100);
    f.outlinePct = clampLowThenHigh(numberOr(dict, "outlinePct", f.outlinePct), 0, 4);
    return f;
}

std::optional<CursorFX> CursorFX::fromDict(const Json& dict) {
    const Json* path = member(dict, "path");
    if (!path || !path->is_array() || !allArrays(*path)) return std::nullopt;
    CursorFX c;
    c.path.reserve(path->size());
    for (const Json& e : *path) {
        auto p = trackPoint(e);
        if (!p) continue;
        int type = 0;
        if (e.size() >= 4) type = asInteger(e[3]).value_or(0);
        c.path.push_back(CursorSample{p->t, p->fx, p->fy, type});
    }
    if (c.path.empty()) return std::nullopt;

    if (const Json* caret = member(dict, "caret");
        caret && caret->is_array() && allArrays(*caret)) {
        for (const Json& e : *caret) {
            if (auto p = trackPoint(e)) c.caretPath.push_back(*p);
        }
    }
    if (const Json* clicks = member(dict, "clicks");
        clicks && clicks->is_array() && allObjects(*clicks)) {
        for (const Json& e : *clicks) {
            auto t = numberValue(e, "t");
            if (!t) continue;
            c.clicks.push_back(TrackPoint{*t, numberOr(e, "fx", 0.5), numberOr(e, "fy", 0.5)});
        }
    }

    c.size = clampLowThenHigh(numberOr(dict, "size", c.size), 1, 3);
    c.smooth = clampLowThenHigh(numberOr(dict, "smooth", c.smooth), 0, 1);
    c.ripple = booleanOr(dict, "ripple", c.ripple);
    c.style = stringOr(dict, "style", c.style);
    c.bounce = clampLowThenHigh(numberOr(dict, "bounce", c.bounce), 0, 1);
    c.motionBlur = clampLowThenHigh(numberOr(dict, "motionBlur", c.motionBlur), 0, 1);
    c.sway = clampLowThenHigh(numberOr(dict, "sway", c.sway), 0, 1);
    c.render = booleanOr(dict, "render", c.render);
    const Json* ahead = member(dict, "lookAhead");
    c.lookAhead = !(ahead && ((ahead->is_boolean() && !ahead->get<bool>()) ||
                              (ahead->is_string() && ahead->get<std::string>() == "off")));
    c.prepareLookups();
    return c;
}

std::optional<CursorFX::RawPosition> CursorFX::raw(double t) const {
    if (path.empty()) return std::nullopt;
    const CursorSample& first = path.front();
    const CursorSample& last = path.back();
    // Also catches a NaN time, which has no place on the track.
    if (!(t > first.t)) return RawPosition{first.fx, first.fy, first.type};
    if (t >= last.t) return RawPosition{last.fx, last.fy, last.type};
    // Here the path has at least two samples and t lies strictly between the ends.
    std::size_t lo = 0, hi = path.size() - 1;
    while (lo < hi - 1) {
        std::size_t mid = (lo + hi) / 2;
        if (path[mid].t <= t) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    const CursorSample& a = path[lo];
    const CursorSample& b = path[hi];
    // At least 1 ms apart, so duplicated time stamps do not divide by zero.
    double u = (t - a.t) / std::max(b.t - a.t, 1.0);
    if (!std::isfinite(u)) u = 0;  // only for time stamps near the limits of a double
    return RawPosition{a.fx + u * (b.fx - a.fx), a.fy + u * (b.fy - a.fy), a.type};
}

// Index of the caret and click tracks, for tracks that are not in time order.
struct CursorFX::Lookups {
    bool caretInOrder = true;
    bool clicksInOrder = true;
    // Caret: the samples' positions sorted by time (ties in array order), and for each prefix of
    // that order the largest array position in it: the last sample (array order) at or before a
    // time.
    std::vector<std::uint32_t> caretByTime;
    std::vector<std::uint32_t> caretLatest;
    // Clicks: positions sorted by time (ties in array order).
    std::vector<std::uint32_t> clicksByTime;
};

namespace {

bool inTimeOrder(const std::vector<TrackPoint>& track) {
    // Written as the negation, so that a NaN time counts as out of order.
    for (std::size_t i = 1; i < track.size(); ++i) {
        if (!(track[i - 1].t <= track[i].t)) return false;
    }
    return true;
}

std::vector<std::uint32_t> byTime(const std::vector<TrackPoint>& track) {
    std::vector<std::uint32_t> order(track.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
    // NaN times sort last, where no lookup reaches them.
    auto key = [&](std::uint32_t i) {
        double t = track[i].t;
        return std::isnan(t) ? std::numeric_limits<double>::infinity() : t;
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return key(a) < key(b); });
    return order;
}

}  // namespace

void CursorFX::prepareLookups() {
    auto l = std::make_shared<Lookups>();
    // Positions are kept in 32 bits: longer tracks than that are left to the scans.
    const std::size_t limit = std::numeric_limits<std::uint32_t>::max();
    l->caretInOrder = inTimeOrder(caretPath);
    if (!l->caretInOrder && caretPath.size() < limit) {
        l->caretByTime = byTime(caretPath);
        l->caretLatest.resize(l->caretByTime.size());
        std::uint32_t latest = 0;
        for (std::size_t k = 0; k < l->caretByTime.size(); ++k) {
            latest = std::max(latest, l->caretByTime[k]);
            l->caretLatest[k] = latest;
        }
    }
    l->clicksInOrder = inTimeOrder(clicks);
    if (!l->clicksInOrder && clicks.size() < limit) l->clicksByTime = byTime(clicks);
    lookups = std::move(l);
}

std::optional<CursorFX::Position> CursorFX::caret(double t) const {
    if (caretPath.empty() || !(caretPath.front().t <= t)) return std::nullopt;
    const TrackPoint* latest = nullptr;
    if (lookups && lookups->caretInOrder) {
        // The first sample later than t; the one before it is the latest at or before t.
        auto it = std::partition_point(caretPath.begin(), caretPath.end(),
                                       [t](const TrackPoint& s) { return s.t <= t; });
        latest = &*std::prev(it);
    } else if (lookups && !lookups->caretByTime.empty()) {
        const auto& order = lookups->caretByTime;
        auto it = std::partition_point(order.begin(), order.end(),
                                       [&](std::uint32_t i) { return caretPath[i].t <= t; });
        // Not empty: the first sample is at or before t.
        latest = &caretPath[lookups->caretLatest[static_cast<std::size_t>(it - order.begin()) - 1]];
    } else {
        for (const TrackPoint& s : caretPath) {
            if (s.t <= t) latest = &s;
        }
    }
    if (t - latest->t <= 900) return Position{latest->fx, latest->fy};
    return std::nullopt;
}

const TrackPoint* CursorFX::recentClick(double t, double withinMs) const {
    // The same comparisons as the condition itself, so the search and the check never disagree
    // by a rounding step.
    auto tooOld = [&](const TrackPoint& c) { return t - c.t > withinMs; };
    if (lookups && lookups->clicksInOrder) {
        auto it = std::partition_point(clicks.begin(), clicks.end(), tooOld);
        if (it == clicks.end() || !(t - it->t >= 0)) return nullptr;
        return &*it;
    }
    const TrackPoint* first = nullptr;
    if (lookups && !lookups->clicksByTime.empty()) {
        // The clicks of the window, in time order; the first of them in array order wins.
        const auto& order = lookups->clicksByTime;
        auto it = std::partition_point(order.begin(), order.end(),
                                       [&](std::uint32_t i) { return tooOld(clicks[i]); });
        for (; it != order.end() && t - clicks[*it].t >= 0; ++it) {
            if (!first || &clicks[*it] < first) first = &clicks[*it];
        }
        return first;
    }
    for (const TrackPoint& c : clicks) {
        if (!tooOld(c) && t - c.t >= 0) return &c;
    }
    return nullptr;
}

void CursorFX::forEachClickBetween(double fromMs, double toMs,
                                   const std::function<void(const TrackPoint&)>& fn) const {
    if (lookups && lookups->clicksInOrder) {
        auto first = std::partition_point(clicks.begin(), clicks.end(),
                                          [&](const TrackPoint& c) { return c.t < fromMs; });
        for (auto it = first; it != clicks.end() && it->t <= toMs; ++it) fn(*it);
        return;
    }
    if (lookups && !lookups->clicksByTime.empty()) {
        const auto& order = lookups->clicksByTime;
        auto it = std::partition_point(order.begin(), order.end(),
                                       [&](std::uint32_t i) { return clicks[i].t < fromMs; });
        std::vector<std::uint32_t> inWindow;
        for (; it != order.end() && clicks[*it].t <= toMs; ++it) inWindow.push_back(*it);
        std::sort(inWindow.begin(), inWindow.end());
        for (std::uint32_t i : inWindow) fn(clicks[i]);
        return;
    }
    for (const TrackPoint& c : clicks) {
        if (c.t >= fromMs && c.t <= toMs) fn(c);
    }
}

std::optional<WebcamFX> WebcamFX::fromDict(const Json& dict) {
    const Json* enabled = member(dict, "enabled");
    if (!enabled || asBoolean(*enabled) != true) return std::nullopt;
    auto file = stringValue(dict, "file");
    if (!file || file->empty() || !file->ends_with(".webcam.mp4")) return std::nullopt;
    WebcamFX w;
    w.file = *file;
    w.offsetMs = numberOr(dict, "offsetMs", w.offsetMs);
    w.mirror = booleanOr(dict, "mirror", w.mirror);
    w.positionPreset = stringOr(dict, "positionPreset", w.positionPreset);
    w.positionX = numberOr(dict, "positionX", w.positionX);
    w.positionY = numberOr(dict, "positionY", w.positionY);
    double size = numberOr(dict, "size", 40);
    w.width = numberOr(dict, "width", size);
    w.height = numberOr(dict, "height", size);
    w.cornerRadius = numberOr(dict, "cornerRadius", w.cornerRadius);
    w.shadow = numberOr(dict, "shadow", w.shadow);
    w.margin = numberOr(dict, "margin", w.margin);
    w.reactToZoom = booleanOr(dict, "reactToZoom", w.reactToZoom);
    w.shape = stringOr(dict, "shape", w.shape);
    return w;
}

std::optional<TimeStretch> TimeStretch::fromDict(const Json& dict, bool speed) {
    auto start = numberValue(dict, "startMs");
    auto end = numberValue(dict, "endMs");
    if (!start || !end || std::fabs(*start) > 9e15 || std::fabs(*end) > 9e15) return std::nullopt;
    TimeStretch t;
    t.startMs = static_cast<std::int64_t>(*start);
    t.endMs = static_cast<std::int64_t>(*end);
    if (speed) {
        auto rate = numberValue(dict, "rate");
        if (!rate) return std::nullopt;
        t.rate = std::clamp(*rate, kMinRate, kMaxRate);
    }
    return t;
}

std::optional<OutputShape> outputShapeNamed(std::string_view name) {
    if (name == "original") return OutputShape::original;
    if (name == "16:9") return OutputShape::wide;
    if (name == "9:16") return OutputShape::tall;
    if (name == "1:1") return OutputShape::square;
    if (name == "4:3") return OutputShape::classic;
    return std::nullopt;
}

namespace {

std::vector<TimeStretch> stretches(const Json& payload, std::string_view key, bool speed) {
    std::vector<TimeStretch> out;
    if (const Json* list = readArray(payload, key)) {
        for (const Json& e : *list) {
            if (!e.is_object()) continue;
            if (auto t = TimeStretch::fromDict(e, speed)) out.push_back(*t);
        }
    }
    return out;
}

}  // namespace

Result<ExportRequest> ExportRequest::fromPayload(const Json& payload) {
    auto name = readString(payload, "name");
    auto startMs = readInt(payload, "startMs");
    auto endMs = readInt(payload, "endMs");
    if (!name || !startMs || !endMs) return fail("Missing export parameters");
    ExportRequest r;
    r.name = std::move(*name);
    r.startMs = *startMs;
    r.endMs = *endMs;
    if (const Json* zooms = readArray(payload, "zooms"); zooms && allObjects(*zooms)) {
        for (const Json& e : *zooms) {
            if (auto z = ZoomSegment::fromDict(e)) r.zooms.push_back(*z);
        }
    }
    if (const Json* frame = readObject(payload, "frame")) r.frame = FrameSettings::fromDict(*frame);
    if (const Json* cursor = readObject(payload, "cursor")) r.cursor = CursorFX::fromDict(*cursor);
    if (const Json* webcam = readObject(payload, "webcam")) r.webcam = WebcamFX::fromDict(*webcam);
    if (const Json* keys = readObject(payload, "keys")) r.keys = KeystrokeFX::fromDict(*keys);
    if (const Json* audio = readObject(payload, "audio")) {
        r.micGain = std::clamp(numberOr(*audio, "mic", 1.0), 0.0, kMaxGain);
        r.systemGain = std::clamp(numberOr(*audio, "system", 1.0), 0.0, kMaxGain);
    }
    r.targetHeight = readInt(payload, "targetHeight").value_or(0);
    r.cuts = stretches(payload, "cuts", false);
    r.speeds = stretches(payload, "speeds", true);
    if (auto format = stringValue(payload, "format")) {
        if (*format == "gif") r.format = ExportFormat::gif;
        if (*format == "webm") r.format = ExportFormat::webm;
    }
    if (auto shape = stringValue(payload, "shape")) {
        r.shape = outputShapeNamed(*shape).value_or(OutputShape::original);
    }
    if (const Json* gif = readObject(payload, "gif")) {
        r.gif.fps = static_cast<int>(std::clamp(std::round(numberOr(*gif, "fps", r.gif.fps)),
                                                double(GifSettings::kMinFps),
                                                double(GifSettings::kMaxFps)));
        r.gif.width = static_cast<int>(
            std::clamp(std::round(numberOr(*gif, "width", r.gif.width)), 120.0, 3840.0));
    }
    return r;
}

}  // namespace marlune
