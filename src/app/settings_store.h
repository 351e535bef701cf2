#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/json.h"
#include "core/key_value_store.h"

namespace marlune {

// What a "settings.set" means for the webcam bubble, given the webcam-enabled setting before and
// after the change and the payload that changed it.
enum class WebcamFollowUp { none, turnOn, turnOff, rebuild, zoom };
WebcamFollowUp webcamFollowUp(bool wasEnabled, bool isEnabled, const Json& payload);

// The user's recording and webcam preferences, one defaults key per setting. Nothing is cached:
// every read goes to the store and every write straight to it, with the defaults and coercions
// below applied. Thread-safe through the store.
class SettingsStore {
  public:
    explicit SettingsStore(std::shared_ptr<KeyValueStore> d) : d(std::move(d)) {}

    // 60 when exactly 60 is stored, else 30.
    int fps() const;
    void setFps(std::int64_t value);
    std::int64_t capHeight() const;  // default 1440, no clamping
    void setCapHeight(std::int64_t value);
    bool micEnabled() const;  // default true
    void setMicEnabled(bool value);
    bool systemAudioEnabled() const;  // default false
    void setSystemAudioEnabled(bool value);
    bool webcamEnabled() const;  // default false
    void setWebcamEnabled(bool value);
    std::string webcamCorner() const;  // default "br", not validated
    void setWebcamCorner(const std::string& value);
    std::string webcamSize() const;  // default "m", not validated
    void setWebcamSize(const std::string& value);
    bool webcamRing() const;  // default true
    void setWebcamRing(bool value);
    std::string webcamShape() const;  // "circle", "squircle" (default) or "wide"
    void setWebcamShape(const std::string& value);
    double webcamZoom() const;  // 1.0 to 2.0, default 1.0
    void setWebcamZoom(double value);
    bool hideWindow() const;  // default false
    void setHideWindow(bool value);
    bool showCursor() const;  // default true
    void setShowCursor(bool value);
    std::string cursorMode() const;  // "system" or "smooth" (default)
    void setCursorMode(const std::string& value);
    // The microphone's sound-server source; "" (the default) records the server's default one.
    std::string micInput() const;
    void setMicInput(const std::string& value);
    // Seconds counted down before a recording: 0, 3 (default) or 5; other values store 3.
    int countdownSeconds() const;
    void setCountdownSeconds(std::int64_t value);
    // Keystrokes: every key press, not only shortcuts and command keys. Default false.
    bool recordAllKeys() const;
    void setRecordAllKeys(bool value);

    // The screen-cast portal's newest restore token for "display" or "window" sources (Wayland),
    // so that recording the same source again does not ask; "" when none. Not a page setting.
    std::string screenCastRestoreToken(const std::string& kind) const;
    void setScreenCastRestoreToken(const std::string& kind, const std::string& token);

    // All sixteen settings as the page sees them (the countdown as "countdown").
    Json asDictionary() const;
    // Writes every setting present in the payload with the right JSON type, in the order above;
    // anything else is ignored.
    void apply(const Json& payload);

  private:
    bool boolOr(const char* key, bool fallback) const;
    std::string stringOr(const char* key, const char* fallback) const;

    std::shared_ptr<KeyValueStore> d;
};

}  // namespace marlune
