#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace marlune {

// The arguments of `marlune export` (see runCommandLineExport) and the texts that describe them.

inline constexpr std::string_view kExportUsage =
    "usage: marlune export NAME [--edit FILE.json] [--height N] [--format mp4|gif|webm]\n"
    "                           [--shape original|16:9|9:16|1:1|4:3] [--out PATH] [--quiet]\n"
    "                           [--print-edit]\n";

inline constexpr std::string_view kExportHelp =
    "\n"
    "Renders recording NAME of the recordings folder with an edit, as the editor's Export does.\n"
    "Needs no display.\n"
    "\n"
    "  NAME            a recording's file name in the recordings folder (\"Demo.mp4\"), or a\n"
    "                  path to one there\n"
    "  --edit FILE     the edit to render: a JSON object as the editor sends to export (see\n"
    "                  --print-edit); \"-\" reads it from standard input. Without it: the edit\n"
    "                  saved in the recording's project file, else the editor's default edit\n"
    "                  (in the default look, when one is saved)\n"
    "  --height N      the output height in pixels (made even; the width follows); 0, or a\n"
    "                  height not below the recording's, keeps the recording's size. With a\n"
    "                  shape, N is the short side (720 gives 720 × 1280 in 9:16)\n"
    "  --format F      mp4 (H.264 and AAC, the default), gif (15 pictures a second, 960\n"
    "                  pixels wide unless the edit's \"gif\" says otherwise; no sound) or webm\n"
    "                  (VP9 and Opus)\n"
    "  --shape S       the picture's shape: original (the recording's, the default unless the\n"
    "                  edit's \"shape\" says otherwise), 16:9, 9:16 (vertical), 1:1 or 4:3; the\n"
    "                  recording is framed whole in the middle of it\n"
    "  --out PATH      write the movie to PATH, which must not exist, instead of\n"
    "                  \"NAME export.mp4\" (.gif, .webm) beside the recording\n"
    "  --print-edit    print the edit that would be rendered, as JSON, and render nothing\n"
    "  --quiet         no progress\n"
    "  -h, --help      this text\n"
    "\n"
    "Progress goes to standard error, the new movie's path to standard output. Exit status: 0\n"
    "done; 1 failed; 2 bad arguments; 130 or 143 cancelled by SIGINT or SIGTERM. A failed or\n"
    "cancelled export leaves no file behind.\n";

struct ExportArguments {
    std::string name;
    std::optional<std::string> editFile;
    std::optional<std::int64_t> height;
    std::optional<std::string> out;
    std::optional<std::string> format;  // "mp4", "gif" or "webm"
    std::optional<std::string> shape;   // "original", "16:9", "9:16", "1:1" or "4:3"
    bool printEdit = false;
    bool quiet = false;
    bool help = false;
};

// Reads the arguments after "export"; fails with the reason to show above the usage.
Result<ExportArguments> parseExportArguments(const std::vector<std::string>& args);

// `s` between curly quotes, as the command's messages name files and values.
std::string curlyQuoted(std::string_view s);

}  // namespace marlune
