#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"
#include "platform/image/bgra_image.h"

namespace marlune {

// Resamples an image to exactly width × height (bilinear, averaging when shrinking). Fails with
// the scaler's text. Any thread.
Result<BgraImage> scaleImage(const BgraImage& image, int width, int height);

// JPEG file bytes for an image (alpha dropped, so premultiplied colours show as over black),
// 4:2:0 chroma, `quality` 1–100 on libjpeg's scale. Nothing when the image is empty or the
// encoder fails. Any thread.
std::optional<std::vector<std::uint8_t>> encodeJpeg(const BgraImage& image, int quality);
// Decodes JPEG file bytes to an opaque image; nothing when they are not a readable JPEG.
std::optional<BgraImage> decodeJpeg(std::span<const std::uint8_t> bytes);

// An image as "data:image/jpeg;base64,<standard Base64>": scaled to fit `maxWidth` (fittedSize:
// never enlarged), then JPEG-encoded at quality 65 (0.65 on a 0–1 scale). Nothing when the image
// has no pixels or any step fails. Any thread.
std::optional<std::string> jpegDataURL(const BgraImage& image, int maxWidth);

inline constexpr int kDataUrlJpegQuality = 65;

}  // namespace marlune
