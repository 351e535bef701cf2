// Account commands through the real program against the service stand-in and a fake browser.

#include <sys/stat.h>

#include <ctime>
#include <regex>

#include <gtest/gtest.h>

#include "integration/child_commands.h"
#include "support/service_standin.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace test;

int portIn(const std::string& text) {
    std::smatch m;
    return std::regex_search(text, m, std::regex(R"(port=(\d+))")) ? std::stoi(m[1]) : 0;
}

// One app in its own HOME, pointed at its own stand-in.
class AccountHost {
  public:
    explicit AccountHost(const Json& storedDefaults = Json::object()) {
        Json defaults = standin.serviceKeys();
        defaults.update(storedDefaults);
        test::writeFile(defaultsFile(), defaults.dump());
        test::installFakeBrowser(home.path());
        process = std::make_unique<BridgeProcess>(
            BridgeProcess::Options{.home = home.path(),
                                   .env = {{"MARLUNE_TEST_SIGN_IN_PAGE", standin.signInPage()}},
                                   .stderrFile = home / "stderr.log"});
        EXPECT_TRUE(request("app.ready"));
    }

    fs::path defaultsFile() const { return home / ".config/marlune/defaults.json"; }
    Json defaults() const { return Json::parse(test::readFile(defaultsFile())); }

    // The reply envelope, or nothing when none came in time.
    std::optional<Json> request(const std::string& cmd, const Json& payload = nullptr) {
        auto reply = process->request(std::to_string(++lastId_), cmd, payload, 30s);
        if (reply) output_.push_back(reply->dump());
        return reply;
    }
    Json result(const std::string& cmd, const Json& payload = nullptr) {
        auto reply = request(cmd, payload);
        EXPECT_TRUE(reply && (*reply)["ok"] == true) << cmd << ": " << (reply ? reply->dump() : "");
        return reply ? (*reply)["result"] : Json();
    }

    // The next "authChanged" data that matches, after those already taken.
    std::optional<Json> nextAuthChanged(
        const std::function<bool(const Json&)>& match = [](const Json&) { return true; },
        std::chrono::milliseconds timeout = 20s) {
        std::optional<Json> found;
        waitFor(
            [&] {
                while (!found && seenEvents_ < process->events.size()) {
                    const Json& e = process->events[seenEvents_++];
                    if (e["name"] == "authChanged" && match(e["data"])) found = e["data"];
                }
                return found.has_value();
            },
            timeout);
        return found;
    }
    // Every "authChanged" still unread within `wait`.
    std::vector<Json> drainAuthChanged(std::chrono::milliseconds wait = 500ms) {
        std::vector<Json> out;
        while (auto e = nextAuthChanged([](const Json&) { return true; }, wait)) out.push_back(*e);
        return out;
    }

    // Until `done` holds or `timeout` passes, reading the app's output meanwhile.
    bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            if (auto line = process->readLine(20ms)) {
                auto s = test::parseScriptLine(*line);
                if (s.kind == ScriptLine::Kind::event) {
                    process->events.push_back(s.value);
                } else {
                    output_.push_back(*line);
                }
            }
        }
        return true;
    }

    // Signs in with Google as the stand-in's profile; the data of the signed-in "authChanged".
    Json signInWithGoogle() {
        standin.configure({{"googleToken", "google-id-token-" + std::to_string(::getpid())}});
        EXPECT_EQ(result("auth.google"), Json({{"waiting", true}}));
        auto signedIn = nextAuthChanged([](const Json& e) { return e["signedIn"] == true; });
        EXPECT_TRUE(signedIn);
        return signedIn.value_or(Json());
    }

    // Counts an export the way the editor makes one: a trimmed copy of a short recording.
    void exportOnce() {
        fs::path movie = home / "Videos/Marlune/Clip.mp4";
        if (!fs::exists(movie)) {
            ASSERT_TRUE(test::makeMovie(movie, 1.0));
        }
        auto made =
            result("edit.exportTrim", {{"name", "Clip.mp4"}, {"startMs", 0}, {"endMs", 500}});
        ASSERT_TRUE(made.contains("name")) << made.dump();
    }

    // Ends the app; no token or code the stand-in handed out or took in appears in its standard
    // error, the debug log or anything the page was sent.
    void expectNothingLeaked() {
        EXPECT_EQ(process->closeAndWait(), 0);
        std::string seen = test::readFile(home / "stderr.log");
        seen += test::readFile("/tmp/marlune-debug.log");
        for (const auto& e : process->events) seen += e.dump();
        for (const auto& l : process->others) seen += l;
        for (const auto& l : process->leftover) seen += l;
        for (const auto& l : output_) seen += l;
        for (const auto& secret : standin.secrets()) {
            EXPECT_EQ(seen.find(secret), std::string::npos) << "leaked: " << secret;
        }
    }

    test::TempDir home;
    test::ServiceStandIn standin;
    std::unique_ptr<BridgeProcess> process;

  private:
    int lastId_ = 0;
    std::size_t seenEvents_ = 0;
    std::vector<std::string> output_;
};

