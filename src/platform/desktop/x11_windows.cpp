#include "platform/desktop/x11_windows.h"

#include <X11/Xatom.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/desktop/x11_internal.h"

namespace marlune::x11 {

using namespace detail;

namespace {

WindowType windowType(Display* dpy, Window w) {
    static const std::pair<const char*, WindowType> kTypes[] = {
        {"_NET_WM_WINDOW_TYPE_NORMAL", WindowType::normal},
        {"_NET_WM_WINDOW_TYPE_DIALOG", WindowType::dialog},
        {"_NET_WM_WINDOW_TYPE_DESKTOP", WindowType::desktop},
        {"_NET_WM_WINDOW_TYPE_DOCK", WindowType::dock},
        {"_NET_WM_WINDOW_TYPE_TOOLBAR", WindowType::toolbar},
        {"_NET_WM_WINDOW_TYPE_MENU", WindowType::menu},
        {"_NET_WM_WINDOW_TYPE_UTILITY", WindowType::utility},
        {"_NET_WM_WINDOW_TYPE_SPLASH", WindowType::splash},
        {"_NET_WM_WINDOW_TYPE_NOTIFICATION", WindowType::notification},
        {"_NET_WM_WINDOW_TYPE_DROPDOWN_MENU", WindowType::menu},
        {"_NET_WM_WINDOW_TYPE_POPUP_MENU", WindowType::menu},
        {"_NET_WM_WINDOW_TYPE_TOOLTIP", WindowType::notification},
    };
    // The first type the manager knows wins; every listed one is known here.
    for (unsigned long a : cardinals(dpy, w, atom(dpy, "_NET_WM_WINDOW_TYPE"), XA_ATOM)) {
        for (const auto& [name, type] : kTypes) {
            if (a == atom(dpy, name)) return type;
        }
    }
    return WindowType::normal;
}

std::vector<Window> stackedClients(Display* dpy, Window root) {
    for (const char* list : {"_NET_CLIENT_LIST_STACKING", "_NET_CLIENT_LIST"}) {
        auto ids = cardinals(dpy, root, atom(dpy, list), XA_WINDOW);
        if (!ids.empty()) {
            std::vector<Window> out(ids.rbegin(), ids.rend());  // bottom-to-top → topmost first
            return out;
        }
    }
    // No window manager that keeps the lists: the top-level windows, topmost first. A client
    // inside a frame is found by its WM_STATE; without any manager there is no WM_STATE, and
    // the application windows are the top-level ones that are not popups.
    std::vector<Window> out;
    Window rootReturn = None, parent = None;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(dpy, root, &rootReturn, &parent, &children, &count)) {
        for (unsigned int i = count; i-- > 0;) {
            if (auto client = clientWindow(dpy, children[i])) {
                out.push_back(*client);
                continue;
            }
            XWindowAttributes attrs;
            if (XGetWindowAttributes(dpy, children[i], &attrs) && !attrs.override_redirect &&
                attrs.c_class == InputOutput && attrs.map_state == IsViewable) {
                out.push_back(children[i]);
            }
        }
        if (children) XFree(children);
    }
    return out;
}

std::optional<ClientWindow> describe(Display* dpy, Window root, Window w) {
    XWindowAttributes attrs;
    if (!XGetWindowAttributes(dpy, w, &attrs)) return std::nullopt;
    ClientWindow c;
    c.id = static_cast<std::uint32_t>(w);
    c.width = attrs.width;
    c.height = attrs.height;
    c.viewable = attrs.map_state == IsViewable;
    Window child = None;
    if (!XTranslateCoordinates(dpy, w, root, 0, 0, &c.x, &c.y, &child)) return std::nullopt;
    c.title = windowTitle(dpy, w);
    XClassHint hint{};
    if (XGetClassHint(dpy, w, &hint)) {
        if (hint.res_class) c.className = hint.res_class;
        if (hint.res_name) XFree(hint.res_name);
        if (hint.res_class) XFree(hint.res_class);
    }
    c.processID = windowProcess(dpy, w);
    c.type = windowType(dpy, w);
    for (unsigned long s : cardinals(dpy, w, atom(dpy, "_NET_WM_STATE"), XA_ATOM)) {
        if (s == atom(dpy, "_NET_WM_STATE_ABOVE")) c.keptAbove = true;
        if (s == atom(dpy, "_NET_WM_STATE_BELOW")) c.keptBelow = true;
        if (s == atom(dpy, "_NET_WM_STATE_HIDDEN")) c.minimized = true;
    }
    return c;
}

// One XSETTINGS integer, from the settings manager's property (the format of the freedesktop
// XSETTINGS specification).
std::optional<int> xsettingsInt(Display* dpy, const std::string& wanted) {
    std::string selection = "_XSETTINGS_S" + std::to_string(DefaultScreen(dpy));
    Window owner = XGetSelectionOwner(dpy, atom(dpy, selection.c_str()));
    if (owner == None) return std::nullopt;
    Atom settingsAtom = atom(dpy, "_XSETTINGS_SETTINGS");
    auto data = text(dpy, owner, settingsAtom, settingsAtom);
    if (!data || data->size() < 12) return std::nullopt;
    const auto* p = reinterpret_cast<const unsigned char*>(data->data());
    const std::size_t size = data->size();
    const bool msb = p[0] == 1;
    auto card16 = [&](std::size_t at) -> std::uint32_t {
        return msb ? (p[at] << 8) | p[at + 1] : p[at] | (p[at + 1] << 8);
    };
    auto card32 = [&](std::size_t at) -> std::uint32_t {
        return msb ? (std::uint32_t{p[at]} << 24) | (p[at + 1] << 16) | (p[at + 2] << 8) | p[at + 3]
                   : p[at] | (p[at + 1] << 8) | (p[at + 2] << 16) |
                         (std::uint32_t{p[at + 3]} << 24);
    };
    auto pad4 = [](std::size_t n) { return (n + 3) & ~std::size_t{3}; };
    std::uint32_t count = card32(8);
    std::size_t at = 12;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (at + 4 > size) return std::nullopt;
        unsigned type = p[at];
        std::size_t nameLength = card16(at + 2);
        std::size_t nameAt = at + 4;
        at = nameAt + pad4(nameLength) + 4;  // name, then the last-change serial
        if (at > size) return std::nullopt;
        std::string name(reinterpret_cast<const char*>(p + nameAt), nameLength);
        std::size_t valueLength = 0;
        if (type == 0) {
            valueLength = 4;
        } else if (type == 1) {
            if (at + 4 > size) return std::nullopt;
            valueLength = 4 + pad4(card32(at));
        } else if (type == 2) {
            valueLength = 8;
        } else {
            return std::nullopt;
        }
        if (at + valueLength > size) return std::nullopt;
        if (type == 0 && name == wanted) return static_cast<std::int32_t>(card32(at));
        at += valueLength;
    }
    return std::nullopt;
}

}  // namespace

