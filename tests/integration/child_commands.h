#pragma once

// Shared by the tests that drive `marlune` as a child process on real files.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/bridge_process.h"
#include "support/ffmpeg_tool.h"
#include "support/temp_dir.h"

namespace marlune::test {

// The recordings folder of a child whose HOME is `home`, made if missing.
inline std::filesystem::path recordings(const TempDir& home) {
    std::filesystem::path dir = home / "Videos/Marlune";
    std::filesystem::create_directories(dir);
    return dir;
}

// Every name in `dir`, hidden ones (temporaries) included, sorted.
inline std::vector<std::string> allNames(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        names.push_back(e.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The message of a failed reply, or "(no failure)".
inline std::string errorOf(const std::optional<Json>& reply) {
    if (!reply || (*reply)["ok"] != false) return "(no failure)";
    return (*reply)["error"]["message"].get<std::string>();
}

// The result of a successful reply, or "(no success)".
inline Json resultOf(const std::optional<Json>& reply) {
    if (!reply || (*reply)["ok"] != true) return "(no success)";
    return (*reply)["result"];
}

// The names a "library.list" reply lists.
inline std::vector<std::string> listedNames(const std::optional<Json>& reply) {
    std::vector<std::string> names;
    for (const auto& item : resultOf(reply).value("items", Json::array())) {
        names.push_back(item["name"]);
    }
    return names;
}

// The reply to `id`, whether it came in while waiting for another one or arrives now.
inline std::optional<Json> replyTo(BridgeProcess& p, const std::string& id) {
    for (const auto& line : p.others) {
        auto s = parseScriptLine(line);
        if (s.kind == ScriptLine::Kind::reply && s.value.value("id", "") == id) return s.value;
    }
    return p.waitReply(id, std::chrono::seconds(60));
}

}  // namespace marlune::test
