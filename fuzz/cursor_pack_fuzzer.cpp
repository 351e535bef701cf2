// The text of a cursor pack file, loaded as an export loads the pack of its cursor style. A
// loaded pack always holds the arrow, and every asset has a picture and a finite, positive box.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz_support.h"
#include "render/cursor_pack.h"

namespace {

using namespace marlune;
namespace fs = std::filesystem;

void check(bool ok, const char* what) {
    if (!ok) fuzz::fail(what);
}

fs::path webRoot;

void removeWebRoot() {
    std::error_code ec;
    fs::remove_all(webRoot, ec);
}

}  // namespace

// A web root of this process's own, holding the one pack file each input is written to.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    webRoot = base / ("marlune-fuzz-pack-" + std::to_string(getpid()));
    fs::create_directories(webRoot / "cursors");
    std::atexit(removeWebRoot);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        std::ofstream out(webRoot / "cursors" / "fuzz.json", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        check(out.good(), "the pack file could not be written");
    }
    auto pack = loadCursorPack("fuzz.json", webRoot);
    if (!pack) return 0;
    check(pack->contains(0), "a pack without its arrow");
    for (const auto& [type, asset] : *pack) {
        check(type >= 0 && static_cast<std::size_t>(type) < packTypes.size(), "unknown type");
        check(asset.image.width() > 0 && asset.image.height() > 0, "an asset without a picture");
        check(asset.image.width() <= kMaxCursorImageSide &&
                  asset.image.height() <= kMaxCursorImageSide,
              "a picture larger than allowed");
        check(std::isfinite(asset.width) && asset.width > 0 && std::isfinite(asset.height) &&
                  asset.height > 0,
              "a box that is not finite and positive");
        check(std::isfinite(asset.hotspotX) && std::isfinite(asset.hotspotY), "hotspot not finite");
    }
    return 0;
}
