// What a browser (or any local process) sends to the sign-in listener: one read of at most
// LoopbackListener::kReadBytes, handed over as text only when it is UTF-8, then read as the
// sign-in controller reads it. Promises: a sign-in result comes only from "GET " with a target
// that is a URL path naming "/callback" (percent escapes and dot segments read as a URL reads
// them); every value it carries is UTF-8 text without a NUL byte.
#include <glib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "account/auth_protocol.h"
#include "account/loopback_listener.h"
#include "fuzz_support.h"

namespace {

using namespace marlune;

void check(bool ok, const char* what) {
    if (!ok) fuzz::fail(what);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decoded, or nothing for a broken escape.
std::optional<std::string> decoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int hi = hexValue(text[i + 1]);
        const int lo = hexValue(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return out;
}

// The path with "." and ".." segments taken away, as a URL reader does.
std::string withoutDotSegments(std::string_view path) {
    std::vector<std::string_view> kept;
    std::size_t at = 1;  // past the leading "/"
    bool trailing = false;
    while (at <= path.size()) {
        auto slash = path.find('/', at);
        std::string_view segment =
            path.substr(at, slash == std::string_view::npos ? std::string_view::npos : slash - at);
        trailing = segment == "." || segment == "..";
        if (segment == "..") {
            if (!kept.empty()) kept.pop_back();
        } else if (segment != ".") {
            kept.push_back(segment);
        }
        if (slash == std::string_view::npos) break;
        at = slash + 1;
    }
    std::string out;
    for (auto segment : kept) out += "/" + std::string(segment);
    if (trailing || out.empty()) out += "/";
    return out;
}

// Whether the request line is "GET " followed by a target whose path is "/callback".
bool isCallbackRequest(std::string_view text) {
    std::string_view line = text.substr(0, text.find("\r\n"));
    if (!line.starts_with("GET ")) return false;
    line.remove_prefix(4);
    std::string_view target = line.substr(0, line.find(' '));
    if (!target.starts_with('/')) return false;
    std::string_view path = target.substr(0, target.find_first_of("?#"));
    auto plain = decoded(path);
    return plain && (*plain == "/callback" || withoutDotSegments(*plain) == "/callback");
}

void checkValue(const std::optional<std::string>& value) {
    if (!value) return;
    check(g_utf8_validate(value->data(), static_cast<gssize>(value->size()), nullptr),
          "a sign-in value that is not UTF-8");
    check(value->find('\0') == std::string::npos, "a sign-in value with a NUL byte");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > LoopbackListener::kReadBytes) size = LoopbackListener::kReadBytes;
    std::string text(fuzz::text(data, size));
    if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) text.clear();

    auto params = auth::parseCallbackRequest(text);
    if (!params) return 0;
    check(isCallbackRequest(text), "a sign-in result from a request that is not GET /callback");
    checkValue(params->token);
    checkValue(params->oobCode);
    checkValue(params->email);
    checkValue(params->error);
    return 0;
}
