#include "app/desktop_integration.h"

#include <gtk/gtk.h>

#include <cstdlib>
#include <string_view>

#include "core/paths.h"

#ifndef MARLUNE_BUILD_SHARE_DIR
#define MARLUNE_BUILD_SHARE_DIR ""
#endif

namespace marlune {

namespace fs = std::filesystem;

namespace {

std::optional<fs::path> shareSubdir(std::string_view name, std::string_view probe) {
    std::error_code ec;
    for (fs::path base : {paths::executableDir() / "../share/marlune",
                          fs::path(std::string_view(MARLUNE_BUILD_SHARE_DIR))}) {
        if (base.empty()) continue;
        fs::path dir = (base / name).lexically_normal();
        if (fs::exists(dir / probe, ec)) return dir;
    }
    return std::nullopt;
}

}  // namespace

bool ensureToolkit() {
    if (gdk_display_get_default()) return true;
    static bool tried = false;
    if (tried) return false;
    tried = true;
    // An X display, or a Wayland one (GDK picks its back end from the environment).
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((!display || !*display) && (!wayland || !*wayland)) return false;
    return gtk_init_check(nullptr, nullptr);
}

std::optional<fs::path> statusIconDir() {
    return shareSubdir("icons", "marlune-recording.svg");
}

void addApplicationIconPath() {
    // share/marlune/<x> → share/icons
    if (auto icons = shareSubdir("icons", "marlune-recording.svg")) {
        fs::path themes = icons->parent_path().parent_path() / "icons";
        std::error_code ec;
        if (fs::is_directory(themes, ec)) {
            gtk_icon_theme_append_search_path(gtk_icon_theme_get_default(), themes.c_str());
        }
    }
}

}  // namespace marlune
