#include "recording/recorded_area.h"

#include <memory>

#include "platform/desktop/x11_monitors.h"
#include "platform/desktop/x11_windows.h"

namespace marlune {

RecordedArea monitorArea(std::uint32_t displayID) {
    auto known = std::make_shared<std::optional<std::optional<PixelRect>>>();
    return [displayID, known]() -> std::optional<PixelRect> {
        if (!*known) {
            std::optional<PixelRect> rect;
            if (auto monitors = x11::listMonitors()) {
                if (auto m = x11::findMonitor(*monitors, displayID)) {
                    rect = PixelRect{m->x, m->y, m->width, m->height};
                }
            }
            *known = rect;
        }
        return **known;
    };
}

RecordedArea windowArea(std::uint32_t windowID) {
    auto place = std::make_shared<x11::WindowPlace>(windowID);
    return [place] { return place->rect(); };
}

RecordedArea fixedArea(PixelRect rect) {
    return [rect]() -> std::optional<PixelRect> { return rect; };
}

}  // namespace marlune
