#include "library/recordings_library.h"

#include <algorithm>
#include <system_error>

#include "core/paths.h"

namespace marlune {

namespace fs = std::filesystem;

namespace {

// Absolute, "." and ".." resolved, duplicate and trailing separators removed.
std::string standardized(const std::string& path) {
    std::string s = fs::path(path).lexically_normal().string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

}  // namespace

fs::path RecordingsLibrary::dirURL() {
    fs::path base = paths::userVideosDir().value_or(paths::homeDir() / "Videos");
    return base / "Marlune";
}

void RecordingsLibrary::ensureDir() {
    std::error_code ec;
    fs::create_directories(dirURL(), ec);
}

std::optional<fs::path> RecordingsLibrary::safeURL(std::string_view name) {
    // A NUL byte would cut the path short at the operating system, past this check.
    if (name.find('\0') != std::string_view::npos) return std::nullopt;
    std::error_code ec;
    std::string base = standardized(fs::absolute(dirURL(), ec).string());
    // Appended as text, so an absolute-looking name still lands inside the folder.
    std::string candidate = standardized(base + "/" + std::string(name));
    if (candidate.size() > base.size() + 1 && candidate.starts_with(base) &&
        candidate[base.size()] == '/') {
        return fs::path(candidate);
    }
    return std::nullopt;
}

std::string RecordingsLibrary::webcamPath(std::string_view recordingPath) {
    std::string path(recordingPath);
    constexpr std::string_view ext = ".mp4";
    if (path.size() >= ext.size()) {
        std::string tail = path.substr(path.size() - ext.size());
        std::transform(tail.begin(), tail.end(), tail.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (tail == ext) return path.substr(0, path.size() - ext.size()) + ".webcam.mp4";
    }
    return path + ".webcam.mp4";
}

}  // namespace marlune
