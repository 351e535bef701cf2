#pragma once

#include <string>

namespace marlune {

class FolderFile;

// The names an export of the recording "<stem>.<ext>" takes beside it: "<stem> export.mp4" for
// n = 1, then "<stem> export 2.mp4", "<stem> export 3.mp4", … (".gif" or ".webm" for those
// formats: `extension` with its dot).
std::string exportName(const std::string& stem, int n, const std::string& extension = ".mp4");

// The first of those names free in `folder` now: the one the export would take if it finished
// now, so that a cancel can name it before the export has answered. Blocking file I/O.
std::string intendedExportName(const FolderFile& folder, const std::string& stem,
                               const std::string& extension = ".mp4");

}  // namespace marlune
