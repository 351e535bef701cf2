#pragma once

// `marlune --stdio-bridge` driven as the page drives it for recordings, every line time-stamped.

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/json.h"
#include "support/bridge_process.h"
#include "support/ffmpeg_tool.h"

namespace marlune::test {

// One line from the host, and when the test read it.
struct Seen {
    ScriptLine line;
    std::chrono::steady_clock::time_point at;
    const Json& data() const { return line.value["data"]; }
    std::string name() const { return line.value.value("name", ""); }
};

// A running host with every line it printed.
class Session {
  public:
    using Clock = std::chrono::steady_clock;

    explicit Session(const std::filesystem::path& home, std::map<std::string, std::string> env = {})
        : home_(home), process_({.home = home, .env = std::move(env), .keepDisplay = true}) {}

    std::filesystem::path folder() const { return home_ / "Videos/Marlune"; }

    void send(const std::string& id, const std::string& cmd, const Json& payload = nullptr) {
        process_.send(id, cmd, payload);
    }

    // Reads until `done` holds or `timeout` passes.
    bool pumpUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        const auto deadline = Clock::now() + timeout;
        while (!done()) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return false;
            auto text = process_.readLine(left);
            if (!text) return done();
            take(*text);
        }
        return true;
    }
    void pumpFor(std::chrono::milliseconds d) {
        const auto until = Clock::now() + d;
        pumpUntil([&] { return Clock::now() >= until; }, d + std::chrono::seconds(1));
    }

    // The reply to `id`, waiting for it.
    std::optional<Seen> reply(const std::string& id,
                              std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        const Seen* found = nullptr;
        pumpUntil([&] { return (found = findReply(id)) != nullptr; }, timeout);
        return found ? std::optional(*found) : std::nullopt;
    }
    std::optional<Json> request(const std::string& id, const std::string& cmd,
                                const Json& payload = nullptr) {
        send(id, cmd, payload);
        auto r = reply(id);
        return r ? std::optional(r->line.value) : std::nullopt;
    }

    // The index of the first event named `name` at or after `from`, waiting for it.
    std::optional<std::size_t> event(const std::string& name, std::size_t from = 0,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::optional<std::size_t> found;
        pumpUntil(
            [&] {
                for (std::size_t i = from; i < events.size(); ++i) {
                    if (events[i].name() == name) return (found = i).has_value();
                }
                return false;
            },
            timeout);
        return found;
    }
    // The "state" phases seen from `from` on.
    std::vector<std::string> phases(std::size_t from = 0) const {
        std::vector<std::string> out;
        for (std::size_t i = from; i < events.size(); ++i) {
            if (events[i].name() == "state") out.push_back(events[i].data()["phase"]);
        }
        return out;
    }

    // Sends a signal and reads everything up to the end of the output; the exit status.
    int signalAndWait(int sig) {
        process_.signal(sig);
        pumpUntil([] { return false; }, std::chrono::seconds(30));  // until the output ends
        return process_.closeAndWait();
    }
    // Ends the input and reads everything up to the end of the output; the exit status.
    int closeAndWait() {
        process_.closeInput();
        pumpUntil([] { return false; }, std::chrono::seconds(30));
        return process_.closeAndWait();
    }
    void kill() {
        process_.signal(SIGKILL);
        process_.closeAndWait();
    }

    std::vector<Seen> events;
    std::vector<Seen> replies;

  private:
    void take(const std::string& text) {
        Seen seen{parseScriptLine(text), Clock::now()};
        ASSERT_NE(seen.line.kind, ScriptLine::Kind::other) << text;
        (seen.line.kind == ScriptLine::Kind::event ? events : replies).push_back(seen);
    }
    const Seen* findReply(const std::string& id) const {
        for (const auto& r : replies) {
            if (r.line.value.value("id", "") == id) return &r;
        }
        return nullptr;
    }

    std::filesystem::path home_;
    BridgeProcess process_;
};

// The id of the test desktop's display, as the page finds it; 0 when none is listed.
inline std::uint32_t displayID(Session& s) {
    auto list = s.request("sources", "sources.list");
    if (!list || !(*list)["ok"].get<bool>()) return 0;
    return (*list)["result"]["screens"][0]["id"].get<std::uint32_t>();
}

// A test camera through the same open call as a real one.
inline const std::map<std::string, std::string> kTestCamera = {
    {"MARLUNE_WEBCAM_INPUT_FORMAT", "lavfi"},
    {"MARLUNE_WEBCAM_DEVICE", "testsrc2=s=640x360:r=30,format=yuyv422,realtime"}};

// Runs `xdotool <args>` through the shell; true when it succeeded.
inline bool xdotool(const std::string& args) {
    return runTool({"sh", "-c", "xdotool " + args});
}

// The webcam movie recorded beside `movie` ("X.mp4" → "X.webcam.mp4").
inline std::string webcamName(const std::string& movie) {
    return movie.substr(0, movie.size() - 4) + ".webcam.mp4";
}

}  // namespace marlune::test
