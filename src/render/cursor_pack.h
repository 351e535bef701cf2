#pragma once

#include <array>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "render/surface.h"

namespace marlune {

// Cursor type names in index order. The index is the cursor type recorded with every cursor
// sample, and the key of a pack file's entries.
inline constexpr std::array<std::string_view, 9> packTypes = {
    "arrow",       "text",      "pointer",   "crosshair",   "open-hand",
    "closed-hand", "resize-ew", "resize-ns", "not-allowed",
};

// Pack images larger than this on either side are refused before they are decoded: a cursor never
// needs more, and a forged PNG header must not make us allocate gigabytes.
inline constexpr int kMaxCursorImageSide = 4096;

// One cursor image of a pack. `image` covers the logical box `width` × `height` whatever its pixel
// size: packs ship images drawn at several times their logical size so that they stay sharp when
// scaled. To draw the cursor at a displayed height h, stretch the image over
// (width × h / height) × h pixels and put the hotspot, scaled by h / height, on the cursor
// position. `width` and `height` are always positive.
struct CursorPackAsset {
    Surface image;  // ARGB32, never empty
    double width = 0;
    double height = 0;
    double hotspotX = 0;  // from the image's left edge, logical units
    double hotspotY = 0;  // from the image's top edge, logical units
};

// Cursor type index → asset. A loaded pack always holds index 0 ("arrow"), which stands in for
// every type the pack lacks.
using CursorPack = std::map<int, CursorPackAsset>;

// The pack file that a cursor style draws with ("system" → "macos.json", "tahoe",
// "tahoe-inverted", "figma", "dot" → their own name + ".json"); nothing for any other style.
std::optional<std::string> packFile(std::string_view style);

// Size factor of a style: packs other than "system" are drawn smaller than the system pack and the
// drawn cursors, so that their arrows come out at a similar size.
double styleSizeMultiplier(std::string_view style);

// Loads webRoot/"cursors"/file. Nothing when there is no web root, `file` is not a plain file name,
// the file is not a regular file inside the web root (a named pipe, a link leading out of it), is
// unreadable, or is not a JSON object whose values are all objects, or the pack has no
// usable "arrow". Entries under unknown names are ignored; an entry whose "dataUrl" is missing, is
// not Base64 of a PNG, or whose image is larger than kMaxCursorImageSide is skipped and the rest
// still load. "width"/"height" default to the PNG's pixel size (also when not positive),
// "hotspotX"/"hotspotY" to 0. Blocking file I/O; any thread.
std::optional<CursorPack> loadCursorPack(std::string_view file,
                                         const std::optional<std::filesystem::path>& webRoot);

// The pack held by the text of a pack file, by the rules above. A pure function of its input.
std::optional<CursorPack> parseCursorPack(std::string_view text);

// The cursor drawn in code when no pack loads, `height` pixels tall (callers ask for 4 × the
// displayed height and scale it down). "dot": a translucent white disc with a white ring, in a
// square of the truncated height, nothing for 4 pixels or less; its hotspot is the centre.
// "invert": a white arrow with a dark outline; every other style: a dark arrow with a white
// outline, in an image of truncated size (height × 20 / 28) × height, nothing unless both sides
// exceed 2 pixels; the arrow's hotspot is 0.075 × the width, 0.036 × the height from the top-left.
// Empty also for heights that are not finite or beyond cairo's image size limit. Any thread.
Surface arrowImage(std::string_view style, double height);

}  // namespace marlune
