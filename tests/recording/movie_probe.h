#pragma once

// What the writer tests read back from movies, through ffprobe and ffmpeg.

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/json.h"
#include "support/ffmpeg_tool.h"
#include "support/temp_dir.h"

namespace marlune::test {

struct StreamInfo {
    std::string type;  // "video", "audio"
    std::string codec;
    std::string profile;
    int hasBFrames = 0;
    int sampleRate = 0;
    int channels = 0;
    int width = 0;
    int height = 0;
};

inline std::vector<StreamInfo> probeStreams(const std::filesystem::path& movie) {
    auto out =
        toolOutput({"ffprobe", "-v", "error", "-show_streams", "-of", "json", movie.string()});
    std::vector<StreamInfo> streams;
    const Json probed = out ? Json::parse(*out, nullptr, false) : Json();
    if (!probed.is_object()) return streams;
    for (const Json& s : probed.value("streams", Json::array())) {
        streams.push_back({s.value("codec_type", ""), s.value("codec_name", ""),
                           s.value("profile", ""), s.value("has_b_frames", 0),
                           std::atoi(s.value("sample_rate", "0").c_str()), s.value("channels", 0),
                           s.value("width", 0), s.value("height", 0)});
    }
    return streams;
}

struct PacketInfo {
    double time = 0;
    bool key = false;
};

// The video packets in file order.
inline std::vector<PacketInfo> probeVideoPackets(const std::filesystem::path& movie) {
    auto out = toolOutput({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                           "packet=pts_time,flags", "-of", "csv=p=0", movie.string()});
    std::vector<PacketInfo> packets;
    if (!out) return packets;
    std::stringstream lines(*out);
    std::string line;
    while (std::getline(lines, line)) {
        const auto comma = line.find(',');
        if (comma == std::string::npos) continue;
        packets.push_back({std::atof(line.c_str()), line.find('K', comma) != std::string::npos});
    }
    return packets;
}

// The settings x264 records in its stream ("... keyint=30 ... bitrate=6000 ...").
inline std::string x264Settings(const std::filesystem::path& movie) {
    std::string bytes = readFile(movie);
    auto at = bytes.find("x264 - core");
    if (at == std::string::npos) return "";
    return bytes.substr(at, bytes.find('\0', at) - at);
}

// One audio track decoded to mono 48 kHz samples, from the movie's time 0 (the encoder's
// priming already skipped, as a player does).
inline std::vector<float> decodeAudio(const std::filesystem::path& movie, int track) {
    TempDir dir;
    auto raw = dir / "audio.raw";
    if (!ffmpeg({"-i", movie.string(), "-map", "0:a:" + std::to_string(track), "-ac", "1", "-ar",
                 "48000", "-f", "f32le", raw.string()})) {
        return {};
    }
    std::string bytes = readFile(raw);
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

// The time of the first sample louder than `level`, in seconds; nothing when all are quieter.
inline std::optional<double> firstLoud(const std::vector<float>& samples, float level = 0.2f) {
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (std::fabs(samples[i]) > level) return static_cast<double>(i) / 48000.0;
    }
    return std::nullopt;
}

}  // namespace marlune::test
