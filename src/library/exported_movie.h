#pragma once

#include <cstdint>
#include <string>

namespace marlune {

// A movie that an export or a trimmed copy wrote into the recordings folder.
struct ExportedMovie {
    std::string name;             // relative to the recordings folder
    std::int64_t durationMs = 0;  // the length of the range it holds, once fitted to the source
};

}  // namespace marlune
