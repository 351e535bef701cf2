#include "app/web_rendering.h"

#include <cstdlib>
#include <string_view>
#include <system_error>

namespace marlune {

bool switchesToCpuRendering(const char* chosen, const std::filesystem::path& driFolder) {
    if (chosen) return false;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(driFolder, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (std::string_view(it->path().filename().native()).starts_with("renderD")) return false;
    }
    return true;
}

void chooseWebRendering() {
    if (switchesToCpuRendering(std::getenv("WEBKIT_SKIA_ENABLE_CPU_RENDERING"), "/dev/dri")) {
        setenv("WEBKIT_SKIA_ENABLE_CPU_RENDERING", "1", 0);
        // Without a GPU, compositing layers only adds a software-GL pass over what the CPU
        // renderer drew: the editor's playback shows nearly twice the pictures without it.
        setenv("WEBKIT_DISABLE_COMPOSITING_MODE", "1", 0);
        // Nothing of ours draws with GTK's OpenGL, and without a GPU GTK would load Mesa's
        // software driver (LLVM with it, 60-80 ms) on opening the display, before the web view
        // and its processes can start.
        setenv("GDK_GL", "disable", 0);
    }
}

}  // namespace marlune
