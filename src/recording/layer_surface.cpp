#include "recording/layer_surface.h"

#include <gtk/gtk.h>
#ifdef MARLUNE_HAVE_LAYER_SHELL
#include <gtk-layer-shell/gtk-layer-shell.h>
#endif

namespace marlune::layer {

#ifdef MARLUNE_HAVE_LAYER_SHELL

bool place(GtkWindow* window, GdkMonitor* monitor, std::optional<Offset> at, const char* name) {
    if (!gtk_layer_is_supported()) return false;
    gtk_layer_init_for_window(window);
    gtk_layer_set_namespace(window, name);
    if (monitor) gtk_layer_set_monitor(window, monitor);
    gtk_layer_set_keyboard_mode(window, GTK_LAYER_SHELL_KEYBOARD_MODE_NONE);
    if (!at) {
        gtk_layer_set_layer(window, GTK_LAYER_SHELL_LAYER_OVERLAY);
        for (auto edge : {GTK_LAYER_SHELL_EDGE_LEFT, GTK_LAYER_SHELL_EDGE_RIGHT,
                          GTK_LAYER_SHELL_EDGE_TOP, GTK_LAYER_SHELL_EDGE_BOTTOM}) {
            gtk_layer_set_anchor(window, edge, TRUE);
        }
        gtk_layer_set_exclusive_zone(window, -1);  // over panels too
        return true;
    }
    gtk_layer_set_layer(window, GTK_LAYER_SHELL_LAYER_TOP);
    gtk_layer_set_anchor(window, GTK_LAYER_SHELL_EDGE_LEFT, TRUE);
    gtk_layer_set_anchor(window, GTK_LAYER_SHELL_EDGE_TOP, TRUE);
    move(window, *at);
    return true;
}

bool isLayerSurface(GtkWindow* window) {
    return gtk_layer_is_layer_window(window);
}

Offset offset(GtkWindow* window) {
    return {gtk_layer_get_margin(window, GTK_LAYER_SHELL_EDGE_LEFT),
            gtk_layer_get_margin(window, GTK_LAYER_SHELL_EDGE_TOP)};
}

void move(GtkWindow* window, Offset to) {
    gtk_layer_set_margin(window, GTK_LAYER_SHELL_EDGE_LEFT, to.x);
    gtk_layer_set_margin(window, GTK_LAYER_SHELL_EDGE_TOP, to.y);
}

#else

bool place(GtkWindow*, GdkMonitor*, std::optional<Offset>, const char*) {
    return false;
}

bool isLayerSurface(GtkWindow*) {
    return false;
}

Offset offset(GtkWindow*) {
    return {};
}

void move(GtkWindow*, Offset) {}

#endif

}  // namespace marlune::layer
