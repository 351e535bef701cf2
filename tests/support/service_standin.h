#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "core/json.h"
#include "support/raw_http.h"

namespace marlune::test {

// The account services' stand-in (tests/account/service_standin.py) as a child process: identity,
// secure-token and document-database endpoints plus the sign-in page, each request recorded.
class ServiceStandIn {
  public:
    ServiceStandIn();  // throws when it cannot start
    ~ServiceStandIn();
    ServiceStandIn(const ServiceStandIn&) = delete;
    ServiceStandIn& operator=(const ServiceStandIn&) = delete;

    int port() const { return port_; }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // What the fake browser loads instead of the sign-in page's origin.
    std::string signInPage() const { return base() + "/page"; }

    // Replaces the named settings of the stand-in (see the script).
    void configure(const Json& settings) { control("POST", "/control/config", settings.dump()); }
    // The requests of one call ("signInWithIdp", "sendOobCode", "signInWithEmailLink", "token",
    // "patch", "commit", "get", "page"); each {"call", "method", "path", "query", "headers",
    // "body"}.
    std::vector<Json> requestsOf(const std::string& call);
    // {"documents", "mailbox", "secrets"}.
    Json state() { return control("GET", "/control/state", ""); }
    // Every token and code it handed out or received.
    std::vector<std::string> secrets() {
        return state()["secrets"].get<std::vector<std::string>>();
    }

    // The defaults-store keys that point the app at this stand-in.
    Json serviceKeys() const {
        return {{"authIdentityServiceURL", base() + "/identity"},
                {"authTokenServiceURL", base() + "/token"},
                {"authDatabaseServiceURL", base() + "/database"}};
    }

  private:
    Json control(const std::string& method, const std::string& path, const std::string& body);
    int pid_ = -1;
    int port_ = 0;
};

// Sets HOME's default handler of http and https addresses to tests/account/fake_browser.py.
void installFakeBrowser(const std::filesystem::path& home);
// Runs the fake browser on `url` and waits for it; true when it loaded the page.
bool openInFakeBrowser(const std::string& url, const std::string& signInPage);

// The account configuration the program under test was built with.
std::string builtApiKey();
std::string builtProjectId();
std::string builtSignInOrigin();

}  // namespace marlune::test
