#include "recording/track_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "core/debug_log.h"
#include "core/queue.h"
#include "core/write_fully.h"
#include "library/project_store.h"
#include "library/recordings_library.h"

namespace marlune {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kJournalSuffix = ".tracks";

void appendArray(Json& into, const Json& batch, const char* key) {
    auto it = batch.find(key);
    if (it == batch.end() || !it->is_array()) return;
    for (const auto& v : *it) into.push_back(v);
}

// The movie a journal's file name belongs to: ".NAME.tracks" → "NAME".
std::optional<std::string> movieOfJournal(const std::string& fileName) {
    if (fileName.size() <= 1 + kJournalSuffix.size() || fileName.front() != '.' ||
        !fileName.ends_with(kJournalSuffix)) {
        return std::nullopt;
    }
    return fileName.substr(1, fileName.size() - 1 - kJournalSuffix.size());
}

}  // namespace

void RecordedTracks::append(const Json& batch) {
    if (!batch.is_object()) return;
    appendArray(clicks, batch, "clicks");
    appendArray(cursorPath, batch, "cursorPath");
    appendArray(caretPath, batch, "caretPath");
    appendArray(keys, batch, "keys");
    if (auto it = batch.find("webcam"); it != batch.end() && it->is_object()) webcam = *it;
}

std::optional<Json> RecordedTracks::projectData() const {
    if (clicks.empty() && cursorPath.empty() && caretPath.empty() && keys.empty() && !webcam &&
        missing.empty()) {
        return std::nullopt;
    }
    Json data = Json::object();
    data["version"] = 1;
    data["clicks"] = clicks;
    if (!cursorPath.empty()) data["cursorPath"] = cursorPath;
    if (!caretPath.empty()) data["caretPath"] = caretPath;
    if (!keys.empty()) data["keys"] = keys;
    if (webcam) data["webcam"] = *webcam;
    if (!missing.empty()) data["missing"] = missing;
    return data;
}

// The open file, touched only on the journal's queue.
struct TrackJournal::Sink {
    int fd = -1;
    bool failed = false;
    fs::path path;

    ~Sink() {
        if (fd >= 0) ::close(fd);  // also lets go of the lock
    }

    bool writeLine(const Json& value) {
        if (failed || fd < 0) return false;
        auto text = serializeStrict(value);
        if (!text) return true;  // nothing of it could be read back; the next batch may
        text->push_back('\n');
        if (writeFully(fd, *text) && ::fdatasync(fd) == 0) return true;
        failed = true;
        systemLog("Marlune: the tracks of " + path.filename().string() +
                  " can no longer be kept safe while recording: " + std::strerror(errno));
        return false;
    }
};

fs::path TrackJournal::pathFor(const fs::path& movie) {
    return movie.parent_path() / ("." + movie.filename().string() + std::string(kJournalSuffix));
}

TrackJournal::TrackJournal(fs::path path, std::shared_ptr<Sink> sink)
    : path_(std::move(path)), sink_(std::move(sink)), queue_(Queue::makeSerial(".tracks")) {}

TrackJournal::~TrackJournal() {
    // The queue's destructor lets the writes already posted finish first.
    queue_.reset();
}

Result<std::unique_ptr<TrackJournal>> TrackJournal::create(const fs::path& movie) {
    auto sink = std::make_shared<Sink>();
    sink->path = pathFor(movie);
    sink->fd =
        ::open(sink->path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (sink->fd < 0 || ::flock(sink->fd, LOCK_EX | LOCK_NB) != 0) {
        return fail("Could not keep the tracks of " + movie.filename().string() + ": " +
                    std::strerror(errno));
    }
    Json header = Json::object();
    header["journal"] = 1;
    header["movie"] = movie.filename().string();
    if (!sink->writeLine(header)) {
        return fail("Could not keep the tracks of " + movie.filename().string() + ": " +
                    std::strerror(errno));
    }
    fs::path path = sink->path;  // arguments are built in no set order: not from a moved sink
    return std::unique_ptr<TrackJournal>(new TrackJournal(std::move(path), std::move(sink)));
}

void TrackJournal::append(Json batch) {
    if (!batch.is_object() || batch.empty()) return;
    queue_->post([sink = sink_, batch = std::move(batch)] { sink->writeLine(batch); });
}

void TrackJournal::discard() {
    queue_->post([sink = sink_] {
        std::error_code ec;
        fs::remove(sink->path, ec);
        if (sink->fd >= 0) ::close(sink->fd);
        sink->fd = -1;
    });
}

std::optional<RecordedTracks> TrackJournal::read(const fs::path& journal) {
    std::ifstream in(journal, std::ios::binary);
    if (!in) return std::nullopt;
    std::string line;
    if (!std::getline(in, line)) return std::nullopt;
    Json header = Json::parse(line, nullptr, false);
    if (!header.is_object() || integralValue(header.value("journal", Json())) != 1) {
        return std::nullopt;
    }
    RecordedTracks tracks;
    // A line without its line break is one the writer did not finish.
    while (std::getline(in, line) && !in.eof()) {
        Json batch = Json::parse(line, nullptr, false);
        if (batch.is_discarded()) break;
        tracks.append(batch);
    }
    return tracks;
}

std::vector<InterruptedRecording> recoverTrackJournals() {
    const fs::path folder = RecordingsLibrary::dirURL();
    ProjectStore projects;
    std::vector<InterruptedRecording> out;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string fileName = entry.path().filename().string();
        auto movieName = movieOfJournal(fileName);
        std::error_code typeError;
        if (!movieName || !entry.is_regular_file(typeError)) continue;
        // Never through a link, and never waiting on a pipe left under a journal's name.
        int fd = ::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) continue;
        // Held until the journal is dealt with: a recording that starts meanwhile cannot take it.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);  // its recording is still running
            continue;
        }
        std::error_code fsError;
        const fs::path movie = folder / *movieName;
        auto sidecar = projects.sidecarURL(*movieName);
        bool done = true;
        if (fs::is_regular_file(movie, fsError) && fs::file_size(movie, fsError) == 0 && !fsError) {
            fs::remove(movie, fsError);
            out.push_back(
                {.name = *movieName, .error = "it was cut short before any of it was written"});
            systemLog("Marlune: removed the empty movie of the interrupted recording " +
                      *movieName);
        } else if (fs::exists(movie, fsError) && sidecar && !fs::exists(*sidecar, fsError)) {
            auto tracks = TrackJournal::read(entry.path());
            if (auto data = tracks ? tracks->projectData() : std::nullopt) {
                if (auto saved = projects.save(*movieName, *data); saved) {
                    out.push_back({.name = *movieName, .recovered = true});
                    systemLog("Marlune: kept the tracks of the interrupted recording " +
                              *movieName);
                } else {
                    done = false;
                    systemLog("Marlune: could not keep the tracks of " + *movieName + ": " +
                              saved.error().message);
                }
            }
        }
        if (done) fs::remove(entry.path(), fsError);
        ::close(fd);
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return out;
}

}  // namespace marlune
