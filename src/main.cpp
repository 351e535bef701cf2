#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/command_line_export.h"
#include "app/desktop_host.h"
#include "app/stdio_host.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    // A subcommand comes first; it needs no display.
    if (!args.empty() && args.front() == "export") {
        return marlune::runCommandLineExport({args.begin() + 1, args.end()});
    }
    for (const auto& a : args) {
        if (a == "--stdio-bridge") return marlune::runStdioBridge(args);
    }
    // GDK opens the Wayland display when there is one, else the X display.
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((!display || !*display) && (!wayland || !*wayland)) {
        std::fprintf(
            stderr,
            "marlune: no display to open a window on (DISPLAY is not set).\n"
            "Start it from an X11 session, or use `marlune --stdio-bridge` or `marlune export`\n"
            "without one.\n");
        return 1;
    }
    return marlune::runDesktop(args);
}
