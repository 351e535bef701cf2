#pragma once

#include <cairo.h>

#include <filesystem>
#include <map>
#include <optional>

#include "library/edit_document.h"
#include "render/compose/frame_layer.h"
#include "render/motion_sim.h"
#include "render/raster.h"

namespace marlune {

// The cursor drawn over the screen: its click ripples, then the cursor itself (the pack's image
// for its type, or an arrow drawn in code when no pack loads), tilted, bounced and streaked along
// its motion, all through the screen's coverage.
//
// Owned by the frame composer, on its thread.
class CursorLayer {
  public:
    // Prepares the art of `cursor` for a canvas `width` pixels wide. Blocking file I/O (the pack
    // under webRoot).
    CursorLayer(const CursorFX& cursor, int width,
                const std::optional<std::filesystem::path>& webRoot);

    // False when no art could be made (nothing but ripples is drawn then).
    bool hasArt() const { return !pack_.empty() || drawn_.has_value(); }
    bool hasRipples() const { return ripples_; }

    // The ripples of `cursor`'s clicks at time `ms` of the motion's clock (the edited clock).
    void drawRipples(cairo_t* cr, const FrameLayer& frame, const ScreenPlacement& layer,
                     const CursorFX& cursor, double ms) const;
    // The cursor where the motion puts it. Only when hasArt().
    void drawCursor(cairo_t* cr, const FrameLayer& frame, const ScreenPlacement& layer,
                    const MotionSim::CursorOut& c) const;

  private:
    // A cursor image ready to be drawn at any size: its halvings, and its logical box and
    // hotspot.
    struct Art {
        MipChain mip;
        double width = 0;  // logical box (pack units; for the drawn cursor, its pixel size)
        double height = 0;
        double hotspotX = 0;
        double hotspotY = 0;
    };

    double cursorH_ = 0;
    std::map<int, Art> pack_;
    std::optional<Art> drawn_;
    bool drawnDot_ = false;
    bool ripples_ = false;
};

}  // namespace marlune
