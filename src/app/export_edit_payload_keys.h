#pragma once

#include <string>
#include <vector>

#include "core/error.h"
#include "core/json.h"

namespace marlune {

// The keystroke overlay's part of the payloads of export_edit_payload.h. The editor's rules are
// web/js/keystroke_model.js (settleKeys, keysPayload); the two must change together.

// The key presses a project file recorded ("keys"): its [t, "label"] elements, others dropped.
Json recordedKeystrokes(const Json& project);

// The "keys" section for the saved edit `stored` (the project's "edit" member, or null): the
// overlay's settings settled as the editor restores them (a missing or damaged section is off),
// with the recorded presses as its "events"; null when the overlay is off or nothing was recorded.
Json savedKeysSection(const Json* stored, const Json& project);

// Completes the hand-written `file`'s "keys" section in `payload`: "enabled" defaults to true, and
// a section without "events" takes the recorded presses (with a note when there are none). Fails
// when "keys" is not an object.
Result<void> completeKeysSection(Json& payload, const Json& file, const Json& project,
                                 std::vector<std::string>& notes);

}  // namespace marlune