const Json kSignedOut = Json::parse(R"({"signedIn":false,"uid":"","email":"","name":"",)"
                                    R"("photo":"","exportCount":0,"waitingForBrowser":false})");

// Guards a sign-in that keeps a stale token, a readable token file or a listener left open.
TEST(AccountCommands, GoogleSignInRenewsAndStoresTheTokensForTheUserAlone) {
    AccountHost app;
    EXPECT_EQ(app.result("auth.state"), kSignedOut);
    // 30 s left, inside the 60 s margin: renewed before the user document is written.
    app.standin.configure({{"googleToken", "google-id-token-for-ann"}, {"expiresIn", "30"}});
    EXPECT_EQ(app.result("auth.google"), Json({{"waiting", true}}));

    // The browser was sent to the built sign-in page with the listener's port.
    ASSERT_TRUE(app.waitFor([&] { return !app.standin.requestsOf("page").empty(); }));
    auto page = app.standin.requestsOf("page");
    ASSERT_EQ(page.size(), 1u);
    const std::string query = page[0]["query"];
    const int port = portIn(query);
    EXPECT_EQ(page[0]["headers"]["x-opened-url"], test::builtSignInOrigin() + "/auth?" + query);

    auto signedIn = app.nextAuthChanged([](const Json& e) { return e["signedIn"] == true; });
    ASSERT_TRUE(signedIn);
    const Json profile = Json::parse(
        R"({"signedIn":true,"uid":"uid-ann","email":"ann@example.com","name":"Ann Example",)"
        R"("photo":"https://example.com/ann.png","exportCount":0,"waitingForBrowser":false})");
    EXPECT_EQ(*signedIn, profile);
    EXPECT_EQ(app.result("auth.state"), profile);

    // The user document is written with the renewed token, the one stored; nothing to sync.
    ASSERT_TRUE(app.waitFor([&] { return app.standin.requestsOf("patch").size() == 1; }));
    auto stored = app.defaults();
    EXPECT_EQ(app.standin.requestsOf("patch")[0]["headers"]["authorization"],
              "Bearer " + stored["authIdToken"].get<std::string>());
    EXPECT_EQ(app.standin.requestsOf("token").size(), 1u);
    EXPECT_TRUE(app.standin.requestsOf("commit").empty());

    // Kept for the next start, readable only by the user.
    EXPECT_EQ(stored["authUid"], "uid-ann");
    EXPECT_TRUE(stored["authRefreshToken"].is_string());
    double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(stored["authExpiresAt"].get<double>(), now + 3600 - 60, 60);
    struct stat info {};
    ASSERT_EQ(::stat(app.defaultsFile().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // The listener is gone: another callback to it reaches nobody.
    EXPECT_EQ(test::rawExchange(port, "GET /callback?token=late HTTP/1.1\r\n\r\n"), "");
    app.expectNothingLeaked();
}

// Guards refusals, cancels and failures that sign somebody in, store a token or leak one.
TEST(AccountCommands, RefusalsCancelsAndFailuresSignNobodyIn) {
    AccountHost app;
    struct Case {
        Json failure;
        const char* message;
    };
    const Case refused[] = {
        {{{"call", "sendOobCode"},
          {"status", 400},
          {"message", "OPERATION_NOT_ALLOWED : Email link sign-in is disabled."}},
         "Email link sign-in isn't enabled for this Firebase project yet"},
        {{{"call", "sendOobCode"}, {"status", 503}, {"message", "UNAVAILABLE"}},
         "Couldn't send the sign-in link"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.failure.dump());
        app.standin.configure({{"failures", Json::array({c.failure})}});
        EXPECT_EQ(errorOf(app.request("auth.magicLink", {{"email", "bob@example.com"}})),
                  c.message);
        EXPECT_EQ(app.result("auth.state")["waitingForBrowser"], false);
    }
    EXPECT_EQ(app.standin.requestsOf("sendOobCode").size(), std::size(refused));
    // None of it was a sign-in.
    for (const auto& e : app.drainAuthChanged()) EXPECT_EQ(e["signedIn"], false);

    // The browser comes back without a result (the test plays its callback, with the state the
    // page was given): cancelled, and the listener is gone after it.
    ASSERT_EQ(app.result("auth.google"), Json({{"waiting", true}}));
    ASSERT_TRUE(app.waitFor([&] { return !app.standin.requestsOf("page").empty(); }));
    const std::string query = app.standin.requestsOf("page").back()["query"];
    const int port = portIn(query);
    EXPECT_EQ(app.result("auth.state")["waitingForBrowser"], true);
    std::smatch given;
    ASSERT_TRUE(std::regex_search(query, given, std::regex(R"(state=(\w+))")));
    EXPECT_NE(test::rawExchange(port, "GET /callback?state=" + given[1].str() + " HTTP/1.1\r\n\r\n")
                  .find("Done \u2014 you can close this tab"),
              std::string::npos);
    auto cancelled = app.nextAuthChanged();
    ASSERT_TRUE(cancelled);
    Json expected = kSignedOut;
    expected["error"] = "Sign-in was cancelled";
    EXPECT_EQ(*cancelled, expected);
    EXPECT_EQ(test::rawExchange(port, "GET /callback?token=t HTTP/1.1\r\n\r\n"), "");
    EXPECT_TRUE(app.standin.requestsOf("signInWithIdp").empty());
    EXPECT_TRUE(app.standin.requestsOf("signInWithEmailLink").empty());

    // A failed sign-in says why; a service that echoes what it was sent does not carry the token
    // any further.
    app.standin.configure({{"googleToken", "google-token-" + std::to_string(::getpid())},
                           {"failures",
                            {{{"call", "signInWithIdp"},
                              {"status", 400},
                              {"message", "INVALID_IDP_RESPONSE : bad request {body}"}}}}});
    ASSERT_EQ(app.result("auth.google"), Json({{"waiting", true}}));
    auto failed = app.nextAuthChanged([](const Json& e) { return e.contains("error"); });
    ASSERT_TRUE(failed);
    expected["error"] =
        "Sign-in failed: RecError(message: \"INVALID_IDP_RESPONSE : bad request "
        "{\\\"postBody\\\":\\\"id_token=[redacted]&providerId=google.com\\\","
        "\\\"requestUri\\\":\\\"http://localhost\\\",\\\"returnSecureToken\\\":true,"
        "\\\"returnIdpCredential\\\":true}\")";
    EXPECT_EQ(*failed, expected);
    auto stored = app.defaults();
    for (const char* key : {"authUid", "authIdToken", "authRefreshToken", "authExpiresAt"}) {
        EXPECT_FALSE(stored.contains(key)) << key;
    }
    EXPECT_TRUE(app.standin.requestsOf("patch").empty());

    // A refused renewal leaves the user signed in; the export waits for a token.
    app.standin.configure({{"expiresIn", "30"},
                           {"failures",
                            {{{"call", "token"},
                              {"status", 400},
                              {"message", "INVALID_REFRESH_TOKEN"},
                              {"times", -1}}}}});
    app.signInWithGoogle();
    ASSERT_TRUE(app.waitFor([&] { return app.standin.requestsOf("token").size() == 1; }));
    ASSERT_NO_FATAL_FAILURE(app.exportOnce());
    ASSERT_TRUE(app.waitFor([&] { return app.standin.requestsOf("token").size() == 2; }));
    app.drainAuthChanged();
    auto state = app.result("auth.state");
    EXPECT_EQ(std::pair(state["signedIn"], state["exportCount"]), std::pair(Json(true), Json(1)));
    EXPECT_TRUE(app.defaults()["authRefreshToken"].is_string());
    EXPECT_EQ(app.defaults()["exportPending"], 1);
    EXPECT_TRUE(app.standin.requestsOf("patch").empty());
    EXPECT_TRUE(app.standin.requestsOf("commit").empty());
    app.expectNothingLeaked();
}

TEST(AccountCommands, ExportsAreCountedAndSyncedAndOutliveSignOut) {
    // Two exports were made while signed out, and an old total is on record.
    AccountHost app({{"exportCountTotal", 7}, {"exportPending", 2}});
    EXPECT_EQ(app.result("auth.state")["exportCount"], 7);
    auto signedIn = app.signInWithGoogle();
    EXPECT_EQ(signedIn["exportCount"], 7);
    // They are added at sign-in; the database's total then replaces the local one.
    auto synced = app.nextAuthChanged([](const Json& e) { return e["exportCount"] == 2; });
    ASSERT_TRUE(synced);
    EXPECT_EQ(app.defaults()["exportPending"], 0);
    EXPECT_EQ(app.defaults()["exportCountTotal"], 2);

    // One increment of both, then the total read back (the bodies: the protocol tests).
    auto increment = [&](std::size_t i) {
        const Json body =
            Json::parse(app.standin.requestsOf("commit").at(i)["body"].get<std::string>());
        return body["writes"][0]["transform"]["fieldTransforms"][0]["increment"]["integerValue"];
    };
    EXPECT_EQ(app.standin.requestsOf("commit").size(), 1u);
    EXPECT_EQ(increment(0), "2");
    EXPECT_EQ(app.standin.requestsOf("get").size(), 1u);

    // Offline: an export is counted at once and kept pending...
    app.standin.configure({{"failures", {{{"call", "commit"}, {"mode", "drop"}}}}});
    ASSERT_NO_FATAL_FAILURE(app.exportOnce());
    ASSERT_TRUE(app.waitFor([&] { return app.standin.requestsOf("commit").size() == 2; }));
    app.drainAuthChanged();
    EXPECT_EQ(app.defaults()["exportPending"], 1);
    EXPECT_EQ(app.result("auth.state")["exportCount"], 3);
    // ...and sent with the next one.
    ASSERT_NO_FATAL_FAILURE(app.exportOnce());
    auto total = app.nextAuthChanged([](const Json& e) { return e["exportCount"] == 4; });
    ASSERT_TRUE(total);
    EXPECT_EQ((*total)["signedIn"], true);
    ASSERT_TRUE(app.waitFor([&] { return app.standin.requestsOf("get").size() == 2; }));
    EXPECT_EQ(increment(2), "2");
    ASSERT_TRUE(app.waitFor([&] { return app.defaults()["exportPending"] == 0; }));
    EXPECT_EQ(app.standin.state()["documents"]["uid-ann"]["fields"]["exportCount"],
              Json({{"integerValue", "4"}}));

    // Signing out keeps the counters, and ends a wait for a browser that will not come.
    app.standin.configure({{"googleToken", nullptr}});
    ASSERT_EQ(app.result("auth.google"), Json({{"waiting", true}}));
    app.drainAuthChanged();

    EXPECT_EQ(app.result("auth.signOut"), Json::object());
    auto signedOut = app.nextAuthChanged();
    ASSERT_TRUE(signedOut);
    Json expected = kSignedOut;
    expected["exportCount"] = 4;
    EXPECT_EQ(*signedOut, expected);
    auto stored = app.defaults();
    for (const char* key : {"authUid", "authEmail", "authName", "authPhoto", "authIdToken",
                            "authRefreshToken", "authExpiresAt"}) {
        EXPECT_FALSE(stored.contains(key)) << key;
    }
    EXPECT_EQ(stored["exportCountTotal"], 4);
    EXPECT_EQ(stored["exportPending"], 0);
    EXPECT_TRUE(stored.contains("authIdentityServiceURL")) << "other keys stay";

    // Signed out, an export is still counted, and waits for the next sign-in.
    ASSERT_NO_FATAL_FAILURE(app.exportOnce());
    auto countedOut = app.nextAuthChanged([](const Json& e) { return e["exportCount"] == 5; });
    ASSERT_TRUE(countedOut && (*countedOut)["signedIn"] == false);
    EXPECT_EQ(app.defaults()["exportPending"], 1);
    EXPECT_EQ(app.standin.requestsOf("commit").size(), 3u);
    app.expectNothingLeaked();
}

}  // namespace
}  // namespace marlune
