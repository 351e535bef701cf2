#include "core/paths.h"

#include <cstdlib>
#include <system_error>

#include <glib.h>

namespace marlune::paths {

namespace fs = std::filesystem;

fs::path homeDir() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    return g_get_home_dir();
}

fs::path configDir() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    fs::path base = (xdg && *xdg == '/') ? fs::path(xdg) : homeDir() / ".config";
    return base / "marlune";
}

fs::path defaultsFile() {
    return configDir() / "defaults.json";
}

std::optional<fs::path> userVideosDir() {
    const char* dir = g_get_user_special_dir(G_USER_DIRECTORY_VIDEOS);
    if (!dir || !*dir) return std::nullopt;
    return fs::path(dir);
}

fs::path executableDir() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return fs::current_path(ec);
    return exe.parent_path();
}

}  // namespace marlune::paths
