// Guards the account protocol's parsers and encoders against every input the services could send.

#include "account/auth_protocol.h"

#include <gtest/gtest.h>

namespace marlune::auth {
namespace {

// The fields a callback carried, "name=value" joined by "|"; "-" for no result at all.
std::string describe(const std::optional<CallbackParams>& p) {
    if (!p) return "-";
    std::string out;
    auto add = [&](const char* name, const std::optional<std::string>& v) {
        if (v) out += (out.empty() ? "" : "|") + std::string(name) + "=" + *v;
    };
    add("token", p->token);
    add("oobCode", p->oobCode);
    add("email", p->email);
    add("error", p->error);
    return out;
}

TEST(AuthProtocol, CallbackRequestsAreReadOnlyFromGetCallback) {
    const std::pair<std::string, std::string> cases[] = {
        {"GET /callback?token=eyJ.a-b_c HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", "token=eyJ.a-b_c"},
        {"GET /callback?oobCode=c1&email=bob%40example.com HTTP/1.1\r\n\r\n",
         "oobCode=c1|email=bob@example.com"},
        {"GET /callback?error=access_denied HTTP/1.1\r\n\r\n", "error=access_denied"},
        {"GET /callback HTTP/1.1\r\n\r\n", ""},
        // The first parameter of a name counts, even without a value; "+" is not a space.
        {"GET /callback?token=a%2Bb+c&token=second HTTP/1.1", "token=a+b+c"},
        {"GET /callback?token&token=second HTTP/1.1", ""},
        {"GET /callback?error=%E2%80%94%20no HTTP/1.1", "error=\u2014 no"},
        // Values that decode to no text count as missing.
        {"GET /callback?error=%FF&token=%00 HTTP/1.1", ""},
        // Everything else is no result at all.
        {"GET /favicon.ico HTTP/1.1\r\n\r\n", "-"},
        {"GET /callback/ HTTP/1.1", "-"},
        {"GET /Callback?token=t HTTP/1.1", "-"},
        {"POST /callback?token=t HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "-"},
        // A target that is not a path, though it would end in "/callback" after the origin.
        {"GET @evil/callback?token=t HTTP/1.1", "-"},
        {"GET", "-"},
        {"GET /callback?token=%zz HTTP/1.1", "-"},
    };
    for (const auto& [head, expected] : cases) {
        EXPECT_EQ(describe(parseCallbackRequest(head)), expected) << head;
    }
}

TEST(AuthProtocol, EncodingsAndAddresses) {
    // In: form encoding, query-value encoding ("+", "&" and "=" would change what the page reads).
    const std::tuple<const char*, const char*, const char*> encodings[] = {
        {"bob+tag@x.io", "bob%2Btag%40x%2Eio", "bob%2Btag@x.io"},
        {"a&b=c@x.io", "a%26b%3Dc%40x%2Eio", "a%26b%3Dc@x.io"},
        {"o'neil!$*(x),;:/?~_-.", "o%27neil%21%24%2A%28x%29%2C%3B%3A%2F%3F%7E%5F%2D%2E",
         "o'neil!$*(x),;:/?~_-."},
        {"jos\xC3\xA9", "jos%C3%A9", "jos%C3%A9"},
    };
    for (const auto& [in, form, query] : encodings) {
        EXPECT_EQ(formEncode(in), form) << in;
        EXPECT_EQ(encodeQueryValue(in), query) << in;
    }
    const std::pair<const char*, bool> urls[] = {{"https://signin.example.com/auth?port=1", true},
                                                 {"http://127.0.0.1:8080/a", true},
                                                 {"signin.example.com/auth?port=1", false},
                                                 {"https:///auth?port=1", false},
                                                 {"https://exa mple.com/auth", false},
                                                 {"", false}};
    for (const auto& [url, valid] : urls) EXPECT_EQ(isWebURL(url), valid) << url;
    // Only spaces and tabs are trimmed.
    const std::pair<const char*, std::optional<std::string>> emails[] = {
        {" \tbob@example.com\t ", "bob@example.com"},
        {" \t ", std::nullopt},
        {"\nbob@example.com\r\n", "\nbob@example.com\r\n"}};
    for (const auto& [email, accepted] : emails) EXPECT_EQ(magicLinkAddress(email), accepted);
}

TEST(AuthProtocol, RequestBodiesKeepEachValueInItsPlace) {
    // A token cannot add form parameters of its own, nor a uid path segments.
    EXPECT_EQ(signInWithIdpBody("x&providerId=evil").value("postBody", ""),
              "id_token=x%26providerId%3Devil&providerId=google.com");
    EXPECT_EQ(userDocumentPath("p", "../x?y"),
              "/v1/projects/p/databases/(default)/documents/users/..%2Fx%3Fy");
    EXPECT_EQ(userDocumentPath("p", ""), "/v1/projects/p/databases/(default)/documents/users/-");
    EXPECT_EQ(commitExportsBody("p", "", 1)["writes"][0]["transform"]["document"],
              "projects/p/databases/(default)/documents/users/-");
    auto when = std::chrono::sys_days{std::chrono::year{2024} / 2 / 29} + std::chrono::hours{23} +
                std::chrono::minutes{59} + std::chrono::milliseconds{59999};
    EXPECT_EQ(userDocumentBody("ann@x.io", "Ann \"A\"", when).dump(),
              R"({"fields":{"email":{"stringValue":"ann@x.io"},)"
              R"("displayName":{"stringValue":"Ann \"A\""},)"
              R"("lastSeenAt":{"timestampValue":"2024-02-29T23:59:59Z"}}})");
}

TEST(AuthProtocol, ServiceAnswers) {
    const std::tuple<long, const char*, Result<Json>> answers[] = {
        {200, R"({"localId":"u"})", Json{{"localId", "u"}}},
        {299, "", Json::object()},
        {200, "[1,2]", Json::object()},
        {204, "not json", Json::object()},
        {400, R"({"error":{"code":400,"message":"OPERATION_NOT_ALLOWED"}})",
         fail("OPERATION_NOT_ALLOWED")},
        {400, R"({"error":{"message":7}})", fail("HTTP 400")},
        {0, "", fail("HTTP 0")},
    };
    for (const auto& [status, body, expected] : answers) {
        EXPECT_EQ(serviceResult(status, body), expected) << status << " " << body;
    }
    const std::pair<const char*, double> lifetimes[] = {
        {R"({"expires_in":"30"})", 30},
        {R"({"expiresIn":"90","expires_in":"5"})", 90},
        {R"({"expiresIn":120})", 3600}};
    for (const auto& [response, lifetime] : lifetimes) {
        EXPECT_EQ(tokenLifetimeSeconds(Json::parse(response)), lifetime) << response;
    }
    const std::pair<const char*, std::optional<std::int64_t>> counts[] = {
        {R"("42")", 42},
        {"42", std::nullopt},
        {R"("4x")", std::nullopt},
        {R"("99999999999999999999")", std::nullopt}};
    for (const auto& [value, count] : counts) {
        auto doc = Json::parse(R"({"fields":{"exportCount":{"integerValue":)" + std::string(value) +
                               "}}}");
        EXPECT_EQ(exportCountOf(doc), count) << value;
    }
}

TEST(AuthProtocol, ARedactedSecretThatTheMarkContainsDoesNotLoop) {
    EXPECT_EQ(redacted("d-d", {"d", ""}), "[redacted]-[redacted]");
}

}  // namespace
}  // namespace marlune::auth
