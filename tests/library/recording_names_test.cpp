#include <gtest/gtest.h>

#include "library/recordings_library.h"

namespace marlune {
namespace {

using namespace std::string_view_literals;

TEST(RecordingNames, ARenameKeepsTheExtensionAndTheRecordingListed) {
    const std::tuple<std::string_view, std::string_view, std::optional<std::string>> cases[] = {
        {"Clip.mp4", "Demo", "Demo.mp4"},
        {"Clip.mp4", "  Demo take 2 ", "Demo take 2.mp4"},
        {"Clip.MP4", "Demo.mp4", "Demo.mp4"},
        {"Clip.gif", "Loop", "Loop.gif"},
        {"Clip.mp4", "Notes.txt", "Notes.txt.mp4"},
        {"Clip.mp4", "", std::nullopt},
        {"Clip.mp4", "   ", std::nullopt},
        {"Clip.mp4", ".hidden", std::nullopt},
        {"Clip.mp4", "a/b", std::nullopt},
        {"Clip.mp4", "../Up", std::nullopt},
        {"Clip.mp4", "Face.webcam", std::nullopt},
        {"Clip.mp4", "Face.WEBCAM.mp4", std::nullopt},
        {"Clip.mp4", "Nul\0x"sv, std::nullopt},
        {"Clip.mp4", "\xff\xfe", std::nullopt},
        {"Clip", "Demo", std::nullopt},
    };
    for (const auto& [name, newName, expected] : cases) {
        EXPECT_EQ(RecordingsLibrary::renamedFileName(name, newName), expected)
            << name << " -> " << newName;
    }
    EXPECT_EQ(RecordingsLibrary::renamedFileName("Clip.mp4", std::string(197, 'x')), std::nullopt);
    EXPECT_EQ(RecordingsLibrary::renamedFileName("Clip.mp4", std::string(196, 'x')),
              std::string(196, 'x') + ".mp4")
        << "200 bytes in all is the longest name";
}

}  // namespace
}  // namespace marlune
