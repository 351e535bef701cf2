#pragma once

// The recordings folder of a test program with a private HOME (marlune_add_tests PRIVATE_HOME).

#include <cstdlib>
#include <filesystem>
#include <string>

#include "library/recordings_library.h"

namespace marlune::test {

// The recordings folder, made if missing. Never a real user's: the program aborts unless the
// folder lies inside HOME, which the private HOME makes a scratch folder.
inline std::filesystem::path recordingsFolder() {
    std::filesystem::path dir = RecordingsLibrary::dirURL();
    const char* home = std::getenv("HOME");
    if (!home || !dir.string().starts_with(std::string(home) + "/")) std::abort();
    std::filesystem::create_directories(dir);
    return dir;
}

// The recordings folder, emptied.
inline std::filesystem::path freshRecordingsFolder() {
    std::filesystem::remove_all(recordingsFolder());
    return recordingsFolder();
}

}  // namespace marlune::test
