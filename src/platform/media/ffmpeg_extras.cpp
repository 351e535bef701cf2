#include "platform/media/ffmpeg_extras.h"

#include <dlfcn.h>

#include <string>

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavutil/macros.h>
}

namespace marlune::av {

namespace {

// The library stays loaded for the rest of the process: what it made may outlive any owner.
Result<void*> open(const char* soname, const char* purpose) {
    if (void* handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL)) return handle;
    const char* why = dlerror();
    return fail(std::string(purpose) + " needs FFmpeg's " + soname + ", which could not be loaded" +
                (why ? std::string(": ") + why : std::string()) + ".");
}

template <class F>
bool find(void* handle, const char* name, F& out) {
    out = reinterpret_cast<F>(dlsym(handle, name));
    return out != nullptr;
}

}  // namespace

Result<const FilterLibrary*> filterLibrary() {
    static const Result<const FilterLibrary*> loaded = []() -> Result<const FilterLibrary*> {
        static const char* soname = "libavfilter.so." AV_STRINGIFY(LIBAVFILTER_VERSION_MAJOR);
        auto handle = open(soname, "A GIF");
        if (!handle) return std::unexpected(handle.error());
        static FilterLibrary library;
#define MARLUNE_FIND(name)                   \
    if (!find(*handle, #name, library.name)) \
        return fail(std::string(soname) + " has no " #name ".");
        MARLUNE_AVFILTER_FUNCTIONS(MARLUNE_FIND)
#undef MARLUNE_FIND
        return &library;
    }();
    return loaded;
}

Result<void> registerDevices() {
    static const Result<void> registered = []() -> Result<void> {
        static const char* soname = "libavdevice.so." AV_STRINGIFY(LIBAVDEVICE_VERSION_MAJOR);
        auto handle = open(soname, "A camera");
        if (!handle) return std::unexpected(handle.error());
        decltype(&::avdevice_register_all) registerAll = nullptr;
        if (!find(*handle, "avdevice_register_all", registerAll))
            return fail(std::string(soname) + " has no avdevice_register_all.");
        registerAll();
        return {};
    }();
    return registered;
}

}  // namespace marlune::av
