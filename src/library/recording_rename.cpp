// Renaming a recording with its companions, all or nothing and never over another file.

#include <fcntl.h>
#include <glib.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "core/queue.h"
#include "library/recordings_library.h"
#include "platform/media/webcam_proxy.h"

namespace marlune {

namespace {

constexpr std::size_t kMaxNameBytes = 200;
constexpr std::string_view kProjectSuffix = ".marlune.json";

std::string lowered(std::string_view text) {
    std::string s(text);
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view spaces = " \t\r\n";
    auto first = text.find_first_not_of(spaces);
    if (first == std::string_view::npos) return {};
    auto last = text.find_last_not_of(spaces);
    return text.substr(first, last - first + 1);
}

// Whether `name` is in the folder itself (something stands there, possibly a dangling link).
bool occupied(int dir, const std::string& name) {
    struct stat st {};
    return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

}  // namespace

std::optional<std::string> RecordingsLibrary::renamedFileName(std::string_view name,
                                                              std::string_view newName) {
    auto dot = name.rfind('.');
    if (dot == std::string_view::npos) return std::nullopt;
    const std::string_view ext = name.substr(dot);
    std::string result(trimmed(newName));
    if (!result.ends_with(ext) && !lowered(result).ends_with(lowered(ext))) result += ext;
    if (result.size() == ext.size() || result.size() > kMaxNameBytes) return std::nullopt;
    if (result.find_first_of(std::string_view("/\0", 2)) != std::string::npos) return std::nullopt;
    if (!g_utf8_validate(result.data(), static_cast<gssize>(result.size()), nullptr)) {
        return std::nullopt;
    }
    // A hidden name or a companion's would drop the recording from the listing.
    if (!isListedName(result) || lowered(result).ends_with(".webcam.mp4")) return std::nullopt;
    return result;
}

Result<std::string> RecordingsLibrary::rename(std::string_view name,
                                              std::string_view newName) const {
    MARLUNE_ASSERT_ON(Queue::main());
    auto location = safeLocation(name);
    if (!location) return fail("Invalid file name.");
    auto target = renamedFileName(name, newName);
    if (!target) return fail("Invalid file name.");
    const std::string& from = location->relative;
    if (from.find('/') != std::string::npos || !isListedName(from)) {
        return fail("Only recordings can be renamed.");
    }
    if (auto free = refuseWhileRecording(name); !free) return std::unexpected(free.error());
    auto movie = location->open();
    if (!movie) {
        if (movie.error().kind == FolderFileError::Kind::missing)
            return fail(movie.error().message());
        return fail("Only recordings can be renamed.");
    }
    if (*target == from) return from;
    auto folder = FolderFile::openDirectory(location->folder, "");
    if (!folder) return fail(folder.error().message());
    const int dir = folder->fd();

    // The movie first, then the companions that exist: each pair is (old name, new name).
    std::vector<std::pair<std::string, std::string>> moves{{from, *target}};
    for (auto [a, b] :
         {std::pair{from + std::string(kProjectSuffix), *target + std::string(kProjectSuffix)},
          std::pair{webcamPath(from), webcamPath(*target)}}) {
        if (occupied(dir, a)) moves.emplace_back(std::move(a), std::move(b));
    }
    // The webcam movie's small copy is only a cache: it goes along where its new name is free.
    if (const std::string a = webcamProxyPath(webcamPath(from)).string(),
        b = webcamProxyPath(webcamPath(*target)).string();
        occupied(dir, a) && !occupied(dir, b)) {
        moves.emplace_back(a, b);
    }
    const std::string taken = "A recording called “" + *target + "” exists already.";
    // Checked before anything moves, so that the usual refusal leaves no trace; the moves below
    // never replace a file either, should one appear meanwhile.
    for (const auto& [a, b] : moves) {
        if (occupied(dir, b)) return fail(taken, ErrorCode::nameTaken);
    }
    for (const std::string& companion :
         {*target + std::string(kProjectSuffix), webcamPath(*target)}) {
        if (occupied(dir, companion)) return fail(taken, ErrorCode::nameTaken);
    }
    for (std::size_t i = 0; i < moves.size(); ++i) {
        if (::renameat2(dir, moves[i].first.c_str(), dir, moves[i].second.c_str(),
                        RENAME_NOREPLACE) == 0) {
            continue;
        }
        const int err = errno;
        // Put back what moved, newest first: the recording keeps its old name whole.
        for (std::size_t j = i; j-- > 0;) {
            ::renameat2(dir, moves[j].second.c_str(), dir, moves[j].first.c_str(),
                        RENAME_NOREPLACE);
        }
        if (err == EEXIST) return fail(taken, ErrorCode::nameTaken);
        return fail(std::string("Could not rename “") + from + "”: " + std::strerror(err));
    }
    return *target;
}

}  // namespace marlune
