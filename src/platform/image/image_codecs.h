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

// How finely a JPEG keeps colour: at half the resolution in both directions (4:2:0, the usual
// choice for photographs) or at full resolution (4:4:4, sharper coloured text and edges).
enum class JpegChroma { halved, full };

// JPEG file bytes for an image (alpha dropped, so premultiplied colours show as over black),
// `quality` 1–100 on libjpeg's scale. Nothing when the image is empty or the encoder fails. Any
// thread.
std::optional<std::vector<std::uint8_t>> encodeJpeg(const BgraImage& image, int quality,
                                                    JpegChroma chroma = JpegChroma::halved);
// Decodes JPEG file bytes to an opaque image; nothing when they are not a readable JPEG.
std::optional<BgraImage> decodeJpeg(std::span<const std::uint8_t> bytes);

inline constexpr int kDataUrlJpegQuality = 65;

// An image as "data:image/jpeg;base64,<standard Base64>": scaled to fit `maxWidth` (fittedSize:
// never enlarged), then JPEG-encoded at `quality` (by default 65, 0.65 on a 0–1 scale). Nothing
// when the image has no pixels or any step fails. Any thread.
std::optional<std::string> jpegDataURL(const BgraImage& image, int maxWidth,
                                       int quality = kDataUrlJpegQuality,
                                       JpegChroma chroma = JpegChroma::halved);

}  // namespace marlune