Result<std::vector<ClientWindow>> listClientWindows() {
    DisplayPtr dpy = openDisplay();
    if (!dpy) return fail("Cannot connect to the X display.");
    Window root = DefaultRootWindow(dpy.get());
    std::vector<ClientWindow> out;
    for (Window w : stackedClients(dpy.get(), root)) {
        if (auto c = describe(dpy.get(), root, w)) out.push_back(std::move(*c));
    }
    // Errors from windows that went away while being read only left them out.
    syncAndTakeError(dpy.get());
    return out;
}

struct WindowPlace::Impl {
    Window window = None;
    DisplayPtr dpy;
    bool tried = false;
};

WindowPlace::WindowPlace(std::uint32_t window) : impl_(std::make_unique<Impl>()) {
    impl_->window = window;
}

WindowPlace::~WindowPlace() = default;

std::optional<PixelRect> WindowPlace::rect() {
    Impl& s = *impl_;
    if (!s.tried) {
        s.tried = true;
        s.dpy = openDisplay();
    }
    if (!s.dpy) return std::nullopt;
    Display* d = s.dpy.get();
    Window root = None, child = None;
    int x = 0, y = 0;
    unsigned int width = 0, height = 0, border = 0, depth = 0;
    if (!XGetGeometry(d, s.window, &root, &x, &y, &width, &height, &border, &depth) ||
        !XTranslateCoordinates(d, s.window, root, 0, 0, &x, &y, &child)) {
        takeError(d);
        return std::nullopt;
    }
    return PixelRect{x, y, static_cast<int>(width), static_cast<int>(height)};
}

int desktopWindowScale() {
    if (const char* env = std::getenv("GDK_SCALE"); env && *env) {
        char* end = nullptr;
        long v = std::strtol(env, &end, 10);
        if (*end == '\0' && v >= 1 && v <= 16) return static_cast<int>(v);
    }
    DisplayPtr dpy = openDisplay();
    if (!dpy) return 1;
    auto v = xsettingsInt(dpy.get(), "Gdk/WindowScalingFactor");
    syncAndTakeError(dpy.get());
    return v && *v >= 1 && *v <= 16 ? *v : 1;
}

std::string processName(int pid) {
    if (pid <= 0) return "";
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
    if (!ec && !exe.empty()) {
        std::string name = exe.filename().string();
        // A replaced executable reads "name (deleted)".
        if (auto cut = name.find(" (deleted)"); cut != std::string::npos) name.resize(cut);
        if (!name.empty()) return name;
    }
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace marlune::x11
