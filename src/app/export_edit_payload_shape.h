#pragma once

#include <string>

#include "core/json.h"

namespace marlune {

// The output shape of a saved edit as the editor restores it (web/js/edit_model.js: SHAPES; the
// two must change together): one of "original", "16:9", "9:16", "1:1", "4:3", else "original".
std::string settledShape(const Json* stored);

// A look (app/editor_looks.h) as a saved edit that holds only its styling, which the editor
// restores over the default edit as it applies the look to a new one (web/js/edit_model.js:
// withLook): whether the webcam shows stays the recording's. Null for a value that is not a look.
Json lookAsEdit(const Json& look);

// Why a hand-written edit's "shape" cannot be rendered, or an empty text when it can (none given,
// or one of the names).
std::string shapeProblem(const Json& file);

}  // namespace marlune
