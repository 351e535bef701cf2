#include "support/bridge_process.h"

#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <utility>

namespace marlune::test {

std::filesystem::path marluneBinary() {
    return MARLUNE_TEST_BINARY;
}

ScriptLine parseScriptLine(const std::string& line) {
    ScriptLine out;
    auto decode = [&](std::string_view prefix, ScriptLine::Kind kind) {
        if (!line.starts_with(prefix) || !line.ends_with(")")) return false;
        std::string body = line.substr(prefix.size(), line.size() - prefix.size() - 1);
        Json v = Json::parse(body, nullptr, false);
        if (v.is_discarded()) return false;
        out.kind = kind;
        out.value = std::move(v);
        return true;
    };
    if (!decode("window.__marluneDeliver(", ScriptLine::Kind::reply)) {
        decode("window.__marluneEvent(", ScriptLine::Kind::event);
    }
    return out;
}

BridgeProcess::BridgeProcess(Options options) {
    gchar** env = g_get_environ();
    env = g_environ_setenv(env, "HOME", options.home.c_str(), TRUE);
    env = g_environ_setenv(env, "XDG_CONFIG_HOME", (options.home / ".config").c_str(), TRUE);
    for (const char* k : {"XDG_VIDEOS_DIR", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
        env = g_environ_unsetenv(env, k);
    }
    if (!options.keepDisplay) env = g_environ_unsetenv(env, "DISPLAY");
    for (auto& k : options.unsetEnv) env = g_environ_unsetenv(env, k.c_str());
    for (auto& [k, v] : options.env) env = g_environ_setenv(env, k.c_str(), v.c_str(), TRUE);

    std::vector<std::string> args = {marluneBinary().string()};
    args.insert(args.end(), options.args.begin(), options.args.end());
    args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    // Standard error is inherited unless it goes to a file; the parent's ends of the pipes are
    // close-on-exec.
    int errFd = -1;
    if (!options.stderrFile.empty()) {
        errFd = ::open(options.stderrFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    }
    GError* error = nullptr;
    const bool spawned = g_spawn_async_with_pipes_and_fds(
        nullptr, argv.data(), env, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, -1, -1, errFd,
        nullptr, nullptr, 0, &pid_, &in_, &out_.fd, nullptr, &error);
    if (errFd >= 0) ::close(errFd);
    g_strfreev(env);
    if (!spawned) {
        std::string message = std::string("spawn failed: ") + error->message;
        g_error_free(error);
        throw std::runtime_error(message);
    }
    ::signal(SIGPIPE, SIG_IGN);
}

BridgeProcess::~BridgeProcess() {
    if (in_ >= 0) ::close(in_);
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (out_.fd >= 0) ::close(out_.fd);
}

void BridgeProcess::sendRaw(const std::string& line) {
    std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(in_, text.data() + done, text.size() - done);
        if (n <= 0) throw std::runtime_error("write to marlune failed");
        done += static_cast<std::size_t>(n);
    }
}

void BridgeProcess::send(const std::string& id, const std::string& cmd, const Json& payload) {
    Json m = Json::object();
    m["id"] = id;
    m["cmd"] = cmd;
    if (!payload.is_null()) m["payload"] = payload;
    sendRaw(m.dump());
}

std::optional<std::string> BridgeProcess::readLine(std::chrono::milliseconds timeout) {
    return out_.next(timeout, true);
}

std::optional<Json> BridgeProcess::waitReply(const std::string& id,
                                             std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        auto line = readLine(std::max(left, std::chrono::milliseconds(0)));
        if (!line) return std::nullopt;
        ScriptLine s = parseScriptLine(*line);
        if (s.kind == ScriptLine::Kind::event) {
            events.push_back(s.value);
        } else if (s.kind == ScriptLine::Kind::reply && s.value.value("id", "") == id) {
            return s.value;
        } else {
            others.push_back(*line);
        }
    }
}

std::optional<Json> BridgeProcess::request(const std::string& id, const std::string& cmd,
                                           const Json& payload, std::chrono::milliseconds timeout) {
    send(id, cmd, payload);
    return waitReply(id, timeout);
}

int BridgeProcess::closeAndWait(std::chrono::milliseconds timeout) {
    closeInput();
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (auto line = readLine(std::chrono::duration_cast<std::chrono::milliseconds>(
               deadline - std::chrono::steady_clock::now()))) {
        leftover.push_back(*line);
    }
    return waitExit(std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now()))
        .value_or(-1);
}

void BridgeProcess::signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
}

std::optional<int> BridgeProcess::waitExit(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        ::usleep(10000);
    }
    return std::nullopt;
}

void BridgeProcess::closeInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

}  // namespace marlune::test
