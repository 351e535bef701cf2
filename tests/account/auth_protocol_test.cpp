#include "account/auth_protocol.h"

#include <gtest/gtest.h>

namespace marlune::auth {
namespace {

using Params = std::optional<CallbackParams>;

CallbackParams params(std::optional<std::string> token, std::optional<std::string> oobCode,
                      std::optional<std::string> email, std::optional<std::string> error) {
    return CallbackParams{std::move(token), std::move(oobCode), std::move(email), std::move(error)};
}

TEST(AuthProtocol, CallbackRequestsAreReadOnlyFromGetCallback) {
    const auto none = std::nullopt;
    struct Case {
        const char* head;
        Params expected;
    };
    const Case cases[] = {
        {"GET /callback?token=eyJ.a-b_c HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
         params("eyJ.a-b_c", none, none, none)},
        {"GET /callback?oobCode=c1&email=bob%40example.com HTTP/1.1\r\n\r\n",
         params(none, "c1", "bob@example.com", none)},
        {"GET /callback?error=access_denied HTTP/1.1\r\n\r\n",
         params(none, none, none, "access_denied")},
        {"GET /callback HTTP/1.1\r\n\r\n", params(none, none, none, none)},
        {"GET /callback?oobCode=c1 HTTP/1.1\r\n\r\n", params(none, "c1", none, none)},
        // The request line needs only a target.
        {"GET /callback?token=t", params("t", none, none, none)},
        // The first parameter of a name counts, even when it has no value; "+" is not a space.
        {"GET /callback?token=a%2Bb+c&token=second HTTP/1.1", params("a+b+c", none, none, none)},
        {"GET /callback?token&token=second HTTP/1.1", params(none, none, none, none)},
        {"GET /callback?token=&error=x HTTP/1.1", params("", none, none, "x")},
        {"GET /callback?error=%E2%80%94%20no HTTP/1.1", params(none, none, none, "\u2014 no")},
        // Values that decode to no text count as missing.
        {"GET /callback?error=%FF&token=%00 HTTP/1.1", params(none, none, none, none)},
        {"GET /callback#token=t HTTP/1.1", params(none, none, none, none)},
        // Everything else is no result at all.
        {"GET /favicon.ico HTTP/1.1\r\n\r\n", none},
        {"GET /callback/ HTTP/1.1", none},
        {"GET /Callback?token=t HTTP/1.1", none},
        {"GET /callbackx?token=t HTTP/1.1", none},
        {"POST /callback?token=t HTTP/1.1\r\nContent-Length: 0\r\n\r\n", none},
        {"get /callback?token=t HTTP/1.1", none},
        {"GET  /callback?token=t HTTP/1.1", none},
        // A target that is not a path, though it would end in "/callback" after the origin.
        {"GET @evil/callback?token=t HTTP/1.1", none},
        {"GET :80/callback?token=t HTTP/1.1", none},
        {"GET Y/callback?token=t HTTP/1.1", none},
        {"GET", none},
        {"GET ", none},
        {"", none},
        {"GET /callback?token=%zz HTTP/1.1", none},
        {"\r\nGET /callback?token=t HTTP/1.1", none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.head);
        auto got = parseCallbackRequest(c.head);
        ASSERT_EQ(got.has_value(), c.expected.has_value());
        if (!got) continue;
        EXPECT_EQ(got->token, c.expected->token);
        EXPECT_EQ(got->oobCode, c.expected->oobCode);
        EXPECT_EQ(got->email, c.expected->email);
        EXPECT_EQ(got->error, c.expected->error);
    }
}

TEST(AuthProtocol, LoopbackReplyIsTheFixedPage) {
    std::string_view reply = kLoopbackReply;
    auto split = reply.find("\r\n\r\n");
    ASSERT_NE(split, std::string_view::npos);
    EXPECT_EQ(reply.substr(0, split + 4),
              "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
              "Content-Length: 215\r\nConnection: close\r\n\r\n");
    std::string_view body = reply.substr(split + 4);
    EXPECT_EQ(body.size(), 215u);
    EXPECT_TRUE(body.starts_with("<html><body style=\"background:#0a0a0c;color:#aab;"));
    EXPECT_NE(body.find("Done \xE2\x80\x94 you can close this tab and return to Marlune Studio."),
              std::string_view::npos);
    EXPECT_TRUE(body.ends_with("</body></html>"));
}

TEST(AuthProtocol, Encodings) {
    struct Case {
        const char* in;
        const char* form;
        const char* queryValue;
    };
    const Case cases[] = {
        {"AZaz09", "AZaz09", "AZaz09"},
        {"bob@example.com", "bob%40example%2Ecom", "bob@example.com"},
        // "+", "&" and "=" would change what the page reads out of the address.
        {"bob+tag@x.io", "bob%2Btag%40x%2Eio", "bob%2Btag@x.io"},
        {"a&b=c@x.io", "a%26b%3Dc%40x%2Eio", "a%26b%3Dc@x.io"},
        {"o'neil!$*(x),;:/?~_-.", "o%27neil%21%24%2A%28x%29%2C%3B%3A%2F%3F%7E%5F%2D%2E",
         "o'neil!$*(x),;:/?~_-."},
        {"a b#%\"<>", "a%20b%23%25%22%3C%3E", "a%20b%23%25%22%3C%3E"},
        {"jos\xC3\xA9", "jos%C3%A9", "jos%C3%A9"},
        {"AMf-vBx_9.z", "AMf%2DvBx%5F9%2Ez", "AMf-vBx_9.z"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(formEncode(c.in), c.form);
        EXPECT_EQ(encodeQueryValue(c.in), c.queryValue);
    }
    EXPECT_EQ(formBody({{"grant_type", "refresh_token"}, {"refresh_token", "r-1/2"}}),
              "grant_type=refresh%5Ftoken&refresh_token=r%2D1%2F2");
}

TEST(AuthProtocol, SignInPageAddresses) {
    EXPECT_EQ(googleSignInPage("https://signin.example.com", 41234),
              "https://signin.example.com/auth?port=41234");
    EXPECT_EQ(googleSignInPage("https://signin.example.com/", 7),
              "https://signin.example.com/auth?port=7");
    EXPECT_EQ(emailContinueUrl("https://signin.example.com", 5000, "bob+x@example.com"),
              "https://signin.example.com/email?port=5000&email=bob%2Bx@example.com");

    struct Case {
        const char* url;
        bool valid;
    };
    const Case urls[] = {
        {"https://signin.example.com/auth?port=1", true},
        {"http://127.0.0.1:8080/auth?port=1", true},
        {"signin.example.com/auth?port=1", false},
        {"https:///auth?port=1", false},
        {"ftp://signin.example.com/auth?port=1", false},
        {"https://exa mple.com/auth", false},
        {"", false},
    };
    for (const auto& c : urls) EXPECT_EQ(isWebURL(c.url), c.valid) << c.url;
}

TEST(AuthProtocol, MagicLinkAddressCheck) {
    struct Case {
        const char* email;
        std::optional<std::string> accepted;
    };
    const Case cases[] = {
        {"bob@example.com", "bob@example.com"},
        {" \tbob@example.com\t ", "bob@example.com"},
        {" bob ", std::nullopt},
        {"", std::nullopt},
        {" \t ", std::nullopt},
        {"@", "@"},
        // Only spaces and tabs are trimmed.
        {"\nbob@example.com\r\n", "\nbob@example.com\r\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(magicLinkAddress(c.email), c.accepted) << c.email;
}

TEST(AuthProtocol, RequestBodies) {
    EXPECT_EQ(signInWithIdpBody("eyJ.a-b_c").dump(),
              R"({"postBody":"id_token=eyJ.a-b_c&providerId=google.com",)"
              R"("requestUri":"http://localhost","returnSecureToken":true,)"
              R"("returnIdpCredential":true})");
    // A token cannot add form parameters of its own.
    EXPECT_EQ(signInWithIdpBody("x&providerId=evil").value("postBody", ""),
              "id_token=x%26providerId%3Devil&providerId=google.com");
    EXPECT_EQ(sendOobCodeBody("bob@x.io", "https://s.io/email?port=1&email=bob@x.io").dump(),
              R"({"requestType":"EMAIL_SIGNIN","email":"bob@x.io",)"
              R"("continueUrl":"https://s.io/email?port=1&email=bob@x.io",)"
              R"("canHandleCodeInApp":true})");
    EXPECT_EQ(emailLinkSignInBody("bob@x.io", "code").dump(),
              R"({"email":"bob@x.io","oobCode":"code"})");

    auto when = std::chrono::sys_days{std::chrono::year{2024} / 2 / 29} + std::chrono::hours{23} +
                std::chrono::minutes{59} + std::chrono::milliseconds{59999};
    EXPECT_EQ(userDocumentBody("ann@x.io", "Ann \"A\"", when).dump(),
              R"({"fields":{"email":{"stringValue":"ann@x.io"},)"
              R"("displayName":{"stringValue":"Ann \"A\""},)"
              R"("lastSeenAt":{"timestampValue":"2024-02-29T23:59:59Z"}}})");
    EXPECT_EQ(
        commitExportsBody("proj-1", "uid-7", 3).dump(),
        R"({"writes":[{"transform":{"document":)"
        R"("projects/proj-1/databases/(default)/documents/users/uid-7",)"
        R"("fieldTransforms":[{"fieldPath":"exportCount","increment":{"integerValue":"3"}}]}}]})");
    EXPECT_EQ(commitExportsBody("p", "", 1)["writes"][0]["transform"]["document"],
              "projects/p/databases/(default)/documents/users/-");

    EXPECT_EQ(userDocumentPath("p", "uid-7"),
              "/v1/projects/p/databases/(default)/documents/users/uid-7");
    EXPECT_EQ(userDocumentPath("p", ""), "/v1/projects/p/databases/(default)/documents/users/-");
    // A uid is one path segment whatever the service sent.
    EXPECT_EQ(userDocumentPath("p", "../x?y"),
              "/v1/projects/p/databases/(default)/documents/users/..%2Fx%3Fy");
}

TEST(AuthProtocol, ServiceAnswers) {
    struct Case {
        long status;
        const char* body;
        Result<Json> expected;
    };
    const Case cases[] = {
        {200, R"({"localId":"u"})", Json{{"localId", "u"}}},
        {299, "", Json::object()},
        {200, "[1,2]", Json::object()},
        {204, "not json", Json::object()},
        {400, R"({"error":{"code":400,"message":"OPERATION_NOT_ALLOWED"}})",
         fail("OPERATION_NOT_ALLOWED")},
        {400, R"({"error":{"message":7}})", fail("HTTP 400")},
        {401, R"({"error":"denied"})", fail("HTTP 401")},
        {302, "", fail("HTTP 302")},
        {500, "<html>oops</html>", fail("HTTP 500")},
        {0, "", fail("HTTP 0")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " " + c.body);
        EXPECT_EQ(serviceResult(c.status, c.body), c.expected);
    }
}

TEST(AuthProtocol, TokenAnswers) {
    struct Case {
        const char* response;
        double lifetime;
    };
    const Case lifetimes[] = {
        {R"({"expiresIn":"120"})", 120},
        {R"({"expires_in":"30"})", 30},
        {R"({"expiresIn":"90","expires_in":"5"})", 90},
        {R"({"expiresIn":null,"expires_in":"5"})", 3600},
        {R"({"expiresIn":120})", 3600},
        {R"({"expiresIn":"soon"})", 3600},
        {R"({"expiresIn":"120s"})", 3600},
        {R"({"expiresIn":"inf"})", 3600},
        {R"({"expiresIn":""})", 3600},
        {R"({"expiresIn":"1.5e3"})", 1500},
        {"{}", 3600},
    };
    for (const auto& c : lifetimes) {
        EXPECT_EQ(tokenLifetimeSeconds(Json::parse(c.response)), c.lifetime) << c.response;
    }

    struct Count {
        const char* document;
        std::optional<std::int64_t> count;
    };
    const Count counts[] = {
        {R"({"fields":{"exportCount":{"integerValue":"42"}}})", 42},
        {R"({"fields":{"exportCount":{"integerValue":"-3"}}})", -3},
        {R"({"fields":{"exportCount":{"integerValue":42}}})", std::nullopt},
        {R"({"fields":{"exportCount":{"integerValue":"4x"}}})", std::nullopt},
        {R"({"fields":{"exportCount":{"integerValue":""}}})", std::nullopt},
        {R"({"fields":{"exportCount":{"integerValue":"99999999999999999999"}}})", std::nullopt},
        {R"({"fields":{"email":{"stringValue":"a"}}})", std::nullopt},
        {"{}", std::nullopt},
    };
    for (const auto& c : counts) EXPECT_EQ(exportCountOf(Json::parse(c.document)), c.count);
}

TEST(AuthProtocol, ErrorTextsCarryNoTokens) {
    EXPECT_EQ(debugDescription(Error{"INVALID_IDP_RESPONSE"}),
              R"(RecError(message: "INVALID_IDP_RESPONSE"))");
    EXPECT_EQ(debugDescription(Error{"say \"hi\"\\\n"}), R"(RecError(message: "say \"hi\"\\\n"))");
    EXPECT_EQ(redacted("bad token abc and abc again; xabcx", {"abc", ""}),
              "bad token [redacted] and [redacted] again; x[redacted]x");
    // A secret that the mark itself contains does not loop.
    EXPECT_EQ(redacted("d-d", {"d"}), "[redacted]-[redacted]");
}

}  // namespace
}  // namespace marlune::auth
