#include "platform/wayland/wayland_outputs.h"

#include <wayland-client.h>

#include <algorithm>
#include <cstring>

namespace marlune::wayland {

namespace {

struct Listing {
    std::vector<WaylandOutput> outputs;
    std::vector<wl_output*> proxies;
};

void onGeometry(void* data, wl_output* output, int32_t x, int32_t y, int32_t, int32_t, int32_t,
                const char*, const char*, int32_t) {
    auto* listing = static_cast<Listing*>(data);
    auto it = std::find(listing->proxies.begin(), listing->proxies.end(), output);
    if (it == listing->proxies.end()) return;
    auto& out = listing->outputs[std::size_t(it - listing->proxies.begin())];
    out.pixels.x = x;
    out.pixels.y = y;
}

void onMode(void* data, wl_output* output, uint32_t flags, int32_t width, int32_t height, int32_t) {
    if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
    auto* listing = static_cast<Listing*>(data);
    auto it = std::find(listing->proxies.begin(), listing->proxies.end(), output);
    if (it == listing->proxies.end()) return;
    auto& out = listing->outputs[std::size_t(it - listing->proxies.begin())];
    out.pixels.width = width;
    out.pixels.height = height;
}

void onDone(void*, wl_output*) {}
void onScale(void*, wl_output*, int32_t) {}

void onName(void* data, wl_output* output, const char* name) {
    auto* listing = static_cast<Listing*>(data);
    auto it = std::find(listing->proxies.begin(), listing->proxies.end(), output);
    if (it == listing->proxies.end() || !name) return;
    listing->outputs[std::size_t(it - listing->proxies.begin())].name = name;
}

void onDescription(void*, wl_output*, const char*) {}

const wl_output_listener kOutputListener = {onGeometry, onMode, onDone,
                                            onScale,    onName, onDescription};

void onGlobal(void* data, wl_registry* registry, uint32_t id, const char* interface,
              uint32_t version) {
    if (std::strcmp(interface, wl_output_interface.name) != 0) return;
    auto* listing = static_cast<Listing*>(data);
    // Version 4 names the connector; older compositors give geometry and mode only.
    auto* output = static_cast<wl_output*>(
        wl_registry_bind(registry, id, &wl_output_interface, std::min<uint32_t>(version, 4)));
    listing->proxies.push_back(output);
    listing->outputs.emplace_back();
    wl_output_add_listener(output, &kOutputListener, listing);
}

void onGlobalRemove(void*, wl_registry*, uint32_t) {}

const wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemove};

}  // namespace

Result<std::vector<WaylandOutput>> listOutputs() {
    wl_display* display = wl_display_connect(nullptr);
    if (!display) return fail("Cannot connect to the Wayland display.");
    Listing listing;
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &kRegistryListener, &listing);
    // The first round trip announces the globals, the second their outputs' details.
    const bool ok = wl_display_roundtrip(display) >= 0 && wl_display_roundtrip(display) >= 0;
    for (wl_output* o : listing.proxies) {
        if (wl_output_get_version(o) >= WL_OUTPUT_RELEASE_SINCE_VERSION) {
            wl_output_release(o);
        } else {
            wl_output_destroy(o);
        }
    }
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    if (!ok) return fail("The Wayland display stopped answering.");
    return std::move(listing.outputs);
}

}  // namespace marlune::wayland
