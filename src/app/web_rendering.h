#pragma once

#include <filesystem>

namespace marlune {

// Whether to have the page drawn by WebKit's CPU renderer rather than through OpenGL. Without a
// GPU render node (/dev/dri/renderD*) OpenGL can only be Mesa's software rasterizer, which draws a
// long library grid several times slower than the CPU renderer does. A choice already made in the
// environment (WEBKIT_SKIA_ENABLE_CPU_RENDERING set to anything) is left alone: `chosen` is that
// variable's value, or null.
bool switchesToCpuRendering(const char* chosen, const std::filesystem::path& driFolder);

// Sets WEBKIT_SKIA_ENABLE_CPU_RENDERING=1, and WEBKIT_DISABLE_COMPOSITING_MODE=1, GDK_GL=disable,
// and (while compositing stays off) WEBKIT_DISABLE_DMABUF_RENDERER=1 and
// WEBKIT_WEB_RENDER_DEVICE_FILE=/dev/null unless they are set, for this process and the web
// processes it starts when switchesToCpuRendering() says so. Called before any thread, web view
// or display exists.
void chooseWebRendering();

}  // namespace marlune
