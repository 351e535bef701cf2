#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"

namespace marlune {

// Why a file inside a folder could not be opened.
struct FolderFileError {
    enum class Kind {
        missing,     // no such file (or a folder on the way is missing)
        outside,     // the path leaves the folder: "..", or a symbolic link pointing out of it
        notRegular,  // a folder, named pipe, device or socket
        unreadable,  // any other failure to open it (permissions, too many open files, …)
    };
    Kind kind = Kind::unreadable;
    int err = 0;  // errno, when the system gave one

    std::string message() const;
};

// A file opened inside a folder (the recordings folder, the page's folder) so that it cannot leave
// it and cannot block: names come from the page, from URLs or from listing the folder, and the
// folder may hold anything a local user put there. The folder itself is trusted (it may be a
// symbolic link); below it every path is resolved by the kernel beneath the folder (`openat2` with
// RESOLVE_BENEATH, or, where the kernel lacks it, component by component without following any
// symbolic link), opened without blocking (a named pipe opens at once), and checked on the open
// descriptor: only regular files (or folders, for openDirectory) are kept, so swapping the path
// between a check and the open gains nothing.
//
// Move-only; closes its descriptor when destroyed. Any thread.
class FolderFile {
  public:
    using Opened = std::expected<FolderFile, FolderFileError>;

    // A regular file for reading. `relative` is a path inside `folder` ("clip.mp4",
    // "sub/clip.mp4"); a leading "/" is ignored.
    static Opened open(const std::filesystem::path& folder, std::string_view relative);
    // A folder inside `folder` (or `folder` itself for an empty path), opened as a place to create
    // files in: through dirPath() or with the *at() system calls on fd().
    static Opened openDirectory(const std::filesystem::path& folder, std::string_view relative);

    // The component-by-component walk used where the kernel has no openat2, exposed for its
    // tests. It refuses every symbolic link below the folder, also ones that stay inside.
    static Opened openByComponents(const std::filesystem::path& folder, std::string_view relative,
                                   bool directory);

    FolderFile(FolderFile&& other) noexcept;
    FolderFile& operator=(FolderFile&& other) noexcept;
    ~FolderFile();

    int fd() const { return fd_; }
    const struct stat& info() const { return info_; }
    std::uint64_t size() const { return static_cast<std::uint64_t>(info_.st_size); }

    // The whole file, read from its start; nothing when it holds more than `maxBytes` or a read
    // fails.
    std::optional<std::string> readAll(std::uint64_t maxBytes) const;

    // A path naming this very file or folder, for libraries that only open files by name (FFmpeg):
    // "/proc/self/fd/<fd>", which leads to what was opened whatever happens to its name meanwhile.
    // Valid while this object lives; a path below a folder's works too ("<dirPath>/name").
    std::string procPath() const;

  private:
    FolderFile(int fd, const struct stat& info) : fd_(fd), info_(info) {}
    static Opened openBeneath(const std::filesystem::path& folder, std::string_view relative,
                              bool directory);

    int fd_ = -1;
    struct stat info_ {};
};

// A new file being written under a hidden temporary name in an open folder, to be given its real
// name only once it is complete (claimName). Hidden names are never listed as recordings, and what
// a crash leaves behind is recognised by its prefix and removed at the next launch
// (removeLeftoverTemporaries).
struct TemporaryFile {
    std::string name;  // "<prefix><pid>-<random><suffix>", inside the folder
    int fd = -1;       // open for writing; the caller closes it
};

// Prefixes of the temporaries this program writes in the recordings folder: exported movies,
// trimmed copies, project files being replaced.
inline constexpr std::string_view kExportTemporaryPrefix = ".marlune-export-";
inline constexpr std::string_view kTrimTemporaryPrefix = ".marlune-trim-";
inline constexpr std::string_view kSaveTemporaryPrefix = ".marlune-save-";

// Creates a new, empty temporary (mode 0644, never following a symbolic link, never replacing a
// file). `directory` comes from FolderFile::openDirectory. Fails with the system's text
// (ErrorCode::nameTaken when every name tried exists).
Result<TemporaryFile> createTemporary(const FolderFile& directory, std::string_view prefix,
                                      std::string_view suffix);

// Gives the temporary `temporary` in `directory` the first of the names `nameFor(1)`,
// `nameFor(2)`, … that is free, never replacing an existing file (even one that appears meanwhile),
// and returns that name. Fails with the system's text (the temporary then stays):
// ErrorCode::nameTaken when every name is taken.
Result<std::string> claimName(const FolderFile& directory, const std::string& temporary,
                              const std::function<std::string(int n)>& nameFor);

// Removes, in `folder` and the folders below it, the temporaries that a process no longer
// running left behind (see the prefixes above). Returns how many it removed. Never follows a
// symbolic link and never touches anything else.
int removeLeftoverTemporaries(const std::filesystem::path& folder);

// A file named inside a folder, as FolderFile opens it.
struct FolderPath {
    std::filesystem::path folder;  // absolute and normal
    std::string relative;          // below it, "/"-separated, no "." or ".." components

    // Splits `file`, which must lie inside `folder` once both are made absolute and normal
    // (textually: symbolic links are the opening's business); nothing when it does not, or when it
    // names the folder itself.
    static std::optional<FolderPath> inside(const std::filesystem::path& folder,
                                            const std::filesystem::path& file);

    std::filesystem::path full() const { return folder / relative; }
    FolderFile::Opened open() const { return FolderFile::open(folder, relative); }
};

}  // namespace marlune
