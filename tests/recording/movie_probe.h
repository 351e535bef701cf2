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

inline std::vector<std::string> splitCsv(const std::string& line) {
    std::vector<std::string> out;
    std::stringstream s(line);
    std::string cell;
    while (std::getline(s, cell, ',')) out.push_back(cell);
    return out;
}

inline std::vector<StreamInfo> probeStreams(const std::filesystem::path& movie) {
    auto out = toolOutput({"ffprobe", "-v", "error", "-show_entries",
                           "stream=codec_type,codec_name,profile,has_b_frames,sample_rate,channels,"
                           "width,height",
                           "-of", "compact=p=0:nk=0", movie.string()});
    std::vector<StreamInfo> streams;
    if (!out) return streams;
    std::stringstream lines(*out);
    std::string line;
    while (std::getline(lines, line)) {
        StreamInfo s;
        std::stringstream fields(line);
        std::string field;
        while (std::getline(fields, field, '|')) {
            auto eq = field.find('=');
            if (eq == std::string::npos) continue;
            auto key = field.substr(0, eq), value = field.substr(eq + 1);
            if (key == "codec_type") s.type = value;
            if (key == "codec_name") s.codec = value;
            if (key == "profile") s.profile = value;
            if (key == "has_b_frames") s.hasBFrames = std::atoi(value.c_str());
            if (key == "sample_rate") s.sampleRate = std::atoi(value.c_str());
            if (key == "channels") s.channels = std::atoi(value.c_str());
            if (key == "width") s.width = std::atoi(value.c_str());
            if (key == "height") s.height = std::atoi(value.c_str());
        }
        streams.push_back(s);
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
        auto cells = splitCsv(line);
        if (cells.size() < 2) continue;
        packets.push_back({std::atof(cells[0].c_str()), cells[1].find('K') != std::string::npos});
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
