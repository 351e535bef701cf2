#include "app/settings_store.h"

#include <algorithm>

#include "recording/recording_options.h"

namespace marlune {

bool SettingsStore::boolOr(const char* key, bool fallback) const {
    return d->boolValue(key).value_or(fallback);
}

std::string SettingsStore::stringOr(const char* key, const char* fallback) const {
    auto v = d->value(key);
    return v && v->is_string() ? v->get<std::string>() : std::string(fallback);
}

int SettingsStore::fps() const {
    return d->integerValue("fps") == 60 ? 60 : 30;
}
void SettingsStore::setFps(std::int64_t value) {
    d->set("fps", value == 60 ? 60 : 30);
}

std::int64_t SettingsStore::capHeight() const {
    return d->integerValue("capHeight").value_or(1440);
}
void SettingsStore::setCapHeight(std::int64_t value) {
    d->set("capHeight", value);
}

bool SettingsStore::micEnabled() const {
    return boolOr("micEnabled", true);
}
void SettingsStore::setMicEnabled(bool value) {
    d->set("micEnabled", value);
}

bool SettingsStore::systemAudioEnabled() const {
    return boolOr("systemAudioEnabled", false);
}
void SettingsStore::setSystemAudioEnabled(bool value) {
    d->set("systemAudioEnabled", value);
}

bool SettingsStore::webcamEnabled() const {
    return boolOr("webcamEnabled", false);
}
void SettingsStore::setWebcamEnabled(bool value) {
    d->set("webcamEnabled", value);
}

std::string SettingsStore::webcamCorner() const {
    return stringOr("webcamCorner", "br");
}
void SettingsStore::setWebcamCorner(const std::string& value) {
    d->set("webcamCorner", value);
}

std::string SettingsStore::webcamSize() const {
    return stringOr("webcamSize", "m");
}
void SettingsStore::setWebcamSize(const std::string& value) {
    d->set("webcamSize", value);
}

bool SettingsStore::webcamRing() const {
    return boolOr("webcamRing", true);
}
void SettingsStore::setWebcamRing(bool value) {
    d->set("webcamRing", value);
}

std::string SettingsStore::webcamShape() const {
    return stringOr("webcamShape", "squircle");
}
void SettingsStore::setWebcamShape(const std::string& value) {
    bool known = value == "circle" || value == "squircle" || value == "wide";
    d->set("webcamShape", known ? value : "squircle");
}

double SettingsStore::webcamZoom() const {
    return d->doubleValue("webcamZoom").value_or(1.0);
}
void SettingsStore::setWebcamZoom(double value) {
    d->set("webcamZoom", std::clamp(value, 1.0, 2.0));
}

std::string SettingsStore::screenCastRestoreToken(const std::string& kind) const {
    return d->stringValue("ScreenCastRestoreToken." + kind).value_or("");
}

void SettingsStore::setScreenCastRestoreToken(const std::string& kind, const std::string& token) {
    d->set("ScreenCastRestoreToken." + kind, token);
}

bool SettingsStore::hideWindow() const {
    return boolOr("hideWindow", false);
}
void SettingsStore::setHideWindow(bool value) {
    d->set("hideWindow", value);
}

bool SettingsStore::showCursor() const {
    return boolOr("showCursor", true);
}
void SettingsStore::setShowCursor(bool value) {
    d->set("showCursor", value);
}

std::string SettingsStore::cursorMode() const {
    return stringOr("cursorMode", "smooth");
}
void SettingsStore::setCursorMode(const std::string& value) {
    d->set("cursorMode", value == "system" ? "system" : "smooth");
}

std::string SettingsStore::micInput() const {
    return stringOr("micInput", "");
}
void SettingsStore::setMicInput(const std::string& value) {
    d->set("micInput", value);
}

int SettingsStore::countdownSeconds() const {
    return countdownLength(d->integerValue("countdown"), 3);
}
void SettingsStore::setCountdownSeconds(std::int64_t value) {
    d->set("countdown", countdownLength(value, 3));
}

bool SettingsStore::recordAllKeys() const {
    return boolOr("recordAllKeys", false);
}
void SettingsStore::setRecordAllKeys(bool value) {
    d->set("recordAllKeys", value);
}

Json SettingsStore::asDictionary() const {
    Json s = Json::object();
    s["fps"] = fps();
    s["capHeight"] = capHeight();
    s["micEnabled"] = micEnabled();
    s["systemAudioEnabled"] = systemAudioEnabled();
    s["webcamEnabled"] = webcamEnabled();
    s["webcamCorner"] = webcamCorner();
    s["webcamSize"] = webcamSize();
    s["webcamRing"] = webcamRing();
    s["webcamShape"] = webcamShape();
    s["webcamZoom"] = webcamZoom();
    s["hideWindow"] = hideWindow();
    s["showCursor"] = showCursor();
    s["cursorMode"] = cursorMode();
    s["micInput"] = micInput();
    s["countdown"] = countdownSeconds();
    s["recordAllKeys"] = recordAllKeys();
    return s;
}

void SettingsStore::apply(const Json& p) {
    KeyValueStore::Batch batch(*d);
    if (auto v = readInt(p, "fps")) setFps(*v);
    if (auto v = readInt(p, "capHeight")) setCapHeight(*v);
    if (auto v = readBool(p, "micEnabled")) setMicEnabled(*v);
    if (auto v = readBool(p, "systemAudioEnabled")) setSystemAudioEnabled(*v);
    if (auto v = readBool(p, "webcamEnabled")) setWebcamEnabled(*v);
    if (auto v = readString(p, "webcamCorner")) setWebcamCorner(*v);
    if (auto v = readString(p, "webcamSize")) setWebcamSize(*v);
    if (auto v = readBool(p, "webcamRing")) setWebcamRing(*v);
    if (auto v = readString(p, "webcamShape")) setWebcamShape(*v);
    if (auto v = readNumber(p, "webcamZoom")) setWebcamZoom(*v);
    if (auto v = readBool(p, "hideWindow")) setHideWindow(*v);
    if (auto v = readBool(p, "showCursor")) setShowCursor(*v);
    if (auto v = readString(p, "cursorMode")) setCursorMode(*v);
    if (auto v = readString(p, "micInput")) setMicInput(*v);
    if (auto v = readInt(p, "countdown")) setCountdownSeconds(*v);
    if (auto v = readBool(p, "recordAllKeys")) setRecordAllKeys(*v);
}

WebcamFollowUp webcamFollowUp(bool wasEnabled, bool isEnabled, const Json& payload) {
    if (isEnabled != wasEnabled)
        return isEnabled ? WebcamFollowUp::turnOn : WebcamFollowUp::turnOff;
    if (!isEnabled) return WebcamFollowUp::none;
    for (const char* key : {"webcamCorner", "webcamSize", "webcamRing", "webcamShape"}) {
        if (payload.contains(key)) return WebcamFollowUp::rebuild;
    }
    return payload.contains("webcamZoom") ? WebcamFollowUp::zoom : WebcamFollowUp::none;
}

}  // namespace marlune
