// Makes the resource files the page and the export read from the web folder: the cursor packs,
// the still wallpapers with their thumbnails, the looping live backgrounds and the wallpaper
// index. Everything is drawn here from code; the outputs are committed, so this program only runs
// when the artwork changes:
//
//   cmake --build build --target web_assets
//   build/tools/web_assets/web_assets web [--only cursors|wallpapers|live] [--preview DIR]
//
// Live backgrounds are encoded by the ffmpeg program (libx264), which must be on the PATH.
#include <filesystem>
#include <iostream>
#include <optional>
#include <set>
#include <string>

#include "cursor_art.h"
#include "wallpaper_art.h"

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::optional<fs::path> webRoot;
    std::optional<fs::path> preview;
    std::set<std::string> only;
    bool usage = false;
    for (int i = 1; i < argc && !usage; ++i) {
        std::string arg = argv[i];
        if (arg == "--only" && i + 1 < argc) {
            std::string part = argv[++i];
            usage = part != "cursors" && part != "wallpapers" && part != "live";
            only.insert(part);
        } else if (arg == "--preview" && i + 1 < argc) {
            preview = fs::path(argv[++i]);
        } else if (!arg.starts_with("-") && !webRoot) {
            webRoot = fs::path(arg);
        } else {
            usage = true;
        }
    }
    if (usage || !webRoot) {
        std::cerr << "usage: web_assets <web folder> [--only cursors|wallpapers|live]... "
                     "[--preview <folder>]\n";
        return 2;
    }
    auto wanted = [&](const char* part) { return only.empty() || only.contains(part); };
    try {
        if (wanted("cursors")) marlune::assets::makeCursorPacks(*webRoot, preview);
        if (wanted("wallpapers") || wanted("live")) {
            marlune::assets::makeWallpapers(*webRoot, wanted("wallpapers"), wanted("live"),
                                            preview);
        }
    } catch (const std::exception& e) {
        std::cerr << "web_assets: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
