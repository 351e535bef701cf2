#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace marlune {

// The recordings folder and the rules that turn page-supplied names into files inside it. Every
// command that takes a recording name resolves it with safeURL.
class RecordingsLibrary {
  public:
    // The desktop's videos folder (else ~/Videos) with "Marlune" appended. Not created here.
    static std::filesystem::path dirURL();
    // Creates the folder and missing parents; failures are ignored.
    static void ensureDir();
    // The location of `name` inside the folder, or nothing when the name does not stay strictly
    // inside it. The check is textual on normalised absolute paths (symbolic links are not
    // followed): "../x", "", "." and names with a NUL byte are refused; "sub/clip.mp4" is fine.
    static std::optional<std::filesystem::path> safeURL(std::string_view name);
    // The companion webcam movie of a recording: a final ".mp4" (any case) becomes ".webcam.mp4",
    // any other name gets ".webcam.mp4" appended. Text only; works on names and paths alike.
    static std::string webcamPath(std::string_view recordingPath);
};

}  // namespace marlune
