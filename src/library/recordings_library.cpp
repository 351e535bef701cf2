#include "library/recordings_library.h"

#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <system_error>
#include <vector>

#include "core/paths.h"
#include "core/queue.h"
#include "platform/desktop/desktop.h"
#include "platform/image/image_codecs.h"
#include "platform/media/live_movie.h"
#include "platform/media/media_file.h"
#include "platform/media/video_decoder.h"
#include "platform/media/webcam_proxy.h"

namespace marlune {

namespace fs = std::filesystem;

namespace {

// Absolute, "." and ".." resolved, duplicate and trailing separators removed.
std::string standardized(const std::string& path) {
    std::string s = fs::path(path).lexically_normal().string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

// A folder entry the listing looks at: a name that looks like a recording.
struct Entry {
    std::string name;
    std::int64_t size = 0;
    double createdAtMs = RecordingsLibrary::kDistantPastMs;
};

std::vector<Entry> scanFolder(const fs::path& dir) {
    std::vector<Entry> entries;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return entries;
    while (const dirent* e = ::readdir(d)) {
        std::string_view name = e->d_name;
        if (!RecordingsLibrary::isListedName(name)) continue;
        // The listing travels as JSON text: a name that isn't UTF-8 could not be sent (and would
        // sink the whole reply), nor could the page name the file back.
        if (!g_utf8_validate(name.data(), static_cast<gssize>(name.size()), nullptr)) continue;
        entries.push_back(Entry{std::string(name)});
    }
    ::closedir(d);
    return entries;
}

// A movie's still frame for the listing, as a JPEG data URL; nothing when none can be made.
std::optional<std::string> thumbnailOf(MediaFile file, std::optional<double> duration) {
    double at = RecordingsLibrary::thumbnailTimeSeconds(duration);
    auto image = stillFrame(std::move(file), at, RecordingsLibrary::kThumbnailMaxWidth);
    if (!image) return std::nullopt;
    return jpegDataURL(*image, RecordingsLibrary::kThumbnailMaxWidth);
}

// The entry's listing item, or nothing when it is not a regular file inside the folder (a folder
// called x.mp4, a named pipe, a symbolic link leading elsewhere): those are not recordings, and
// reading them could block or show what lies outside.
std::optional<Json> itemFor(const fs::path& dir, Entry& entry,
                            RecordingsLibrary::Thumbnails thumbnails) {
    auto opened = FolderFile::open(dir, entry.name);
    if (!opened) return std::nullopt;
    // Size and birth time when the file system keeps them; otherwise size 0, created in the
    // distant past.
    struct statx sx {};
    if (::statx(opened->fd(), "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_SIZE | STATX_BTIME,
                &sx) == 0) {
        if (sx.stx_mask & STATX_SIZE) entry.size = static_cast<std::int64_t>(sx.stx_size);
        if (sx.stx_mask & STATX_BTIME) {
            entry.createdAtMs =
                double(sx.stx_btime.tv_sec) * 1000.0 + double(sx.stx_btime.tv_nsec) / 1.0e6;
        }
    }
    Json item = Json::object();
    item["name"] = entry.name;
    item["size"] = entry.size;
    item["createdAt"] = entry.createdAtMs;
    std::optional<double> duration;
    auto file = MediaFile::open(opened->procPath());
    if (file) duration = file->durationSeconds();
    std::int64_t durationMs = 0;
    // Far beyond any real movie; keeps the conversion defined for a corrupt header.
    if (duration && std::fabs(*duration) < 9.0e12) {
        durationMs = static_cast<std::int64_t>(std::trunc(*duration * 1000.0));
    }
    item["durationMs"] = durationMs;
    // The page marks recordings that have a webcam movie beside them.
    std::error_code ec;
    item["webcam"] =
        fs::is_regular_file(RecordingsLibrary::webcamPath((dir / entry.name).string()), ec);
    if (file && thumbnails == RecordingsLibrary::Thumbnails::include) {
        if (auto url = thumbnailOf(std::move(*file), duration)) item["thumb"] = std::move(*url);
    }
    return item;
}

// One listing in progress: the pool threads taking part pull entries by index until none are
// left; whoever finishes the last one sorts and completes.
struct Listing {
    fs::path dir;
    std::vector<Entry> entries;
    std::vector<std::optional<Json>> items;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> remaining{0};
    RecordingsLibrary::Thumbnails thumbnails = RecordingsLibrary::Thumbnails::include;
    RecordingsLibrary::ListCompletion completion;

    void work() {
        for (;;) {
            std::size_t i = next.fetch_add(1);
            if (i >= entries.size()) return;
            items[i] = itemFor(dir, entries[i], thumbnails);
            if (remaining.fetch_sub(1, std::memory_order_acq_rel) == 1) finish();
        }
    }

    void finish() {
        std::vector<std::size_t> order(entries.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        // Newest first; equal times by name, so that the order is stable between listings.
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            if (entries[a].createdAtMs != entries[b].createdAtMs) {
                return entries[a].createdAtMs > entries[b].createdAtMs;
            }
            return entries[a].name < entries[b].name;
        });
        Json array = Json::array();
        for (std::size_t i : order) {
            if (items[i]) array.push_back(std::move(*items[i]));
        }
        completion(std::move(array));
    }
};

}  // namespace

fs::path RecordingsLibrary::dirURL() {
    fs::path base = paths::userVideosDir().value_or(paths::homeDir() / "Videos");
    return base / "Marlune";
}

void RecordingsLibrary::ensureDir() {
    std::error_code ec;
    fs::create_directories(dirURL(), ec);
}

std::optional<fs::path> RecordingsLibrary::safeURL(std::string_view name) {
    // A NUL byte would cut the path short at the operating system, past this check.
    if (name.find('\0') != std::string_view::npos) return std::nullopt;
    std::error_code ec;
    std::string base = standardized(fs::absolute(dirURL(), ec).string());
    // Appended as text, so an absolute-looking name still lands inside the folder.
    std::string candidate = standardized(base + "/" + std::string(name));
    if (candidate.size() > base.size() + 1 && candidate.starts_with(base) &&
        candidate[base.size()] == '/') {
        return fs::path(candidate);
    }
    return std::nullopt;
}

std::optional<FolderPath> RecordingsLibrary::safeLocation(std::string_view name) {
    auto file = safeURL(name);
    if (!file) return std::nullopt;
    std::error_code ec;
    return FolderPath::inside(fs::absolute(dirURL(), ec), *file);
}

void RecordingsLibrary::removeLeftovers() {
    removeLeftoverTemporaries(dirURL());
}

std::string RecordingsLibrary::webcamPath(std::string_view recordingPath) {
    std::string path(recordingPath);
    constexpr std::string_view ext = ".mp4";
    if (path.size() >= ext.size()) {
        std::string tail = path.substr(path.size() - ext.size());
        std::transform(tail.begin(), tail.end(), tail.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (tail == ext) return path.substr(0, path.size() - ext.size()) + ".webcam.mp4";
    }
    return path + ".webcam.mp4";
}

bool RecordingsLibrary::isListedName(std::string_view fileName) {
    if (fileName.empty() || fileName.front() == '.') return false;
    if (fileName.ends_with(".webcam.mp4")) return false;
    auto dot = fileName.rfind('.');
    if (dot == std::string_view::npos) return false;
    // Recordings and MP4 exports, and the GIF and WebM exports beside them.
    std::string ext(fileName.substr(dot + 1));
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == "mp4" || ext == "gif" || ext == "webm";
}

double RecordingsLibrary::thumbnailTimeSeconds(std::optional<double> durationSeconds) {
    if (!durationSeconds || !std::isfinite(*durationSeconds)) return 0.0;
    double t = std::min(std::max(*durationSeconds - 0.1, 0.0), 0.5);
    return std::round(t * 600.0) / 600.0;
}

void RecordingsLibrary::list(ListCompletion completion) const {
    list(Thumbnails::include, std::move(completion));
}

void RecordingsLibrary::list(Thumbnails thumbnails, ListCompletion completion) const {
    fs::path dir = dirURL();
    ConcurrentQueue::userInitiated().post(
        [dir, thumbnails, completion = std::move(completion)]() mutable {
            auto listing = std::make_shared<Listing>();
            listing->dir = dir;
            listing->entries = scanFolder(dir);
            listing->thumbnails = thumbnails;
            listing->completion = std::move(completion);
            const std::size_t n = listing->entries.size();
            if (n == 0) {
                listing->completion(Json::array());
                return;
            }
            listing->items.resize(n);
            listing->remaining = n;
            auto& pool = ConcurrentQueue::userInitiated();
            std::size_t helpers = std::min(pool.threadCount(), n) - 1;
            for (std::size_t i = 0; i < helpers; ++i) pool.post([listing] { listing->work(); });
            listing->work();
        });
}

void RecordingsLibrary::thumbnail(std::string_view name, ThumbnailCompletion completion) const {
    auto location = safeLocation(name);
    ConcurrentQueue::userInitiated().post(
        [location = std::move(location), completion = std::move(completion)] {
            if (!location) return completion(fail("Invalid file name."));
            // Only a regular file inside the folder is read, as the listing does.
            auto opened = location->open();
            if (!opened) return completion(std::optional<std::string>());
            auto file = MediaFile::open(opened->procPath());
            if (!file) return completion(std::optional<std::string>());
            std::optional<double> duration = file->durationSeconds();
            completion(thumbnailOf(std::move(*file), duration));
        });
}

Result<void> RecordingsLibrary::refuseWhileRecording(std::string_view name) {
    auto location = safeLocation(name);
    if (!location) return {};
    auto opened = location->open();
    if (!opened || liveMovieState(opened->procPath()) != LiveMovieState::inUse) return {};
    return fail("“" + std::string(name) +
                "” is still being recorded; export it once it has stopped");
}

Result<void> RecordingsLibrary::deleteRecording(std::string_view name) const {
    MARLUNE_ASSERT_ON(Queue::main());
    auto location = safeLocation(name);
    if (!location) return fail("Invalid file name.");
    if (auto free = refuseWhileRecording(name); !free) return free;
    // A name the listing shows, of a regular file inside the folder; a missing one is left for
    // the trash to report.
    auto file = location->open();
    if (!isListedName(fs::path(location->relative).filename().string()) ||
        (!file && file.error().kind != FolderFileError::Kind::missing)) {
        return fail("Only recordings can be deleted.");
    }
    const fs::path movie = location->full();
    auto moved = desktop::moveToTrash(movie);
    if (!moved) return moved;
    // Companions are optional: a recording without them is still deleted.
    fs::path project = movie;
    project += ".marlune.json";
    (void)desktop::moveToTrash(project);
    (void)desktop::moveToTrash(webcamPath(movie.string()));
    (void)desktop::moveToTrash(webcamProxyPath(webcamPath(movie.string())));
    return {};
}

void RecordingsLibrary::reveal(std::string_view name) const {
    MARLUNE_ASSERT_ON(Queue::main());
    if (auto url = safeURL(name)) desktop::revealInFileManager(*url);
}

void RecordingsLibrary::open(std::string_view name) const {
    MARLUNE_ASSERT_ON(Queue::main());
    if (auto url = safeURL(name)) desktop::openWithDefaultApplication(*url);
}

void RecordingsLibrary::openFolder() const {
    MARLUNE_ASSERT_ON(Queue::main());
    desktop::openWithDefaultApplication(dirURL());
}

}  // namespace marlune
