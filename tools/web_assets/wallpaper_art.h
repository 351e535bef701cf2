#pragma once

#include <filesystem>
#include <optional>

namespace marlune::assets {

// Paints the still wallpapers (webRoot/wallpapers/full/<id>.jpg and thumbs/<id>.jpg) and/or the
// looping live backgrounds (wallpapers/live/<id>.mp4, through the ffmpeg program, and their
// thumbnails), then writes wallpapers/index.json listing all of them. With a preview folder, also
// writes a contact sheet of the thumbnails there. Throws std::runtime_error on failure.
void makeWallpapers(const std::filesystem::path& webRoot, bool stills, bool live,
                    const std::optional<std::filesystem::path>& previewDir);

}  // namespace marlune::assets
