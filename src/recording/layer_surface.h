#pragma once

#include <optional>

typedef struct _GtkWindow GtkWindow;
typedef struct _GdkMonitor GdkMonitor;

// Windows above all others at a place of the program's choosing, on Wayland compositors that
// offer the layer-shell protocol (zwlr_layer_shell_v1: the wlroots ones, KDE). GNOME's mutter does
// not: there the windows stay ordinary ones the compositor places. A build without
// gtk-layer-shell offers nothing. Main thread.
namespace marlune::layer {

struct Offset {
    int x = 0;
    int y = 0;
};

// Makes `window` (not yet realized) a layer surface on `monitor` that takes no keyboard focus:
// over everything (overlay) and covering the whole monitor when `at` is empty, else above the
// ordinary windows (top) at `at` from the top left of the monitor's usable area. False, with the
// window untouched, when the compositor does not offer the protocol.
bool place(GtkWindow* window, GdkMonitor* monitor, std::optional<Offset> at, const char* name);

// For a window `place` made a layer surface: where it is, and moving it (the offsets of `place`).
bool isLayerSurface(GtkWindow* window);
Offset offset(GtkWindow* window);
void move(GtkWindow* window, Offset to);

}  // namespace marlune::layer
