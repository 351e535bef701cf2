#pragma once

// What the recordings made through `marlune --stdio-bridge` are checked with.

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/json.h"
#include "support/ffmpeg_tool.h"
#include "support/temp_dir.h"

namespace marlune::test {

// A display recording at 30 frames a second without sound, camera or smoothing, but for `extra`.
inline Json displayStart(std::uint32_t id, const Json& extra = Json::object()) {
    Json payload = {{"sourceKind", "display"},
                    {"sourceID", id},
                    {"fps", 30},
                    {"mic", false},
                    {"systemAudio", false},
                    {"webcam", false},
                    {"cursorMode", "system"}};
    payload.update(extra);
    return payload;
}

// The length of the movie as it stands on disk; nothing before its first part is there.
inline std::optional<double> lengthOnDisk(const std::filesystem::path& movie) {
    auto d = probeDuration(movie);
    return d && *d > 0 ? d : std::nullopt;
}

// The message of a refused request.
inline std::string errorText(const std::optional<Json>& reply) {
    if (!reply || reply->value("ok", true)) return "<no failure>";
    return (*reply)["error"]["message"];
}

// The movie's picture at `seconds` through the filter `vf` ("null" for as it is), as RGB bytes.
inline std::string rgbFrame(const std::filesystem::path& movie, double seconds,
                            const std::string& vf = "null") {
    return toolOutput({"ffmpeg", "-v", "error", "-ss", std::to_string(seconds), "-i",
                       movie.string(), "-frames:v", "1", "-vf", vf, "-f", "rawvideo", "-pix_fmt",
                       "rgb24", "-"})
        .value_or("");
}

// The project file of a recording.
inline Json projectOf(const std::filesystem::path& movie) {
    return Json::parse(readFile(movie.string() + ".marlune.json"));
}

// The clicks of a project, in time order, at the fractions `expected` of the picture, within
// `within`.
inline void expectClicks(const Json& project,
                         const std::vector<std::pair<double, double>>& expected, double within) {
    const Json& clicks = project["clicks"];
    ASSERT_EQ(clicks.size(), expected.size()) << clicks.dump();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(clicks[i]["fx"].get<double>(), expected[i].first, within) << i;
        EXPECT_NEAR(clicks[i]["fy"].get<double>(), expected[i].second, within) << i;
        if (i > 0) {
            EXPECT_LT(clicks[i - 1]["t"].get<double>(), clicks[i]["t"].get<double>()) << i;
        }
    }
}

}  // namespace marlune::test
