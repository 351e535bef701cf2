#pragma once

// Shared by the tests that drive `marlune` as a child process on real files.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
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

// A one-second recording of one colour (0x2266cc), 320 × 180.
inline bool makeBlueMovie(const std::filesystem::path& path) {
    return ffmpeg({"-f", "lavfi", "-i", "color=c=0x2266cc:s=320x180:r=30", "-t", "1", "-c:v",
                   "libx264", "-pix_fmt", "yuv420p", path.string()});
}

// The RGB bytes of the picture at `seconds` of a still or movie after `filter` (ffmpeg's -vf).
inline std::string rgbOf(const std::filesystem::path& picture, const std::string& filter,
                         double seconds = 0) {
    const std::filesystem::path raw = picture.string() + ".rgb";
    std::vector<std::string> args = {"-i", picture.string(), "-frames:v", "1"};
    if (seconds > 0) args.insert(args.begin(), {"-ss", std::to_string(seconds)});
    args.insert(args.end(), {"-vf", "format=rgb24," + filter, "-f", "rawvideo", raw.string()});
    if (!ffmpeg(args)) return "";
    const std::string bytes = readFile(raw);
    std::filesystem::remove(raw);
    return bytes;
}

// The blue recording in 9:16 (180 × 320), down its middle column: `bars` above row 100 and below
// row 220, the recording's blue between rows 115 and 205.
inline void expectVertical(const std::filesystem::path& picture, std::array<int, 3> bars) {
    const std::string bytes = rgbOf(picture, "crop=1:320:90:0");
    ASSERT_EQ(bytes.size(), 320u * 3);
    const std::pair<std::vector<int>, std::array<int, 3>> rows[] = {
        {{0, 50, 100, 220, 280, 319}, bars}, {{115, 160, 205}, {0x22, 0x66, 0xcc}}};
    for (const auto& [ys, rgb] : rows) {
        for (int y : ys) {
            for (int c = 0; c < 3; ++c) {
                EXPECT_NEAR(static_cast<unsigned char>(bytes[3 * y + c]), rgb[c], 12) << y;
            }
        }
    }
}

}  // namespace marlune::test
