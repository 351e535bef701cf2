#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/desktop/x11_cursor_image.h"

namespace marlune {

// Tells which of nine kinds of cursor is showing, by comparing a small fingerprint of its picture
// (a 32 × 32 silhouette, the aspect ratio and the hot spot) with those of the cursor theme's
// standard cursors. The index selects which cursor picture an export draws.
//
// Main thread only. The reference fingerprints are taken once, at the first `prepare` or
// `current`, and never change; the last answer is kept for the detector's life.
class CursorTypeDetector {
  public:
    // Index → name, as the export's cursor packs name their pictures.
    static constexpr std::array<std::string_view, 9> types = {
        "arrow",       "text",      "pointer",   "crosshair",  "open-hand",
        "closed-hand", "resize-ew", "resize-ns", "not-allowed"};

    // Where cursors come from: the display, or a stand-in.
    class CursorSource {
      public:
        virtual ~CursorSource() = default;
        virtual std::optional<x11::CursorImage> current() = 0;
        virtual std::optional<x11::CursorImage> themeCursor(std::string_view name) = 0;
    };

    // Reads the X display named by $DISPLAY, connecting at first use; without a display every
    // answer is the previous one (0 at first).
    CursorTypeDetector();
    explicit CursorTypeDetector(std::unique_ptr<CursorSource> source);
    ~CursorTypeDetector();

    // Loads the references now rather than at the first `current`, so that the first sample of
    // a recording does not pay for reading the theme.
    void prepare();

    // The type index of the cursor showing now. An unchanged cursor (same server serial, size
    // and hot spot as last time) costs one comparison; a cursor that cannot be read, or shows
    // nothing (hidden while typing), leaves the previous answer; one that matches no reference
    // closely enough is 0 (arrow).
    int current();

    // How many reference fingerprints were loaded.
    std::size_t referenceCount() const { return known_.size(); }

    struct Signature {
        double aspect = 1;                          // width / height
        double hotspotX = 0;                        // hot-spot x / width
        double hotspotY = 0;                        // hot-spot y / height, from the top
        std::array<std::uint8_t, 32 * 32> shape{};  // row by row from the top: 255 covered, 0 not
    };
    // Nothing for an empty picture.
    static std::optional<Signature> signature(const x11::CursorImage& image);
    // How far apart two fingerprints are: 255 per differing silhouette pixel, plus the aspect
    // and hot-spot differences weighted 1800 and 2200.
    static long cost(const Signature& a, const Signature& b);
    // The answer for the best-matching reference's type at that cost: the type when the cost is
    // within that type's limit, else 0.
    static int acceptedType(int bestType, long bestCost);

  private:
    struct Key {
        std::uint64_t serial = 0;
        int width = 0;
        int height = 0;
        int hotX = 0;
        int hotY = 0;
        bool operator==(const Key&) const = default;
    };
    struct Reference {
        int type = 0;
        Signature sig;
    };

    void loadReferences();

    std::unique_ptr<CursorSource> source_;
    bool loaded_ = false;
    std::vector<Reference> known_;
    std::optional<Key> lastKey_;
    int lastType_ = 0;
};

}  // namespace marlune
