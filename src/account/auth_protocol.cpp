#include "account/auth_protocol.h"

#include <charconv>
#include <cmath>
#include <ctime>

#include <curl/curl.h>
#include <glib.h>

#include "core/random_hex.h"

namespace marlune::auth {

namespace {

using namespace std::string_view_literals;

constexpr std::string_view kDefaultLifetimeText = "3600";
constexpr double kDefaultLifetime = 3600;

bool isAsciiAlnum(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

std::string percentEncode(std::string_view value, std::string_view literal) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (unsigned char c : value) {
        if (isAsciiAlnum(c) || (c != '\0' && literal.find(static_cast<char>(c)) != literal.npos)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
    }
    return out;
}

// Percent-decoded UTF-8 text, or nothing for a broken escape, an encoded NUL or bytes that are
// not UTF-8.
std::optional<std::string> percentDecoded(std::string_view text) {
    std::string raw(text);
    char* decoded = g_uri_unescape_string(raw.c_str(), nullptr);
    if (!decoded) return std::nullopt;
    std::string out(decoded);
    g_free(decoded);
    if (!g_utf8_validate(out.data(), static_cast<gssize>(out.size()), nullptr)) {
        return std::nullopt;
    }
    return out;
}

std::string_view withoutTrailingSlash(std::string_view origin) {
    while (origin.ends_with('/')) origin.remove_suffix(1);
    return origin;
}

std::string stringOr(const Json& object, const char* key, std::string fallback) {
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::move(fallback);
}

}  // namespace

// The charset is named: without it browsers read the page's em dash as Latin-1.
extern const std::string_view kLoopbackReply =
    "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 215\r\n"
    "Connection: close\r\n\r\n"
    "<html><body style=\"background:#0a0a0c;color:#aab;font-family:system-ui;display:flex;"
    "align-items:center;justify-content:center;height:100vh\">Done \u2014 you can close this tab "
    "and return to Marlune Studio.</body></html>"sv;

std::optional<CallbackParams> parseCallbackRequest(std::string_view requestHead) {
    std::string_view line = requestHead.substr(0, requestHead.find("\r\n"));
    if (!line.starts_with("GET ")) return std::nullopt;
    // The target is what lies between the first and the second single space.
    line.remove_prefix(4);
    std::string target(line.substr(0, line.find(' ')));
    // Only a path: appended to the listener's origin, anything else would be read as more of
    // the authority ("@host/callback", ":80/callback") and still name "/callback".
    if (!target.starts_with('/')) return std::nullopt;

    std::string url = "http://127.0.0.1" + target;
    GUri* uri = g_uri_parse(url.c_str(), G_URI_FLAGS_ENCODED_QUERY, nullptr);
    if (!uri) return std::nullopt;
    bool isCallback = std::string_view(g_uri_get_path(uri)) == "/callback";
    const char* query = g_uri_get_query(uri);
    std::string rawQuery = query ? query : "";
    g_uri_unref(uri);
    if (!isCallback) return std::nullopt;

    CallbackParams params;
    struct Slot {
        std::string_view name;
        std::optional<std::string>* value;
        bool seen = false;
    };
    Slot slots[] = {{"token", &params.token},
                    {"oobCode", &params.oobCode},
                    {"email", &params.email},
                    {"error", &params.error},
                    {"state", &params.state}};
    std::string_view rest = rawQuery;
    while (!rest.empty()) {
        auto amp = rest.find('&');
        std::string_view item = rest.substr(0, amp);
        auto eq = item.find('=');
        auto name = percentDecoded(item.substr(0, eq));
        for (auto& slot : slots) {
            if (!name || *name != slot.name || slot.seen) continue;
            slot.seen = true;  // only the first parameter of a name counts, even without a value
            if (eq != std::string_view::npos) *slot.value = percentDecoded(item.substr(eq + 1));
        }
        if (amp == std::string_view::npos) break;
        rest.remove_prefix(amp + 1);
    }
    return params;
}

std::string formEncode(std::string_view value) {
    return percentEncode(value, "");
}

std::string formBody(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string body;
    for (const auto& [name, value] : pairs) {
        if (!body.empty()) body += '&';
        body += name + "=" + formEncode(value);
    }
    return body;
}

std::string encodeQueryValue(std::string_view value) {
    // The characters a URL query allows, less the three that change what a query value means.
    return percentEncode(value, "!$'()*,-./:;?@_~");
}

std::string googleSignInPage(std::string_view origin, int port, std::string_view state) {
    return std::string(withoutTrailingSlash(origin)) + "/auth?port=" + std::to_string(port) +
           "&state=" + encodeQueryValue(state);
}

std::string emailContinueUrl(std::string_view origin, int port, std::string_view email,
                             std::string_view state) {
    return std::string(withoutTrailingSlash(origin)) + "/email?port=" + std::to_string(port) +
           "&email=" + encodeQueryValue(email) + "&state=" + encodeQueryValue(state);
}

std::string newSignInState() {
    // The state must not be guessable: wait for the system's random source rather than settle.
    for (;;) {
        if (auto hex = randomHex(16)) return *hex;
    }
}

std::optional<std::string> cleanedErrorText(std::string_view text) {
    std::string out;
    bool space = false;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f || c == ' ') {
            space = !out.empty();
            continue;
        }
        if (c == '<' || c == '>') continue;
        if (space) out += ' ';
        space = false;
        out += static_cast<char>(c);
    }
    if (out.size() > kMaxErrorText) {
        std::size_t cut = kMaxErrorText;
        // Back to the start of a character: continuation bytes are 10xxxxxx.
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
        out.resize(cut);
    }
    if (out.empty()) return std::nullopt;
    return out;
}

