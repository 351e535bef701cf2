#pragma once

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

    // The project object, or nothing when there is no readable file holding a JSON object (a
    // missing file, another kind of value, broken JSON, numbers too large to carry on).
    std::optional<Json> load(std::string_view name) const;

    // Replaces the whole file with `data`, atomically: a reader sees the old file or the new one,
    // never a mix, and a failed write leaves the old one. Fails with "Invalid file name.",
    // "Invalid project data." (not an object, non-finite numbers, text that isn't UTF-8), or the
    // file system's own complaint.
    Result<void> save(std::string_view name, const Json& data) const;
};

}  // namespace marlune
