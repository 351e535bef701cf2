#include "core/folder_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <signal.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

namespace marlune {

namespace fs = std::filesystem;

namespace {

constexpr int kFileFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC;

// Cleared once the kernel has said it has no openat2.
std::atomic<bool> gHaveOpenat2{true};

FolderFileError errorFor(int err) {
    using Kind = FolderFileError::Kind;
    switch (err) {
        case ENOENT:
        case ENOTDIR:
            return {Kind::missing, err};
        case ELOOP:
        case EXDEV:
            return {Kind::outside, err};
        default:
            return {Kind::unreadable, err};
    }
}

class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

std::string_view withoutLeadingSlashes(std::string_view relative) {
    while (!relative.empty() && relative.front() == '/') relative.remove_prefix(1);
    return relative;
}

// Absolute, "." and ".." resolved, no trailing separator.
std::string standardized(const fs::path& path) {
    std::error_code ec;
    std::string s = fs::absolute(path, ec).lexically_normal().string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

}  // namespace

std::optional<FolderPath> FolderPath::inside(const fs::path& folder, const fs::path& file) {
    std::string base = standardized(folder);
    std::string candidate = standardized(file);
    const std::size_t cut = base == "/" ? 1 : base.size() + 1;
    if (candidate.size() <= cut || !candidate.starts_with(base) || candidate[cut - 1] != '/') {
        return std::nullopt;
    }
    return FolderPath{fs::path(base), candidate.substr(cut)};
}

std::string FolderFileError::message() const {
    switch (kind) {
        case Kind::missing:
            return std::strerror(ENOENT);
        case Kind::outside:
            return "The path leads out of its folder";
        case Kind::notRegular:
            return "Not a regular file";
        case Kind::unreadable:
            break;
    }
    return err ? std::strerror(err) : "The file could not be opened";
}

FolderFile::FolderFile(FolderFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), info_(other.info_) {}

FolderFile& FolderFile::operator=(FolderFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        info_ = other.info_;
    }
    return *this;
}

FolderFile::~FolderFile() {
    if (fd_ >= 0) ::close(fd_);
}

std::string FolderFile::procPath() const {
    return "/proc/self/fd/" + std::to_string(fd_);
}

std::optional<std::string> FolderFile::readAll(std::uint64_t maxBytes) const {
    if (size() > maxBytes) return std::nullopt;
    std::string bytes;
    bytes.resize(static_cast<std::size_t>(size()));
    std::size_t got = 0;
    // One byte more than allowed, to notice a file that grew since it was opened.
    for (;;) {
        if (got == bytes.size()) {
            if (bytes.size() > maxBytes) return std::nullopt;
            bytes.resize(std::min<std::uint64_t>(maxBytes + 1, bytes.size() + 65536));
        }
        ssize_t n = ::pread(fd_, bytes.data() + got, bytes.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got > maxBytes) return std::nullopt;
    bytes.resize(got);
    return bytes;
}

FolderFile::Opened FolderFile::open(const fs::path& folder, std::string_view relative) {
    return openBeneath(folder, relative, false);
}

FolderFile::Opened FolderFile::openDirectory(const fs::path& folder, std::string_view relative) {
    return openBeneath(folder, relative, true);
}

FolderFile::Opened FolderFile::openBeneath(const fs::path& folder, std::string_view relative,
                                           bool directory) {
    relative = withoutLeadingSlashes(relative);
    if (relative.find('\0') != std::string_view::npos) {
        return std::unexpected(FolderFileError{FolderFileError::Kind::missing, ENOENT});
    }
    if (!gHaveOpenat2.load(std::memory_order_relaxed)) {
        return openByComponents(folder, relative, directory);
    }
    Descriptor root(::open(folder.c_str(), kDirectoryFlags));
    if (root.get() < 0) return std::unexpected(errorFor(errno));

    open_how how{};
    how.flags = static_cast<std::uint64_t>(directory ? kDirectoryFlags : kFileFlags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    std::string path = relative.empty() ? "." : std::string(relative);
    long fd;
    // EAGAIN: the walk raced with a rename in the folder; it is worth a few more tries.
    int tries = 0;
    do {
        fd = ::syscall(SYS_openat2, root.get(), path.c_str(), &how, sizeof how);
    } while (fd < 0 && (errno == EINTR || (errno == EAGAIN && ++tries < 8)));
    if (fd < 0 && (errno == ENOSYS || errno == EPERM)) {
        // An older kernel, or a sandbox that filters the call: walk the path by hand.
        if (errno == ENOSYS) gHaveOpenat2.store(false, std::memory_order_relaxed);
        return openByComponents(folder, relative, directory);
    }
    if (fd < 0) return std::unexpected(errorFor(errno));
    Descriptor opened(static_cast<int>(fd));
    struct stat info {};
    if (::fstat(opened.get(), &info) != 0) return std::unexpected(errorFor(errno));
    if (directory ? !S_ISDIR(info.st_mode) : !S_ISREG(info.st_mode)) {
        return std::unexpected(FolderFileError{FolderFileError::Kind::notRegular, 0});
    }
    return FolderFile(opened.release(), info);
}

FolderFile::Opened FolderFile::openByComponents(const fs::path& folder, std::string_view relative,
                                                bool directory) {
    relative = withoutLeadingSlashes(relative);
    Descriptor current(::open(folder.c_str(), kDirectoryFlags));
    if (current.get() < 0) return std::unexpected(errorFor(errno));
    // The components in turn, none of them a symbolic link; the last one is the file itself.
    std::string_view rest = relative;
    while (!rest.empty()) {
        auto slash = rest.find('/');
        std::string component(rest.substr(0, slash));
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        rest = withoutLeadingSlashes(rest);
        if (component.empty() || component == ".") continue;
        if (component == "..") {
            return std::unexpected(FolderFileError{FolderFileError::Kind::outside, EXDEV});
        }
        const bool last = rest.empty();
        const int flags = (last && !directory ? kFileFlags : kDirectoryFlags) | O_NOFOLLOW;
        int fd;
        do {
            fd = ::openat(current.get(), component.c_str(), flags);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            // A symbolic link where a folder was expected fails as "not a folder": look closer.
            int err = errno;
            struct stat link {};
            if (err == ENOTDIR &&
                ::fstatat(current.get(), component.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(link.st_mode)) {
                err = ELOOP;
            }
            if (err == ENOTDIR && last && directory) {
                return std::unexpected(FolderFileError{FolderFileError::Kind::notRegular, 0});
            }
            return std::unexpected(errorFor(err));
        }
        current.reset(fd);
    }
    struct stat info {};
    if (::fstat(current.get(), &info) != 0) return std::unexpected(errorFor(errno));
    if (directory ? !S_ISDIR(info.st_mode) : !S_ISREG(info.st_mode)) {
        return std::unexpected(FolderFileError{FolderFileError::Kind::notRegular, 0});
    }
    return FolderFile(current.release(), info);
}

namespace {

std::string randomSuffix() {
    unsigned char bytes[6];
    if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != sizeof bytes) {
        static std::atomic<unsigned> counter{0};
        unsigned v = counter++ ^ static_cast<unsigned>(::getpid());
        for (auto& b : bytes) {
            b = static_cast<unsigned char>(v);
            v = v * 2654435761u + 1;
        }
    }
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string out;
    for (unsigned char b : bytes) out.push_back(kDigits[b % 36]);
    return out;
}

// The process that wrote a temporary: the number after its prefix.
std::optional<pid_t> writerOf(std::string_view name) {
    for (std::string_view prefix :
         {kExportTemporaryPrefix, kTrimTemporaryPrefix, kSaveTemporaryPrefix}) {
        if (!name.starts_with(prefix)) continue;
        name.remove_prefix(prefix.size());
        pid_t pid = 0;
        std::size_t digits = 0;
        while (digits < name.size() && digits < 9 && name[digits] >= '0' && name[digits] <= '9') {
            pid = pid * 10 + (name[digits] - '0');
            ++digits;
        }
        if (digits == 0 || digits >= name.size() || name[digits] != '-') return std::nullopt;
        return pid;
    }
    return std::nullopt;
}

bool processIsRunning(pid_t pid) {
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

int removeLeftovers(int dirFd, int depth) {
    int removed = 0;
    int scanFd = ::dup(dirFd);
    if (scanFd < 0) return 0;
    DIR* dir = ::fdopendir(scanFd);
    if (!dir) {
        ::close(scanFd);
        return 0;
    }
    std::vector<std::string> folders;
    while (const dirent* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat info {};
        if (::fstatat(dirFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(info.st_mode)) {
            folders.emplace_back(name);
            continue;
        }
        auto pid = writerOf(name);
        // Regular files only; one whose writer is still at work (another instance) stays.
        if (!pid || !S_ISREG(info.st_mode) || processIsRunning(*pid)) continue;
        if (::unlinkat(dirFd, entry->d_name, 0) == 0) ++removed;
    }
    ::closedir(dir);
    if (depth <= 0) return removed;
    for (const auto& name : folders) {
        int sub = ::openat(dirFd, name.c_str(), kDirectoryFlags | O_NOFOLLOW);
        if (sub < 0) continue;
        removed += removeLeftovers(sub, depth - 1);
        ::close(sub);
    }
    return removed;
}

}  // namespace

Result<TemporaryFile> createTemporary(const FolderFile& directory, std::string_view prefix,
                                      std::string_view suffix) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = std::string(prefix) + std::to_string(::getpid()) + "-" + randomSuffix() +
                           std::string(suffix);
        int fd = ::openat(directory.fd(), name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) return TemporaryFile{std::move(name), fd};
        if (errno != EEXIST && errno != EINTR) return fail(std::strerror(errno));
    }
    return fail(std::strerror(EEXIST), ErrorCode::nameTaken);
}

Result<std::string> claimName(const FolderFile& directory, const std::string& temporary,
                              const std::function<std::string(int)>& nameFor) {
    for (int n = 1; n <= 100000; ++n) {
        std::string name = nameFor(n);
        if (::renameat2(directory.fd(), temporary.c_str(), directory.fd(), name.c_str(),
                        RENAME_NOREPLACE) == 0) {
            return name;
        }
        if (errno == EEXIST) continue;
        if (errno != EINVAL && errno != ENOSYS) return fail(std::strerror(errno));
        // A file system without the no-replace rename: a hard link cannot replace a file either.
        if (::linkat(directory.fd(), temporary.c_str(), directory.fd(), name.c_str(), 0) == 0) {
            ::unlinkat(directory.fd(), temporary.c_str(), 0);
            return name;
        }
        if (errno != EEXIST) return fail(std::strerror(errno));
    }
    return fail(std::strerror(EEXIST), ErrorCode::nameTaken);
}

int removeLeftoverTemporaries(const fs::path& folder) {
    int fd = ::open(folder.c_str(), kDirectoryFlags);
    if (fd < 0) return 0;
    // Recordings sit in the folder and, by their names, in folders a few levels below it.
    int removed = removeLeftovers(fd, 4);
    ::close(fd);
    return removed;
}

}  // namespace marlune
