// A request of the local scheme: its "Range" header and its URL, as the web view hands them over
// (and as the loopback media server reads its request targets). Input: the header, a line break,
// the URL. A range must lie inside the file; a URL must name nothing outside its host's folder.
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "bridge/marlune_scheme_handler.h"
#include "fuzz_support.h"

namespace {

using namespace marlune;
namespace fs = std::filesystem;

const fs::path kWebRoot = "/fuzz/web";
const fs::path kMedia = "/fuzz/media";

void check(bool ok, const char* what) {
    if (!ok) fuzz::fail(what);
}

bool isInside(const fs::path& file, const fs::path& folder, bool folderItself) {
    const fs::path normal = file.lexically_normal();
    if (normal == folder) return folderItself;
    const fs::path rel = normal.lexically_relative(folder);
    return !rel.empty() && *rel.begin() != ".." && rel.is_relative();
}

void checkRange(std::string_view header) {
    for (std::uint64_t total :
         {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{1000}, std::uint64_t{1} << 40,
          std::numeric_limits<std::uint64_t>::max()}) {
        auto range = MarluneSchemeHandler::parseRange(header, total);
        if (!range) continue;
        check(total > 0, "a range of an empty file");
        check(range->first <= range->last, "range ends before it starts");
        check(range->last < total, "range ends past the file");
        check(range->length() >= 1 && range->length() <= total, "range length");
        auto head = MarluneSchemeHandler::rangeResponse("video/mp4", *range, total);
        check(head.status == 206 && head.header("Content-Range").has_value(), "range answer");
    }
}

void checkUrl(const MarluneSchemeHandler& handler, std::string_view url) {
    if (auto file = handler.resolveFileURL(url)) {
        const bool app = isInside(*file, kWebRoot, true);
        const bool media = isInside(*file, kMedia, false);
        check(app || media, "a URL leads out of its folder");
        check(!MarluneSchemeHandler::mimeType(*file).empty(), "no MIME type");
    }
    // The two hosts' rules also take decoded paths straight from the media server's targets.
    if (auto p = MarluneSchemeHandler::resolveMediaPath(kMedia, url)) {
        check(isInside(*p, kMedia, false), "a media path leads out of the folder");
    }
    if (auto p = MarluneSchemeHandler::resolveAppPath(kWebRoot, url)) {
        check(isInside(*p, kWebRoot, true), "a page path leads out of the folder");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto handler =
        std::make_shared<MarluneSchemeHandler>(MarluneSchemeHandler::Locations{
            [] { return std::optional<fs::path>(kWebRoot); }, [] { return kMedia; }});
    std::string_view input = fuzz::text(data, size);
    const auto cut = input.find('\n');
    std::string_view header = input.substr(0, cut);
    std::string_view url = cut == std::string_view::npos ? input : input.substr(cut + 1);
    checkRange(header);
    checkUrl(*handler, url);
    return 0;
}
