#pragma once

#include <filesystem>
#include <memory>

#include "core/error.h"
#include "platform/image/bgra_image.h"

namespace marlune {

struct GifWriterOptions {
    int width = 0;  // size of the pictures given
    int height = 0;
    int outWidth = 0;  // the GIF's width; its height keeps the pictures' shape (made even)
    int fps = 15;      // pictures per second in the GIF
};

// The size of the GIF's pictures: `options.outWidth` wide, the height keeping the given pictures'
// shape, both made even. Pictures given at this size are written as they are.
PixelSize gifPictureSize(const GifWriterOptions& options);

// An animated GIF that loops forever, made as FFmpeg's palettegen and paletteuse filters make
// one: the pictures are resampled to a steady rate and scaled, one palette of 256 colours is made
// from all of them, then each picture is dithered with it. The palette needs every picture, so
// the scaled pictures are held until finish(), which writes the file. One thread at a time.
class GifWriter {
  public:
    // Fails with FFmpeg's text when the filters or the GIF encoder are missing.
    static Result<GifWriter> create(const std::filesystem::path& path, GifWriterOptions options);

    GifWriter(GifWriter&&) noexcept;
    GifWriter& operator=(GifWriter&&) noexcept;
    ~GifWriter();

    // Adds a picture shown from `timeSeconds` (growing from one picture to the next).
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
