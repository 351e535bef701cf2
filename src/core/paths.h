#pragma once

#include <filesystem>
#include <optional>

namespace marlune::paths {

// $HOME, else the password database's home directory.
std::filesystem::path homeDir();
// $XDG_CONFIG_HOME when it is an absolute path, else ~/.config; with "marlune" appended.
std::filesystem::path configDir();
// The user-defaults file inside configDir().
std::filesystem::path defaultsFile();
// The desktop's videos folder (xdg-user-dirs), when the user has one configured.
std::optional<std::filesystem::path> userVideosDir();
// The folder holding the running executable.
std::filesystem::path executableDir();

}  // namespace marlune::paths
