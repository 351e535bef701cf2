#include "support/service_standin.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include <glib.h>

#include "support/temp_dir.h"

namespace marlune::test {

namespace fs = std::filesystem;

namespace {
const fs::path kScripts = MARLUNE_TEST_ACCOUNT_DIR;
constexpr const char* kPython = "/usr/bin/python3";
}  // namespace

std::string builtApiKey() {
    return MARLUNE_AUTH_API_KEY;
}
std::string builtProjectId() {
    return MARLUNE_AUTH_PROJECT_ID;
}
std::string builtSignInOrigin() {
    return MARLUNE_AUTH_SIGN_IN_ORIGIN;
}

ServiceStandIn::ServiceStandIn() {
    std::string script = (kScripts / "service_standin.py").string();
    std::string key = builtApiKey(), project = builtProjectId();
    const char* argv[] = {kPython, script.c_str(), key.c_str(), project.c_str(), nullptr};
    int out = -1;
    GError* error = nullptr;
    if (!g_spawn_async_with_pipes(nullptr, const_cast<char**>(argv), nullptr,
                                  G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid_, nullptr, &out,
                                  nullptr, &error)) {
        std::string message = error->message;
        g_error_free(error);
        throw std::runtime_error("the service stand-in did not start: " + message);
    }
    std::string line;
    char c;
    while (::read(out, &c, 1) == 1 && c != '\n') line.push_back(c);
    ::close(out);
    if (!line.starts_with("PORT ")) throw std::runtime_error("the service stand-in said " + line);
    port_ = std::stoi(line.substr(5));
}

ServiceStandIn::~ServiceStandIn() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
}

Json ServiceStandIn::control(const std::string& method, const std::string& path,
                             const std::string& body) {
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: standin\r\n" +
                          "Content-Length: " + std::to_string(body.size()) +
                          "\r\nConnection: close\r\n\r\n" + body;
    std::string answer = rawExchange(port_, request);
    auto start = answer.find("\r\n\r\n");
    if (start == std::string::npos) throw std::runtime_error("no answer from the stand-in");
    return Json::parse(answer.substr(start + 4));
}

std::vector<Json> ServiceStandIn::requestsOf(const std::string& call) {
    std::vector<Json> out;
    for (const auto& r : control("GET", "/control/requests", "")) {
        if (r["call"] == call) out.push_back(r);
    }
    return out;
}

void installFakeBrowser(const fs::path& home) {
    std::string exec =
        std::string(kPython) + " \"" + (kScripts / "fake_browser.py").string() + "\" %u";
    writeFile(home / ".local/share/applications/marlune-test-browser.desktop",
              "[Desktop Entry]\nType=Application\nName=Test Browser\nExec=" + exec +
                  "\nMimeType=x-scheme-handler/http;x-scheme-handler/https;\nNoDisplay=true\n");
    writeFile(home / ".config/mimeapps.list",
              "[Default Applications]\nx-scheme-handler/http=marlune-test-browser.desktop\n"
              "x-scheme-handler/https=marlune-test-browser.desktop\n");
}

bool openInFakeBrowser(const std::string& url, const std::string& signInPage) {
    std::string script = (kScripts / "fake_browser.py").string();
    const char* argv[] = {kPython, script.c_str(), url.c_str(), nullptr};
    gchar** env = g_get_environ();
    env = g_environ_setenv(env, "MARLUNE_TEST_SIGN_IN_PAGE", signInPage.c_str(), TRUE);
    gint status = 0;
    bool ran = g_spawn_sync(nullptr, const_cast<char**>(argv), env, G_SPAWN_DEFAULT, nullptr,
                            nullptr, nullptr, nullptr, &status, nullptr);
    g_strfreev(env);
    return ran && g_spawn_check_wait_status(status, nullptr);
}

}  // namespace marlune::test
