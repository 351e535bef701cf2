#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/stdio_host.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (const auto& a : args) {
        if (a == "--stdio-bridge") return marlune::runStdioBridge(args);
    }
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        std::fprintf(
            stderr,
            "marlune: no display to open a window on (DISPLAY is not set).\n"
            "Start it from an X11 session, or use `marlune --stdio-bridge` without one.\n");
        return 1;
    }
    std::fprintf(stderr,
                 "marlune: the desktop window is not available in this build yet; use "
                 "`marlune --stdio-bridge`.\n");
    return 1;
}
