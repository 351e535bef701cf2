#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/json.h"
#include "support/child_process.h"

namespace marlune::test {

// One line the headless host printed, decoded: a reply (`window.__marluneDeliver(…)`) or an event
// (`window.__marluneEvent(…)`). Anything else on standard output is a fault of the host.
struct ScriptLine {
    enum class Kind { reply, event, other } kind = Kind::other;
    Json value;  // the envelope
};
ScriptLine parseScriptLine(const std::string& line);

// `marlune --stdio-bridge` (or another of its commands) as a child process with its own HOME,
// driven line by line.
class BridgeProcess {
  public:
    struct Options {
        std::filesystem::path home;  // HOME; XDG_CONFIG_HOME is set to <home>/.config
        std::vector<std::string> extraArgs;
        std::map<std::string, std::string> env;              // added or replacing
        bool keepDisplay = false;                            // otherwise DISPLAY is removed
        std::filesystem::path stderrFile;                    // standard error goes here when set
        std::vector<std::string> args = {"--stdio-bridge"};  // before extraArgs
        std::vector<std::string> unsetEnv;                   // removed as well
    };

    explicit BridgeProcess(Options options);
    ~BridgeProcess();
    BridgeProcess(const BridgeProcess&) = delete;
    BridgeProcess& operator=(const BridgeProcess&) = delete;

    void sendRaw(const std::string& line);
    void send(const std::string& id, const std::string& cmd, const Json& payload = nullptr);

    // The next output line, or nothing when none arrives in time or the output ended.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // Reads until the reply to `id` arrives; events read meanwhile are kept in `events`.
    std::optional<Json> waitReply(const std::string& id,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // send + waitReply.
    std::optional<Json> request(const std::string& id, const std::string& cmd,
                                const Json& payload = nullptr,
                                std::chrono::milliseconds timeout = std::chrono::seconds(20));

    // Closes standard input, collects the remaining output lines into `leftover` and waits for the
    // exit; returns the exit status, or -1 on time-out (the process is then killed).
    int closeAndWait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    void signal(int sig);
    // Waits for the process to exit while its standard input stays open; its exit status, or
    // nothing on time-out.
    std::optional<int> waitExit(std::chrono::milliseconds timeout);
    // Closes standard input only (a program that inherited it then sees its end too).
    void closeInput();

    std::vector<Json> events;           // event envelopes seen so far, in order
    std::vector<std::string> leftover;  // lines read by closeAndWait
    std::vector<std::string> others;    // output lines that were neither reply nor event

  private:
    int pid_ = -1;
    int in_ = -1;
    LineReader out_;
};

// Path of the marlune executable under test.
std::filesystem::path marluneBinary();

}  // namespace marlune::test
