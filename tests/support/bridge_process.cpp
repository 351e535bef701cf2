#include "support/bridge_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

extern char** environ;

namespace marlune::test {

std::filesystem::path marluneBinary() {
    return MARLUNE_TEST_BINARY;
}

ScriptLine parseScriptLine(const std::string& line) {
    ScriptLine out;
    out.text = line;
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
    int inPipe[2], outPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        auto eq = kv.find('=');
        if (eq != std::string::npos) env[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    env["HOME"] = options.home.string();
    env["XDG_CONFIG_HOME"] = (options.home / ".config").string();
    for (const char* k : {"XDG_VIDEOS_DIR", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) env.erase(k);
    if (!options.keepDisplay) env.erase("DISPLAY");
    for (auto& [k, v] : options.env) env[k] = v;

    std::vector<std::string> envStrings;
    for (auto& [k, v] : env) envStrings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);

    std::vector<std::string> args = {marluneBinary().string(), "--stdio-bridge"};
    args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(inPipe[0]);
    ::close(outPipe[1]);
    in_ = inPipe[1];
    out_ = outPipe[0];
    if (rc != 0) throw std::runtime_error(std::string("spawn failed: ") + std::strerror(rc));
    ::signal(SIGPIPE, SIG_IGN);
}

BridgeProcess::~BridgeProcess() {
    if (in_ >= 0) ::close(in_);
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
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
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto nl = buffer_.find('\n');
        if (nl != std::string::npos) {
            std::string line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return line;
        }
        if (eof_) return std::nullopt;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char chunk[65536];
        ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n <= 0) {
            eof_ = true;
        } else {
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }
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
        switch (s.kind) {
            case ScriptLine::Kind::reply:
                if (s.value.value("id", "") == id) return s.value;
                others.push_back(*line);
                break;
            case ScriptLine::Kind::event:
                events.push_back(s.value);
                break;
            case ScriptLine::Kind::other:
                others.push_back(*line);
                break;
        }
    }
}

std::optional<Json> BridgeProcess::request(const std::string& id, const std::string& cmd,
                                           const Json& payload, std::chrono::milliseconds timeout) {
    send(id, cmd, payload);
    return waitReply(id, timeout);
}

int BridgeProcess::closeAndWait(std::chrono::milliseconds timeout) {
    if (in_ >= 0) {
        ::close(in_);
        in_ = -1;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (auto line = readLine(std::chrono::duration_cast<std::chrono::milliseconds>(
               deadline - std::chrono::steady_clock::now()))) {
        leftover.push_back(*line);
    }
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        ::usleep(10000);
    }
    return -1;
}

void BridgeProcess::signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
}

}  // namespace marlune::test
