#include "library/project_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/write_fully.h"
#include "library/recordings_library.h"

namespace marlune {

namespace fs = std::filesystem;

namespace {

std::unexpected<Error> writeFailure(const fs::path& file, int err) {
    return fail("Could not save " + file.filename().string() + ": " + std::strerror(err));
}

// Writes into a hidden temporary file beside `file`, flushes it to the disk, then renames it over
// `file`: the rename is what makes the replacement all-or-nothing.
Result<void> replaceAtomically(const fs::path& file, std::string_view bytes) {
    std::string tmp = (file.parent_path() / ("." + file.filename().string() + ".XXXXXX")).string();
    int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return writeFailure(file, errno);
    bool ok = ::fchmod(fd, 0644) == 0 && writeFully(fd, bytes) && ::fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(tmp.c_str(), file.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        return writeFailure(file, err);
    }
    return {};
}

}  // namespace

std::optional<fs::path> ProjectStore::sidecarURL(std::string_view name) const {
    auto movie = RecordingsLibrary::safeURL(name);
    if (!movie) return std::nullopt;
    *movie += ".marlune.json";
    return movie;
}

std::optional<Json> ProjectStore::load(std::string_view name) const {
    auto file = sidecarURL(name);
    if (!file) return std::nullopt;
    std::ifstream in(*file, std::ios::binary);
    if (!in) return std::nullopt;
    std::stringstream text;
    text << in.rdbuf();
    if (in.bad()) return std::nullopt;
    Json parsed = Json::parse(text.str(), nullptr, false);
    // A number like 1e999 parses as infinity, which no reply could carry.
    if (parsed.is_discarded() || !parsed.is_object() || !allNumbersFinite(parsed)) {
        return std::nullopt;
    }
    return parsed;
}

Result<void> ProjectStore::save(std::string_view name, const Json& data) const {
    auto file = sidecarURL(name);
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
