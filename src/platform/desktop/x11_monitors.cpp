#include "platform/desktop/x11_monitors.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <memory>

namespace marlune::x11 {

Result<std::vector<Monitor>> listMonitors() {
    std::unique_ptr<Display, int (*)(Display*)> dpy(XOpenDisplay(nullptr), XCloseDisplay);
    if (!dpy) return fail("Cannot connect to the X display.");
    Window root = DefaultRootWindow(dpy.get());
    std::vector<Monitor> out;
    int eventBase = 0, errorBase = 0;
    if (XRRQueryExtension(dpy.get(), &eventBase, &errorBase)) {
        int count = 0;
        XRRMonitorInfo* infos = XRRGetMonitors(dpy.get(), root, True, &count);
        for (int i = 0; infos && i < count; ++i) {
            const XRRMonitorInfo& m = infos[i];
            if (m.width <= 0 || m.height <= 0) continue;
            Monitor mon;
            mon.id = static_cast<std::uint32_t>(m.name);
            if (char* n = m.name != None ? XGetAtomName(dpy.get(), m.name) : nullptr) {
                mon.name = n;
                XFree(n);
            }
            mon.x = m.x;
            mon.y = m.y;
            mon.width = m.width;
            mon.height = m.height;
            mon.primary = m.primary != 0;
            out.push_back(std::move(mon));
        }
        if (infos) XRRFreeMonitors(infos);
    }
    if (out.empty()) {
        Monitor whole;
        whole.width = DisplayWidth(dpy.get(), DefaultScreen(dpy.get()));
        whole.height = DisplayHeight(dpy.get(), DefaultScreen(dpy.get()));
        whole.primary = true;
        out.push_back(whole);
    }
    return out;
}

std::optional<Monitor> findMonitor(const std::vector<Monitor>& monitors, std::uint32_t id) {
    for (const auto& m : monitors) {
        if (m.id == id) return m;
    }
    return std::nullopt;
}

}  // namespace marlune::x11
