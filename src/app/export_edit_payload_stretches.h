#pragma once

#include <cstdint>

#include "core/json.h"

namespace marlune {

// The cuts or speeds of a saved edit as the editor restores them (web/js/edit_model.js:
// settleStretches; the two must change together): elements without numeric "startMs" and "endMs"
// dropped, edges rounded and kept inside the recording, stretches under 100 ms dropped, a speed's
// "rate" clamped to 1.25–8 (2 when missing), in time order, and of two that overlap the earlier
// kept. An empty array for anything else.
Json settleStretches(const Json* list, std::int64_t durationMs, bool speed);

// Why a hand-written "cuts" or "speeds" (`key`) cannot be rendered, or an empty text when it can:
// it must be an array of objects with numeric "startMs" and "endMs" (and "rate" for speeds).
std::string stretchesProblem(const Json& list, std::string_view key);

}  // namespace marlune
