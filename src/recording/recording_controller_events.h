#pragma once

// What the parts of RecordingController (recording_controller*.cpp) share.

#include <string>

#include "core/json.h"

namespace marlune::recording_detail {

// The payload of a "notice" or "error" event.
inline Json messageData(const std::string& message) {
    Json data = Json::object();
    data["message"] = message;
    return data;
}

}  // namespace marlune::recording_detail
