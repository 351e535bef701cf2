#include "recording/shareable_content.h"

#include <unistd.h>

#include "platform/desktop/x11_monitors.h"
#include "platform/desktop/x11_windows.h"

namespace marlune {

namespace {

int layerOf(const x11::ClientWindow& w) {
    using T = x11::WindowType;
    if (w.type == T::desktop || w.keptBelow) return -1;
    if (w.type != T::normal && w.type != T::dialog) return 1;
    return w.keptAbove ? 1 : 0;
}

}  // namespace

int currentProcessID() {
    return static_cast<int>(::getpid());
}

Result<ShareableContent> ShareableContent::current(const ContentQuery& query) {
    auto monitors = x11::listMonitors();
    if (!monitors) return std::unexpected(monitors.error());
    auto clients = x11::listClientWindows();
    if (!clients) return std::unexpected(clients.error());

    ShareableContent content;
    content.scale = x11::desktopWindowScale();
    for (const auto& m : *monitors) {
        ShareableDisplay d;
        d.displayID = m.id;
        d.name = m.name;
        d.width = static_cast<int>(m.width / content.scale);
        d.height = static_cast<int>(m.height / content.scale);
        d.pixels = PixelRect{m.x, m.y, m.width, m.height};
        content.displays.push_back(std::move(d));
    }
    for (const auto& c : *clients) {
        if (query.onScreenWindowsOnly && (!c.viewable || c.minimized)) continue;
        if (query.excludeDesktopWindows && c.type == x11::WindowType::desktop) continue;
        ShareableWindow w;
        w.windowID = c.id;
        w.x = c.x / content.scale;
        w.y = c.y / content.scale;
        w.width = c.width / content.scale;
        w.height = c.height / content.scale;
        w.title = c.title;
        w.processID = c.processID;
        // The window's class names the application the way its desktop entry does; the
        // program's file name when it has none.
        w.applicationName = !c.className.empty() ? c.className
                            : c.processID        ? x11::processName(*c.processID)
                                                 : std::string();
        w.layer = layerOf(c);
        content.windows.push_back(std::move(w));
    }
    return content;
}

const ShareableDisplay* ShareableContent::display(std::uint32_t id) const {
    for (const auto& d : displays) {
        if (d.displayID == id) return &d;
    }
    return nullptr;
}

const ShareableWindow* ShareableContent::window(std::uint32_t id) const {
    for (const auto& w : windows) {
        if (w.windowID == id) return &w;
    }
    return nullptr;
}

}  // namespace marlune
