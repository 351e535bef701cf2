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
        // Before it starts the page's process, WebKit opens Mesa's driver (110-200 ms) to learn
        // whether the page's pictures can come as GPU buffers and from which render node. Neither
        // can without a render node, and uncomposited pages send plain pictures anyway: saying so
        // spares the driver, which the page's process otherwise waits for. No DRM device is
        // called /dev/null, so the page's process finds none, as it would by asking. Left alone
        // when compositing was asked for after all.
        const char* uncomposited = std::getenv("WEBKIT_DISABLE_COMPOSITING_MODE");
        if (uncomposited && std::string_view(uncomposited) != "0") {
            setenv("WEBKIT_DISABLE_DMABUF_RENDERER", "1", 0);
            setenv("WEBKIT_WEB_RENDER_DEVICE_FILE", "/dev/null", 0);
        }
    }
}

}  // namespace marlune
