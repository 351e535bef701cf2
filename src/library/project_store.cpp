#include "library/project_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/folder_file.h"
#include "core/write_fully.h"
#include "library/recordings_library.h"

namespace marlune {

namespace fs = std::filesystem;

namespace {

std::unexpected<Error> writeFailure(const FolderPath& file, const std::string& reason) {
    return fail("Could not save " + fs::path(file.relative).filename().string() + ": " + reason);
}

// Writes into a hidden temporary file beside `file`, flushes it to the disk, then renames it over
// `file`: the rename is what makes the replacement all-or-nothing. Both happen inside the folder
// opened beneath the recordings folder, so a symbolic link cannot lead the write elsewhere.
Result<void> replaceAtomically(const FolderPath& file, std::string_view bytes) {
    const fs::path relative(file.relative);
    auto folder = FolderFile::openDirectory(file.folder, relative.parent_path().string());
    if (!folder) return writeFailure(file, folder.error().message());
    auto temporary = createTemporary(*folder, kSaveTemporaryPrefix, ".json");
    if (!temporary) return writeFailure(file, temporary.error().message);
    bool ok = writeFully(temporary->fd, bytes) && ::fsync(temporary->fd) == 0;
    int err = errno;
    if (::close(temporary->fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    const std::string name = relative.filename().string();
    if (ok && ::renameat(folder->fd(), temporary->name.c_str(), folder->fd(), name.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlinkat(folder->fd(), temporary->name.c_str(), 0);
        return writeFailure(file, std::strerror(err));
    }
    return {};
}

// The project file of recording `name`, as a path inside the recordings folder.
std::optional<FolderPath> sidecarLocation(std::string_view name) {
    auto movie = RecordingsLibrary::safeLocation(name);
    if (!movie) return std::nullopt;
    movie->relative += ".marlune.json";
    return movie;
}

}  // namespace

std::optional<fs::path> ProjectStore::sidecarURL(std::string_view name) const {
    auto movie = RecordingsLibrary::safeURL(name);
    if (!movie) return std::nullopt;
    *movie += ".marlune.json";
    return movie;
}

Result<std::optional<Json>> ProjectStore::load(std::string_view name) const {
    auto location = sidecarLocation(name);
    if (!location) return std::nullopt;
    // Missing, unreadable, or not a regular file inside the folder (a named pipe, a symbolic link
    // leading out of it): there is no project to read.
    auto file = location->open();
    if (!file) return std::nullopt;
    if (file->size() > kMaxProjectBytes) {
        return fail("The project file is too large (over " +
                    std::to_string(kMaxProjectBytes >> 20) + " MB).");
    }
    auto text = file->readAll(kMaxProjectBytes);
    if (!text) return std::nullopt;
    auto parsed = parseJson(*text);
    if (!parsed) {
        if (parsed.error().code == ErrorCode::tooDeep) {
            return fail("The project file could not be read. " + parsed.error().message);
        }
        return std::nullopt;
    }
    if (!parsed->is_object()) return std::nullopt;
    return std::optional<Json>(std::move(*parsed));
}

Result<void> ProjectStore::save(std::string_view name, const Json& data) const {
    auto file = sidecarLocation(name);
    if (!file) return fail("Invalid file name.");
    if (!data.is_object() || !allNumbersFinite(data)) return fail("Invalid project data.");
    std::string text;
    try {
        text = data.dump(2, ' ', false, Json::error_handler_t::strict);
    } catch (const Json::exception&) {
        return fail("Invalid project data.");
    }
    text.push_back('\n');
    return replaceAtomically(*file, text);
}

}  // namespace marlune
