// What one connection to the loopback media server sends: its bytes are cut into request heads at
// each blank line, as the server does, and each head is read and resolved as the server reads and
// resolves it. Promises: a head announcing a body never keeps its connection; a request names a
// file only when its target carries the token, and that file lies inside the recordings folder;
// a range lies inside the file and its answer says so.
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <string_view>

#include "bridge/marlune_scheme_handler.h"
#include "bridge/media_http_server.h"
#include "fuzz_support.h"

namespace {

using namespace marlune;
namespace fs = std::filesystem;

const fs::path kMedia = "/fuzz/media";
constexpr std::string_view kToken = "0123456789abcdef0123456789abcdef";
// The same length, one character off: what a guess that is nearly right looks like.
constexpr std::string_view kOtherToken = "0123456789abcdef0123456789abcdee";
// The server cuts a connection whose head grows past this; more heads add nothing new.
constexpr int kMaxHeads = 8;

void check(bool ok, const char* what) {
    if (!ok) fuzz::fail(what);
}

std::string lowercase(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

// Whether a field of the head says a body follows: a Transfer-Encoding, or a Content-Length that
// is anything but a plain zero. Read here line by line, apart from the parser.
bool announcesBody(std::string_view head) {
    auto first = head.find("\r\n");
    if (first == std::string_view::npos) return false;
    std::string_view rest = head.substr(first + 2);
    while (!rest.empty()) {
        auto end = rest.find("\r\n");
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 2);
        auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string name = lowercase(trimmed(line.substr(0, colon)));
        const std::string_view value = trimmed(line.substr(colon + 1));
        if (name == "transfer-encoding") return true;
        if (name == "content-length" && value.find_first_not_of('0') != std::string_view::npos) {
            return true;
        }
    }
    return false;
}

bool isInside(const fs::path& file, const fs::path& folder) {
    const fs::path rel = file.lexically_normal().lexically_relative(folder);
    return !rel.empty() && *rel.begin() != ".." && *rel.begin() != "." && rel.is_relative();
}

bool headerValuesAreOneLine(const SchemeResponse& response) {
    for (const auto& [name, value] : response.headers) {
        if (name.find_first_of("\r\n:") != std::string::npos) return false;
        if (value.find_first_of("\r\n") != std::string::npos) return false;
    }
    return true;
}

void checkRange(std::string_view header) {
    for (std::uint64_t total :
         {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{4096}, std::uint64_t{1} << 40,
          std::numeric_limits<std::uint64_t>::max()}) {
        auto range = MarluneSchemeHandler::parseRange(header, total);
        if (!range) continue;
        check(total > 0, "a range of an empty file");
        check(range->first <= range->last && range->last < total, "a range outside the file");
        auto answer = MarluneSchemeHandler::rangeResponse("video/mp4", *range, total);
        check(answer.status == 206, "a range answered with another status");
        check(answer.header("Content-Length") == std::to_string(range->length()),
              "a range answer's Content-Length is not the range's length");
        check(answer.header("Content-Range") ==
                  "bytes " + std::to_string(range->first) + "-" + std::to_string(range->last) +
                      "/" + std::to_string(total),
              "a range answer's Content-Range is not the range");
    }
}

void checkHead(std::string_view bytes) {
    auto head = HttpRequestHead::parse(bytes);
    if (!head) return;
    const std::string_view line = bytes.substr(0, bytes.find("\r\n"));
    check(head->method.find(' ') == std::string::npos, "a method with a space");
    check(line.find(head->target) != std::string_view::npos, "a target from outside its line");
    check(!announcesBody(bytes) || head->hasBody, "a body announced by the head is not seen");
    check(!head->hasBody || !head->keepAlive(), "a connection kept after a body it does not read");
    if (head->connection) {
        check(*head->connection == lowercase(*head->connection), "Connection not lower-cased");
    }
    if (head->range) checkRange(*head->range);

    auto path = HttpRequestHead::tokenPath(head->target, kToken);
    check(!HttpRequestHead::tokenPath(head->target, kOtherToken) ||
              head->target.find(kOtherToken) != std::string::npos,
          "a target names a file without its token");
    if (!path) return;
    check(head->target.find("/" + std::string(kToken) + "/") != std::string::npos,
          "a target names a file without its token");
    check(path->starts_with('/'), "a request path that does not start at the root");
    check(path->find('\0') == std::string::npos, "a request path with a NUL byte");
    // As the program's resolver takes it (AppDelegate::startMediaServer).
    if (auto file = MarluneSchemeHandler::resolveMediaPath(kMedia, *path)) {
        check(isInside(*file, kMedia), "a request path leads out of the recordings folder");
        auto answer = MarluneSchemeHandler::wholeFileResponse(
            MarluneSchemeHandler::mimeType(*file), 4096);
        check(headerValuesAreOneLine(answer), "an answer field spans lines");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest = fuzz::text(data, size);
    for (int i = 0; i < kMaxHeads; ++i) {
        auto end = rest.find("\r\n\r\n");
        if (end == std::string_view::npos) break;
        checkHead(rest.substr(0, end));
        rest.remove_prefix(end + 4);
    }
    return 0;
}
