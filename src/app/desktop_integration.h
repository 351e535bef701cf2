#pragma once

#include <filesystem>
#include <optional>

namespace marlune {

// Makes sure the toolkit can show windows and menus: true at once in the desktop host; in the
// headless host it is set up now when there is a display to show them on, and false without one
// (callers then show nothing and carry on). Main thread.
bool ensureToolkit();

// The folder of the program's status icons (share/marlune/icons beside the program, else the build
// tree's copy), when there is one.
std::optional<std::filesystem::path> statusIconDir();

// Lets the toolkit find the application's own icon beside the program (share/icons), so windows
// and dialogs show it also when the program runs from where it was built. Main thread, toolkit set
// up.
void addApplicationIconPath();

}  // namespace marlune
