#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>

#include "library/recordings_library.h"

namespace marlune::test {

// The recordings folder of this test program's private HOME, emptied.
inline std::filesystem::path freshRecordingsFolder() {
    namespace fs = std::filesystem;
    fs::path dir = RecordingsLibrary::dirURL();
    const char* home = std::getenv("HOME");
    // Never let a test loose on a real user's recordings.
    if (!home || !dir.string().starts_with(std::string(home) + "/")) std::abort();
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

}  // namespace marlune::test
