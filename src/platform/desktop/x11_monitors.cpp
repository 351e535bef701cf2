#include "platform/desktop/x11_monitors.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <array>
#include <memory>

namespace marlune::x11 {

namespace {

// The product name in the EDID of the monitor's first output that has one.
std::optional<std::string> productName(Display* dpy, const XRRMonitorInfo& m) {
    const Atom edidAtom = XInternAtom(dpy, RR_PROPERTY_RANDR_EDID, True);
    if (edidAtom == None) return std::nullopt;
    for (int i = 0; i < m.noutput; ++i) {
        unsigned char* data = nullptr;
        int format = 0;
        unsigned long items = 0, after = 0;
        Atom type = None;
        if (XRRGetOutputProperty(dpy, m.outputs[i], edidAtom, 0, 128, False, False, AnyPropertyType,
                                 &type, &format, &items, &after, &data) != Success) {
            continue;
        }
        std::optional<std::string> name;
        if (data && format == 8) name = edidProductName({data, static_cast<std::size_t>(items)});
        if (data) XFree(data);
        if (name) return name;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> edidProductName(std::span<const std::uint8_t> edid) {
    static constexpr std::array<std::uint8_t, 8> kHeader{0x00, 0xff, 0xff, 0xff,
                                                         0xff, 0xff, 0xff, 0x00};
    if (edid.size() < 128 || !std::equal(kHeader.begin(), kHeader.end(), edid.begin())) {
        return std::nullopt;
    }
    // Four 18-byte descriptors from byte 54; a display descriptor starts with three zero
    // bytes, and tag 0xFC holds the name: up to 13 characters ended by a line feed.
    for (std::size_t at = 54; at + 18 <= 126; at += 18) {
        const auto d = edid.subspan(at, 18);
        if (d[0] != 0 || d[1] != 0 || d[2] != 0 || d[3] != 0xfc) continue;
        std::string name;
        for (std::size_t i = 5; i < 18 && d[i] != 0x0a && d[i] != 0; ++i) {
            if (d[i] >= 0x20 && d[i] < 0x7f) name.push_back(static_cast<char>(d[i]));
        }
        while (!name.empty() && name.back() == ' ') name.pop_back();
        while (!name.empty() && name.front() == ' ') name.erase(name.begin());
        if (!name.empty()) return name;
    }
    return std::nullopt;
}

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
            if (auto product = productName(dpy.get(), m)) {
                mon.name = *product;
            } else if (char* n = m.name != None ? XGetAtomName(dpy.get(), m.name) : nullptr) {
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
