#pragma once

#include <filesystem>
#include <memory>

#include "core/error.h"
#include "platform/image/bgra_image.h"

namespace marlune {

struct GifWriterOptions {
    int width = 0;  // size of the GIF, and of the pictures given
    int height = 0;
    int fps = 15;  // pictures per second in the GIF
};

// The GIF's size for pictures of `picture`'s size shown `width` wide: the height keeps their
// shape, both made even.
PixelSize gifPictureSize(PixelSize picture, int width);

// An animated GIF that loops forever, made as FFmpeg's palettegen and paletteuse filters make
// one: the pictures are resampled to a steady rate, one palette of 256 colours is made from all
// of them, then each picture is dithered with it. The palette needs every picture, so they are
// held until finish(), which writes the file. One thread at a time.
class GifWriter {
  public:
    // Fails with FFmpeg's text when the filters or the GIF encoder are missing.
    static Result<GifWriter> create(const std::filesystem::path& path, GifWriterOptions options);

    GifWriter(GifWriter&&) noexcept;
    GifWriter& operator=(GifWriter&&) noexcept;
    ~GifWriter();

    // Adds a picture of the GIF's size shown from `timeSeconds` (growing from one picture to the
    // next).
    Result<void> add(const BgraPixels& image, double timeSeconds);
    // Makes the palette, writes every picture and closes the file; the last picture lasts until
    // `endSeconds`.
    Result<void> finish(double endSeconds);

    struct Impl;

  private:
    explicit GifWriter(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace marlune
