#pragma once

#include <cairo.h>

#include <optional>

#include "library/keystroke_fx.h"
#include "render/time_map.h"

namespace marlune {

// The keystroke overlay: the newest recorded key press as a rounded pill with its label, drawn
// over everything else at a fixed place of the canvas (it does not zoom with the screen). Sizes
// follow the canvas measure m = min(W, H): the text is 4 % of m tall at size 1, the pill sits 6 %
// of m from the canvas edges.
//
// Owned by the frame composer, on its thread.
class KeysLayer {
  public:
    // `keys` with its presses moved onto the edited clock of `map` (a press inside a cut is gone).
    KeysLayer(const KeystrokeFX& keys, const TimeMap& map, int width, int height);

    // Whether anything shows at `ms` of the edited clock.
    bool showsAt(double ms) const { return keys_.shownAt(ms).has_value(); }
    // Draws the keystroke shown at `ms`, if any.
    void draw(cairo_t* cr, double ms) const;

  private:
    KeystrokeFX keys_;
    int w_ = 0;
    int h_ = 0;
};

}  // namespace marlune
