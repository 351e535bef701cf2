#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>

#include "library/recordings_library.h"
// freshRecordingsFolder(): the recordings folder of this test program's private HOME, emptied.
#include "support/recordings_folder.h"
