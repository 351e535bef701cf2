#pragma once

#include <string>

#include "core/json.h"

namespace marlune {

// The output shape of a saved edit as the editor restores it (web/js/edit_model.js: SHAPES; the
// two must change together): one of "original", "16:9", "9:16", "1:1", "4:3", else "original".
std::string settledShape(const Json* stored);

// Why a hand-written edit's "shape" cannot be rendered, or an empty text when it can (none given,
// or one of the names).
std::string shapeProblem(const Json& file);

}  // namespace marlune
