#include "app/export_edit_payload.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <span>
#include <string_view>

#include "app/export_edit_payload_keys.h"
#include "app/export_edit_payload_shape.h"
#include "app/export_edit_payload_stretches.h"
#include "library/edit_document.h"

namespace marlune {

namespace {

// ---- The page's value rules ----------------------------------------------------------------
// JavaScript's: a number is a finite JSON number (booleans are not), Math.round rounds halves up.

bool isNumber(const Json* v) {
    return v && v->is_number() && std::isfinite(v->get<double>());
}

double jsRound(double v) {
    return std::floor(v + 0.5);
}

// Math.min(Math.max(v, lo), hi).
double jsClamp(double v, double lo, double hi) {
    return std::min(std::max(v, lo), hi);
}

// Whole values as JSON integers, as the page's JSON.stringify writes them.
Json number(double v) {
    if (v == std::trunc(v) && std::fabs(v) < 9.0e15) return Json(static_cast<std::int64_t>(v));
    return Json(v);
}

const Json* member(const Json& object, std::string_view key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

bool isColour(const std::string& s) {
    return s.size() == 7 && s[0] == '#' &&
           std::all_of(s.begin() + 1, s.end(), [](unsigned char c) { return std::isxdigit(c); });
}

// /^[\p{L}\p{M}\p{N}-]+$/u: the export's decoder keeps exactly those characters of a background
// name, so a name is valid when the decoder keeps all of it.
bool isName(const std::string& s) {
    if (s.empty()) return false;
    auto frame = FrameSettings::fromDict(Json{{"type", "color"}, {"id", s}});
    return frame && frame->id == s;
}

enum class Kind { number, boolean, choice, colour, name };

struct Setting {
    std::string_view key;
    Kind kind;
    Json value;  // the default
    double min = 0;
    double max = 0;
    std::span<const std::string_view> choices = {};
};

constexpr std::array<std::string_view, 5> kBackgroundTypes = {"none", "wallpaper", "gradient",
                                                              "color", "live"};
constexpr std::array<std::string_view, 7> kCursorStyles = {
    "arrow", "system", "tahoe", "tahoe-inverted", "figma", "dot", "invert"};
constexpr std::array<std::string_view, 3> kWebcamShapes = {"squircle", "circle", "wide"};
constexpr std::array<std::string_view, 10> kWebcamPlaces = {
    "top-left",     "top-center",  "top-right",     "center-left",  "center",
    "center-right", "bottom-left", "bottom-center", "bottom-right", "custom"};
constexpr std::array<std::int64_t, 5> kOutputHeights = {2160, 1440, 1080, 720, 480};
constexpr double kMinRangeMs = 500;
constexpr double kMinZoomMs = 300;

using Section = std::vector<Setting>;

const Section& frameSection() {
    static const Section s = {
        {"type", Kind::choice, "wallpaper", 0, 0, kBackgroundTypes},
        {"id", Kind::name, "aurora"},
        {"from", Kind::colour, "#7f5af0"},
        {"to", Kind::colour, "#2cb1bc"},
        {"angle", Kind::number, 160, 0, 360},
        {"hex", Kind::colour, "#1b1a26"},
        {"paddingPct", Kind::number, 12, 0, 40},
        {"radiusPct", Kind::number, 3, 0, 20},
        {"shadowPct", Kind::number, 45, 0, 100},
        {"outlinePct", Kind::number, 0, 0, 4},
    };
    return s;
}

const Section& cursorSection() {
    static const Section s = {
        {"render", Kind::boolean, true},
        {"style", Kind::choice, "arrow", 0, 0, kCursorStyles},
        {"size", Kind::number, 2, 1, 3},
        {"smooth", Kind::number, 0.5, 0, 1},
        {"ripple", Kind::boolean, true},
        {"bounce", Kind::number, 0.5, 0, 1},
        {"motionBlur", Kind::number, 0.4, 0, 1},
        {"sway", Kind::number, 0.3, 0, 1},
    };
    return s;
}

const Section& webcamSection() {
    static const Section s = {
        {"enabled", Kind::boolean, true},
        {"shape", Kind::choice, "squircle", 0, 0, kWebcamShapes},
        {"size", Kind::number, 40, 10, 60},
        {"positionPreset", Kind::choice, "bottom-right", 0, 0, kWebcamPlaces},
        {"positionX", Kind::number, 1, 0, 1},
        {"positionY", Kind::number, 1, 0, 1},
        {"cornerRadius", Kind::number, nullptr, 0, 200},  // null: the shape's own corners
        {"shadow", Kind::number, 0.67, 0, 1},
        {"margin", Kind::number, 24, 0, 160},
        {"mirror", Kind::boolean, true},
        {"reactToZoom", Kind::boolean, true},
    };
    return s;
}

const Section& audioSection() {
    static const Section s = {
        {"mic", Kind::number, 1, 0, 2},
        {"system", Kind::number, 1, 0, 2},
    };
    return s;
}

// One setting read from `raw` (null when absent), or `fallback`.
Json settle(const Setting& s, const Json* raw, const Json& fallback) {
    switch (s.kind) {
        case Kind::number:
            if (isNumber(raw)) return number(jsClamp(raw->get<double>(), s.min, s.max));
            break;
        case Kind::boolean:
            if (raw && raw->is_boolean()) return *raw;
            break;
        case Kind::choice:
            if (raw && raw->is_string() &&
                std::find(s.choices.begin(), s.choices.end(), raw->get<std::string>()) !=
                    s.choices.end()) {
                return *raw;
            }
            break;
        case Kind::colour:
            if (raw && raw->is_string() && isColour(raw->get<std::string>())) {
                std::string c = raw->get<std::string>();
                std::transform(c.begin(), c.end(), c.begin(), [](unsigned char ch) {
                    return static_cast<char>(std::tolower(ch));
                });
                return c;
            }
            break;
        case Kind::name:
            if (raw && raw->is_string() && isName(raw->get<std::string>())) return *raw;
            break;
    }
    return fallback;
}

// Every setting of `section` read from `raw` over `base` (a settled section, or an empty object).
Json settleSection(const Section& section, const Json& raw, const Json& base = Json::object()) {
    Json out = Json::object();
    for (const Setting& s : section) {
        const Json* fallback = member(base, s.key);
        out[std::string(s.key)] = settle(s, member(raw, s.key), fallback ? *fallback : s.value);
    }
    return out;
}

// ---- The recording's own tracks, as the project file holds them ------------------------------

struct Tracks {
    Json cursorPath = Json::array();
    Json caretPath = Json::array();
    Json clicks = Json::array();
    const Json* webcam = nullptr;  // the project's "webcam" entry, when it names a webcam movie
};

Json trackSamples(const Json* v) {
    Json out = Json::array();
    if (!v || !v->is_array()) return out;
    for (const Json& s : *v) {
        if (s.is_array() && s.size() >= 3 && isNumber(&s[0]) && isNumber(&s[1]) &&
            isNumber(&s[2])) {
            out.push_back(s);
        }
    }
    return out;
}

Tracks projectTracks(const Json& project) {
    Tracks t;
    t.cursorPath = trackSamples(member(project, "cursorPath"));
    t.caretPath = trackSamples(member(project, "caretPath"));
    if (const Json* clicks = member(project, "clicks"); clicks && clicks->is_array()) {
        for (const Json& c : *clicks) {
            if (c.is_object() && isNumber(member(c, "t"))) t.clicks.push_back(c);
        }
    }
    if (const Json* w = member(project, "webcam"); w && w->is_object()) {
        const Json* file = member(*w, "file");
        if (file && file->is_string() && file->get<std::string>().ends_with(".webcam.mp4")) {
            t.webcam = w;
        }
    }
    return t;
}

// ---- The edit ----------------------------------------------------------------------------

// The zooms of an edit, as the editor keeps them.
struct Zoom {
    double startMs = 0;
    double endMs = 0;
    double scale = 2;
    double fx = 0.5;
    double fy = 0.5;
    std::string follow = "fixed";  // "fixed", "cursor" or "caret"
    double inMs = ZoomSegment::defaultInMs;
    double outMs = ZoomSegment::defaultOutMs;
};

struct Edit {
    double startMs = 0;
    double endMs = 0;
    std::vector<Zoom> zooms;
    Json frame, cursor, webcam, audio;
    std::int64_t targetHeight = 0;
    Json cuts = Json::array(), speeds = Json::array();
    std::string shape = "original";
};

double wholeDuration(std::int64_t durationMs) {
    return static_cast<double>(std::max<std::int64_t>(durationMs, 0));
}

Edit defaultEdit(const Tracks& tracks, const EditPayloadContext& context) {
    Edit e;
    e.endMs = wholeDuration(context.durationMs);
    e.frame = settleSection(frameSection(), Json::object());
    if (isName(context.wallpaper)) e.frame["id"] = context.wallpaper;
    e.cursor = settleSection(cursorSection(), Json::object());
    // The webcam as it was recorded: on, in the shape chosen for the bubble.
    Json webcam = Json{{"enabled", false}};
    if (tracks.webcam) {
        webcam = Json{{"enabled", true}};
        if (const Json* shape = member(*tracks.webcam, "shape")) webcam["shape"] = *shape;
        if (const Json* width = member(*tracks.webcam, "width"); isNumber(width)) {
            webcam["size"] = *width;
        }
    }
    e.webcam = settleSection(webcamSection(), webcam);
    e.audio = settleSection(audioSection(), Json::object());
    return e;
}

void clampRange(Edit& e, const Json& range, std::int64_t durationMs) {
    const double duration = wholeDuration(durationMs);
    const double gap = std::min(kMinRangeMs, duration);
    const Json* start = member(range, "startMs");
    const Json* end = member(range, "endMs");
    e.startMs = jsClamp(jsRound(isNumber(start) ? start->get<double>() : 0), 0, duration - gap);
    e.endMs =
        jsClamp(jsRound(isNumber(end) ? end->get<double>() : duration), e.startMs + gap, duration);
}

// Inside the recording, at least kMinZoomMs long, in time order, none overlapping another (of two
// that overlap, the earlier stays).
std::vector<Zoom> settleZooms(const Json* list, std::int64_t durationMs) {
    const double duration = wholeDuration(durationMs);
    struct Usable {
        const Json* raw;
        double startMs, endMs;
    };
    std::vector<Usable> usable;
    if (list && list->is_array()) {
        for (const Json& z : *list) {
            if (!z.is_object() || !isNumber(member(z, "startMs")) ||
                !isNumber(member(z, "endMs"))) {
                continue;
            }
            double s = jsClamp(jsRound(z["startMs"].get<double>()), 0, duration);
            double e = jsClamp(jsRound(z["endMs"].get<double>()), 0, duration);
            if (e - s >= kMinZoomMs) usable.push_back({&z, s, e});
        }
    }
    std::stable_sort(usable.begin(), usable.end(),
                     [](const Usable& a, const Usable& b) { return a.startMs < b.startMs; });
    std::vector<Zoom> out;
    for (const Usable& u : usable) {
        if (!out.empty() && u.startMs < out.back().endMs) continue;
        Zoom z;
        z.startMs = u.startMs;
        z.endMs = u.endMs;
        if (const Json* v = member(*u.raw, "scale"); isNumber(v)) {
            z.scale = jsClamp(v->get<double>(), 1, 6);
        }
        if (const Json* v = member(*u.raw, "fx"); isNumber(v))
            z.fx = jsClamp(v->get<double>(), 0, 1);
        if (const Json* v = member(*u.raw, "fy"); isNumber(v))
            z.fy = jsClamp(v->get<double>(), 0, 1);
        if (const Json* v = member(*u.raw, "follow"); v && v->is_string()) {
            const std::string f = v->get<std::string>();
            if (f == "fixed" || f == "cursor" || f == "caret") z.follow = f;
        }
        if (const Json* v = member(*u.raw, "inMs"); isNumber(v))
            z.inMs = jsClamp(v->get<double>(), 100, 5000);
        if (const Json* v = member(*u.raw, "outMs"); isNumber(v))
            z.outMs = jsClamp(v->get<double>(), 100, 5000);
        out.push_back(std::move(z));
    }
    return out;
}

Edit restoreEdit(const Json& stored, const Tracks& tracks, const EditPayloadContext& context) {
    const Edit base = defaultEdit(tracks, context);
    Edit e = base;
    if (const Json* range = member(stored, "range"); range && range->is_object()) {
        clampRange(e, *range, context.durationMs);
    }
    e.zooms = settleZooms(member(stored, "zooms"), context.durationMs);
    auto section = [&](std::string_view key) {
        const Json* raw = member(stored, key);
        return raw ? *raw : Json();
    };
    e.frame = settleSection(frameSection(), section("frame"), base.frame);
    e.cursor = settleSection(cursorSection(), section("cursor"), base.cursor);
    e.webcam = settleSection(webcamSection(), section("webcam"), base.webcam);
    e.audio = settleSection(audioSection(), section("audio"), base.audio);
    e.targetHeight = 0;
    if (const Json* h = member(stored, "targetHeight"); isNumber(h)) {
        const double v = h->get<double>();
        for (std::int64_t allowed : kOutputHeights) {
            if (v == static_cast<double>(allowed)) e.targetHeight = allowed;
        }
    }
    e.cuts = settleStretches(member(stored, "cuts"), context.durationMs, false);
    e.speeds = settleStretches(member(stored, "speeds"), context.durationMs, true);
    e.shape = settledShape(member(stored, "shape"));
    // No webcam movie beside the recording: nothing to show, whatever was saved.
    if (!tracks.webcam) e.webcam["enabled"] = false;
    return e;
}

// ---- The payload -------------------------------------------------------------------------

// The caret samples inside the zooms that follow the caret (`caretZoom` says which); a zoom that
// follows the pointer sees none, since the camera goes to a recent caret whenever there is one.
template <class IsCaretZoom>
Json caretSamplesInside(const Json& caretPath, const std::vector<ZoomSegment>& zooms,
                        IsCaretZoom caretZoom) {
    Json out = Json::array();
    for (const Json& s : caretPath) {
        const double t = s[0].get<double>();
        for (std::size_t i = 0; i < zooms.size(); ++i) {
            if (caretZoom(i) && zooms[i].startMs <= t && t <= zooms[i].endMs) {
                out.push_back(s);
                break;
            }
        }
    }
    return out;
}

struct WebcamLook {
    double cornerRadius;
    double aspect;
};

WebcamLook webcamLook(const std::string& shape) {
    if (shape == "circle") return {999, 1};
    if (shape == "wide") return {40, 9.0 / 16.0};
    return {90, 1};
}

Json exportPayload(const Edit& edit, const Tracks& tracks, const std::string& name) {
    Json payload = Json::object();
    payload["name"] = name;
    payload["startMs"] = number(edit.startMs);
    payload["endMs"] = number(edit.endMs);
    Json zooms = Json::array();
    std::vector<ZoomSegment> segments;
    for (const Zoom& z : edit.zooms) {
        zooms.push_back(Json{{"startMs", number(z.startMs)},
                             {"endMs", number(z.endMs)},
                             {"scale", number(z.scale)},
                             {"fx", number(z.fx)},
                             {"fy", number(z.fy)},
                             {"follow", z.follow != "fixed"},
                             {"inMs", number(z.inMs)},
                             {"outMs", number(z.outMs)}});
        segments.push_back(ZoomSegment{.startMs = z.startMs, .endMs = z.endMs});
    }
    payload["zooms"] = std::move(zooms);
    if (edit.frame["type"] != "none") payload["frame"] = edit.frame;
    if (!tracks.cursorPath.empty()) {
        const Json& c = edit.cursor;
        payload["cursor"] = Json{
            {"path", tracks.cursorPath},
            {"caret",
             caretSamplesInside(tracks.caretPath, segments,
                                [&](std::size_t i) { return edit.zooms[i].follow == "caret"; })},
            {"clicks", tracks.clicks},
            {"size", c["size"]},
            {"smooth", c["smooth"]},
            {"ripple", c["ripple"]},
            {"style", c["style"]},
            {"bounce", c["bounce"]},
            {"motionBlur", c["motionBlur"]},
            {"sway", c["sway"]},
            {"render", c["render"]},
        };
    }
    if (tracks.webcam && edit.webcam["enabled"] == true) {
        const Json& w = edit.webcam;
        const WebcamLook look = webcamLook(w["shape"].get<std::string>());
        const double size = w["size"].get<double>();
        const Json* offset = member(*tracks.webcam, "offsetMs");
        payload["webcam"] = Json{
            {"enabled", true},
            {"file", (*tracks.webcam)["file"]},
            {"offsetMs", isNumber(offset) ? *offset : Json(0)},
            {"mirror", w["mirror"]},
            {"positionPreset", w["positionPreset"]},
            {"positionX", w["positionX"]},
            {"positionY", w["positionY"]},
            {"width", w["size"]},
            {"height", number(jsRound(size * look.aspect * 100) / 100)},
            // A circle is round whatever was chosen.
            {"cornerRadius", w["shape"] == "circle" || !w["cornerRadius"].is_number()
                                 ? number(look.cornerRadius)
                                 : w["cornerRadius"]},
            {"shadow", w["shadow"]},
            {"margin", w["margin"]},
            {"reactToZoom", w["reactToZoom"]},
            {"shape", w["shape"]},
        };
    }
    payload["audio"] = Json{{"mic", edit.audio["mic"]}, {"system", edit.audio["system"]}};
    payload["targetHeight"] = edit.targetHeight;
    // Only when chosen, so that an edit without them sends what it always sent.
    if (!edit.cuts.empty()) payload["cuts"] = edit.cuts;
    if (!edit.speeds.empty()) payload["speeds"] = edit.speeds;
    if (edit.shape != "original") payload["shape"] = edit.shape;
    return payload;
}

constexpr auto kPayloadKeys = std::to_array<std::string_view>(
    {"name", "startMs", "endMs", "zooms", "frame", "cursor", "webcam", "audio", "targetHeight",
     "cuts", "speeds", "format", "gif", "shape", "keys"});

}  // namespace

Json savedEditPayload(const Json& project, const EditPayloadContext& context) {
    const Tracks tracks = projectTracks(project);
    const Json* stored = member(project, "edit");
    const Json looked = lookAsEdit(context.look);
    if (!(stored && stored->is_object()) && looked.is_object()) stored = &looked;
    const Edit edit = stored && stored->is_object() ? restoreEdit(*stored, tracks, context)
                                                    : defaultEdit(tracks, context);
    Json payload = exportPayload(edit, tracks, context.name);
    if (Json keys = savedKeysSection(stored, project); !keys.is_null()) payload["keys"] = keys;
    return payload;
}

Result<Json> completeEditPayload(const Json& file, const Json& project,
                                 const EditPayloadContext& context,
                                 std::vector<std::string>& notes) {
    if (!file.is_object()) {
        return fail("it holds " + jsonKind(file) +
                    "; an edit is a JSON object like the one "
                    "`--print-edit` writes");
    }
    for (const auto& [key, value] : file.items()) {
        if (std::find(kPayloadKeys.begin(), kPayloadKeys.end(), key) == kPayloadKeys.end()) {
            notes.push_back("ignoring the unknown key “" + key + "”");
        }
    }
    auto mustBe = [&](std::string_view key, bool object) -> Result<void> {
        const Json* v = member(file, key);
        if (!v || (object ? v->is_object() : v->is_array())) return {};
        return fail("“" + std::string(key) + "” must be " +
                    (object ? "an object" : "an array of objects") + ", not " + jsonKind(*v));
    };
    for (std::string_view key : {"frame", "cursor", "webcam", "audio"}) {
        if (auto ok = mustBe(key, true); !ok) return std::unexpected(ok.error());
    }
    if (auto ok = mustBe("zooms", false); !ok) return std::unexpected(ok.error());
    if (auto problem = shapeProblem(file); !problem.empty()) return fail(problem);
    for (std::string_view key : {"cuts", "speeds"}) {
        if (const Json* v = member(file, key)) {
            if (auto problem = stretchesProblem(*v, key); !problem.empty()) return fail(problem);
        }
    }
    for (std::string_view key : {"startMs", "endMs", "targetHeight"}) {
        if (member(file, key) && !readInt(file, key)) {
            return fail("“" + std::string(key) + "” must be a whole number" +
                        (key == "targetHeight" ? " of pixels" : " of milliseconds"));
        }
    }

    // The top-level keys in the payload's own order, the recording's name first.
    Json payload = Json::object();
    payload["name"] = context.name;
    payload["startMs"] = member(file, "startMs") ? file["startMs"] : Json(0);
    payload["endMs"] = member(file, "endMs") ? file["endMs"] : Json(context.durationMs);
    for (const auto& [key, value] : file.items()) {
        if (key != "name" && key != "startMs" && key != "endMs") payload[key] = value;
    }

    std::vector<ZoomSegment> zooms;
    if (const Json* list = member(file, "zooms")) {
        for (std::size_t i = 0; i < list->size(); ++i) {
            auto zoom = (*list)[i].is_object() ? ZoomSegment::fromDict((*list)[i]) : std::nullopt;
            if (!zoom) {
                return fail("zoom " + std::to_string(i + 1) +
                            " of “zooms” needs the numbers "
                            "“startMs”, “endMs” and “scale”");
            }
            zooms.push_back(*zoom);
        }
    }
    if (const Json* frame = member(file, "frame"); frame && !FrameSettings::fromDict(*frame)) {
        return fail(
            "“frame” needs a “type”: \"wallpaper\", \"gradient\", \"color\" or \"live\" "
            "(leave “frame” out for the recording alone)");
    }

    const Tracks tracks = projectTracks(project);
    const Json* cursor = member(file, "cursor");
    if (!cursor || !member(*cursor, "path")) {
        Json filled = cursor ? *cursor : Json::object();
        if (tracks.cursorPath.empty()) {
            if (cursor)
                notes.push_back(
                    "no pointer was recorded with this recording: the cursor is not drawn");
        } else {
            filled["path"] = tracks.cursorPath;
            if (!member(filled, "caret")) {
                filled["caret"] = caretSamplesInside(
                    tracks.caretPath, zooms, [&](std::size_t i) { return zooms[i].follow; });
            }
            if (!member(filled, "clicks")) filled["clicks"] = tracks.clicks;
            payload["cursor"] = std::move(filled);
        }
    } else if (!CursorFX::fromDict(*cursor)) {
        return fail(
            "“cursor” needs a “path” of [t, fx, fy] samples (or none, for the recorded one)");
    }

    if (const Json* webcam = member(file, "webcam")) {
        Json filled = *webcam;
        if (!member(filled, "enabled")) filled["enabled"] = true;
        // Off when the decoder would not read "enabled" as true; a file is then never looked at.
        const bool on =
            WebcamFX::fromDict(Json{{"enabled", filled["enabled"]}, {"file", "x.webcam.mp4"}})
                .has_value();
        if (on && !member(filled, "file")) {
            if (tracks.webcam) {
                filled["file"] = (*tracks.webcam)["file"];
                if (const Json* offset = member(*tracks.webcam, "offsetMs");
                    isNumber(offset) && !member(filled, "offsetMs")) {
                    filled["offsetMs"] = *offset;
                }
            } else {
                notes.push_back(
                    "no webcam was recorded with this recording: the webcam is not shown");
            }
        } else if (on && !WebcamFX::fromDict(filled)) {
            return fail(
                "“webcam” “file” must name a webcam movie in the recordings folder "
                "(“….webcam.mp4”)");
        }
        payload["webcam"] = std::move(filled);
    }
    if (auto ok = completeKeysSection(payload, file, project, notes); !ok) {
        return std::unexpected(ok.error());
    }
    return payload;
}

}  // namespace marlune