bool isWebURL(std::string_view text) {
    std::string s(text);
    // GLib's parser says where the host is (none in "https:///x"); libcurl's, which will send
    // the request, refuses what GLib lets through (a space in the host).
    GUri* uri = g_uri_parse(s.c_str(), G_URI_FLAGS_NONE, nullptr);
    if (!uri) return false;
    std::string_view scheme = g_uri_get_scheme(uri);
    const char* host = g_uri_get_host(uri);
    bool ok = (scheme == "https" || scheme == "http") && host && *host;
    g_uri_unref(uri);
    CURLU* url = curl_url();
    ok = ok && url && curl_url_set(url, CURLUPART_URL, s.c_str(), 0) == CURLUE_OK;
    curl_url_cleanup(url);
    return ok;
}

std::optional<std::string> magicLinkAddress(std::string_view email) {
    auto first = email.find_first_not_of(" \t");
    if (first == std::string_view::npos) return std::nullopt;
    auto last = email.find_last_not_of(" \t");
    std::string_view trimmed = email.substr(first, last - first + 1);
    if (trimmed.find('@') == std::string_view::npos) return std::nullopt;
    return std::string(trimmed);
}

Json signInWithIdpBody(std::string_view googleIdToken) {
    Json body = Json::object();
    // The token goes into a form-encoded text; encoding it keeps a token that is not a plain JWT
    // from adding parameters of its own (a JWT's characters stay as they are).
    body["postBody"] =
        "id_token=" + percentEncode(googleIdToken, "-._~") + "&providerId=google.com";
    body["requestUri"] = "http://localhost";
    body["returnSecureToken"] = true;
    body["returnIdpCredential"] = true;
    return body;
}

Json sendOobCodeBody(std::string_view email, std::string_view continueUrl) {
    Json body = Json::object();
    body["requestType"] = "EMAIL_SIGNIN";
    body["email"] = email;
    body["continueUrl"] = continueUrl;
    body["canHandleCodeInApp"] = true;
    return body;
}

Json emailLinkSignInBody(std::string_view email, std::string_view oobCode) {
    Json body = Json::object();
    body["email"] = email;
    body["oobCode"] = oobCode;
    return body;
}

