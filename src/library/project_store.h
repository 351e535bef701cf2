#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

#include "core/error.h"
#include "core/json.h"

namespace marlune {

// The project file beside each recording: recording N's is N + ".marlune.json" in the same
// folder, one JSON object in indented form. The store only locates, reads and replaces it; it
// never merges or interprets the members. No state; calls run on the caller's thread (the main
// thread in practice), and two saves of one project are ordered by their caller.
class ProjectStore {
  public:
    // The project file of recording `name`, or nothing when the library's name check refuses
    // the name. Path arithmetic only.
    std::optional<std::filesystem::path> sidecarURL(std::string_view name) const;

    // Project files larger than this are refused rather than read into memory.
    static constexpr std::uint64_t kMaxProjectBytes = 64ull << 20;

    // The project object, or nothing when there is no readable file holding a JSON object (a
    // missing file, another kind of value, broken JSON, a named pipe or a symbolic link leading
    // out of the recordings folder: only regular files inside it are read). Numbers too large
    // for a double read as null. Refused with a message: a file larger than kMaxProjectBytes or
    // nested too deeply. Reads the disk: call it off the main thread.
    Result<std::optional<Json>> load(std::string_view name) const;

    // Replaces the whole file with `data`, atomically: a reader sees the old file or the new one,
    // never a mix, and a failed write leaves the old one. Fails with "Invalid file name.",
    // "Invalid project data." (not an object, non-finite numbers, text that isn't UTF-8), or the
    // file system's own complaint.
    Result<void> save(std::string_view name, const Json& data) const;
};

}  // namespace marlune
