#pragma once

#include <filesystem>
#include <optional>

namespace marlune::assets {

// Draws the five cursor packs and writes them to webRoot/cursors/<name>.json. With a preview
// folder, also writes cursors.png there: every pack at on-screen sizes on light and dark ground,
// and magnified with the hotspots marked. Throws std::runtime_error on failure, including a pack
// that the program's own loader would not accept whole.
void makeCursorPacks(const std::filesystem::path& webRoot,
                     const std::optional<std::filesystem::path>& previewDir);

}  // namespace marlune::assets
