#pragma once

#include <string>
#include <vector>

namespace marlune {

// The desktop application: the toolkit's application object, the main window with the page, the
// application menu (in the title bar's menu button: "About Marlune Studio", "Reload UI", "Quit
// Marlune Studio") and its shortcuts Ctrl+Q, Ctrl+R and Ctrl+M. Editing shortcuts are left to the
// page. Quitting (menu, Ctrl+Q, closing the window, SIGINT, SIGTERM) goes through the application
// object's termination path. Needs a display. Returns the process exit status.
int runDesktop(const std::vector<std::string>& args);

}  // namespace marlune
