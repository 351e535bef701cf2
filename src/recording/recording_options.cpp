#include "recording/recording_options.h"

namespace marlune {

int countdownLength(std::optional<std::int64_t> asked, int fallback) {
    if (asked && (*asked == 0 || *asked == 3 || *asked == 5)) return static_cast<int>(*asked);
    return fallback;
}

std::optional<RecordingOptions> RecordingOptions::parse(const Json& payload,
                                                        const RecordingDefaults& defaults) {
    auto kind = readString(payload, "sourceKind");
    auto id = readUInt32(payload, "sourceID");
    if (!kind || !id) return std::nullopt;
    RecordingOptions o;
    o.sourceKind = std::move(*kind);
    o.sourceID = *id;
    if (o.sourceKind == "area") {
        const Json* a =
            payload.is_object() && payload.contains("area") ? &payload["area"] : nullptr;
        if (!a || !a->is_object()) return std::nullopt;
        auto x = readNumber(*a, "x"), y = readNumber(*a, "y");
        auto w = readNumber(*a, "width"), h = readNumber(*a, "height");
        if (!x || !y || !w || !h) return std::nullopt;
        o.area = Area{*x, *y, *w, *h};
    }
    o.fps = readInt(payload, "fps").value_or(defaults.fps) == 60 ? 60 : 30;
    o.capHeight = readInt(payload, "capHeight").value_or(defaults.capHeight);
    o.mic = readBool(payload, "mic").value_or(defaults.micEnabled);
    o.systemAudio = readBool(payload, "systemAudio").value_or(defaults.systemAudioEnabled);
    o.webcam = readBool(payload, "webcam").value_or(defaults.webcamEnabled);
    o.hideWindow = readBool(payload, "hideWindow").value_or(defaults.hideWindow);
    o.smoothCursor = readString(payload, "cursorMode").value_or(defaults.cursorMode) == "smooth";
    o.showCursor = defaults.showCursor;
    o.micInput = readString(payload, "micInput").value_or(defaults.micInput);
    o.countdownSeconds = countdownLength(readInt(payload, "countdown"), defaults.countdownSeconds);
    o.recordAllKeys = readBool(payload, "recordAllKeys").value_or(defaults.recordAllKeys);
    return o;
}

}  // namespace marlune