Json userDocumentBody(std::string_view email, std::string_view displayName,
                      std::chrono::system_clock::time_point now) {
    Json fields = Json::object();
    fields["email"] = {{"stringValue", email}};
    fields["displayName"] = {{"stringValue", displayName}};
    fields["lastSeenAt"] = {{"timestampValue", rfc3339(now)}};
    Json body = Json::object();
    body["fields"] = std::move(fields);
    return body;
}

Json commitExportsBody(std::string_view projectId, std::string_view uid, std::int64_t pending) {
    Json increment = Json::object();
    increment["fieldPath"] = "exportCount";
    increment["increment"] = {{"integerValue", std::to_string(pending)}};
    Json transform = Json::object();
    transform["document"] = userDocumentName(projectId, uid);
    transform["fieldTransforms"] = Json::array({std::move(increment)});
    Json write = Json::object();
    write["transform"] = std::move(transform);
    Json body = Json::object();
    body["writes"] = Json::array({std::move(write)});
    return body;
}

std::string userDocumentName(std::string_view projectId, std::string_view uid) {
    return "projects/" + std::string(projectId) + "/databases/(default)/documents/users/" +
           std::string(uid.empty() ? "-"sv : uid);
}

std::string userDocumentPath(std::string_view projectId, std::string_view uid) {
    return "/v1/projects/" + std::string(projectId) + "/databases/(default)/documents/users/" +
           (uid.empty() ? std::string("-") : percentEncode(uid, "-._~"));
}

std::string rfc3339(std::chrono::system_clock::time_point when) {
    std::time_t t =
        std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(when));
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

Result<Json> serviceResult(long status, std::string_view body) {
    Json object = Json::parse(body, nullptr, false);
    if (object.is_discarded() || !object.is_object()) object = Json::object();
    if (status >= 200 && status <= 299) return object;
    if (auto error = object.find("error"); error != object.end() && error->is_object()) {
        if (auto message = error->find("message");
            message != error->end() && message->is_string()) {
            return fail(message->get<std::string>());
        }
    }
    return fail("HTTP " + std::to_string(status));
}

std::optional<std::int64_t> exportCountOf(const Json& document) {
    const Json* fields = readObject(document, "fields");
    const Json* count = fields ? readObject(*fields, "exportCount") : nullptr;
    auto text = count ? readString(*count, "integerValue") : std::nullopt;
    if (!text || text->empty()) return std::nullopt;
    std::int64_t value = 0;
    const char* end = text->data() + text->size();
    auto [ptr, ec] = std::from_chars(text->data() + (text->front() == '+' ? 1 : 0), end, value);
    if (ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

std::string debugDescription(const Error& error) {
    std::string quoted;
    for (char c : error.message) {
        switch (c) {
            case '"':
                quoted += "\\\"";
                break;
            case '\\':
                quoted += "\\\\";
                break;
            case '\n':
                quoted += "\\n";
                break;
            case '\r':
                quoted += "\\r";
                break;
            case '\t':
                quoted += "\\t";
                break;
            default:
                quoted.push_back(c);
        }
    }
    return "RecError(message: \"" + quoted + "\")";
}

std::string redacted(std::string text, const std::vector<std::string>& secrets) {
    for (const auto& secret : secrets) {
        if (secret.empty()) continue;
        constexpr std::string_view kMark = "[redacted]";
        for (auto at = text.find(secret); at != std::string::npos;
             at = text.find(secret, at + kMark.size())) {
            text.replace(at, secret.size(), kMark);
        }
    }
    return text;
}

double tokenLifetimeSeconds(const Json& response) {
    const char* key = response.contains("expiresIn") ? "expiresIn" : "expires_in";
    std::string text = stringOr(response, key, std::string(kDefaultLifetimeText));
    double value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || !std::isfinite(value)) {
        return kDefaultLifetime;
    }
    return value;
}

}  // namespace marlune::auth
