#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace marlune {

// A movie found unfinished in the recordings folder (its recording was cut short by a crash, a
// kill or a power cut) and what became of it.
struct InterruptedRecording {
    std::string name;        // the movie's file name
    bool recovered = false;  // it is now an ordinary movie
    int durationMs = 0;      // its length once recovered
    std::string error;       // why it could not be recovered (it is left as it was, or set aside)
};

// Makes whole every movie in `folder` (not its subfolders) that a recording left unfinished:
// each plays afterwards up to about the last second before the interruption. One that holds no
// complete part (cut short in its first second, or by a full disk) is moved to the trash, so
// that it is reported once and never listed as a recording; an empty webcam companion (its
// recording was cut short before its first picture) is removed. Movies that some process is
// still writing, and every other file, are left alone. Meant for launch, before the
// page is ready; takes milliseconds per movie (no media is copied). Any thread.
std::vector<InterruptedRecording> recoverInterruptedRecordings(const std::filesystem::path& folder);

}  // namespace marlune
