#pragma once

#include <array>

#include <gtk/gtk.h>

#include "platform/image/bgra_image.h"

namespace marlune {

// The outline of the area being recorded, drawn on the screen just outside it: four thin
// borderless windows that take no input. Being outside the area, they never appear in the
// recording (and the application's own windows are blacked out of display recordings anyway).
// Main thread.
class AreaOutline {
  public:
    AreaOutline() = default;
    ~AreaOutline();
    AreaOutline(const AreaOutline&) = delete;
    AreaOutline& operator=(const AreaOutline&) = delete;

    // Shows it around `area` (root-window pixels); moves it when already shown.
    void show(const PixelRect& area);
    void hide();
    bool shown() const { return sides_[0] != nullptr; }

  private:
    std::array<GtkWidget*, 4> sides_{};
};

}  // namespace marlune
