#include "library/media_tools.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "core/debug_log.h"
#include "core/folder_file.h"
#include "core/queue.h"
#include "library/project_store.h"
#include "library/recordings_library.h"
#include "library/trimmed_project.h"
#include "platform/media/audio_decoder.h"
#include "platform/media/media_file.h"
#include "platform/media/stream_copy.h"

namespace marlune {

namespace fs = std::filesystem;

namespace {

constexpr std::chrono::milliseconds kTrimProgressInterval{250};

// Peaks of the first audio track; an empty list for a movie without audio, and for a file that
// is missing, unreadable or no movie at all (the page draws nothing rather than an error).
Result<std::vector<double>> readWindowPeaks(const FolderPath& location) {
    auto opened = location.open();
    if (!opened) return std::vector<double>();
    auto file = MediaFile::open(opened->procPath());
    if (!file) return std::vector<double>();
    auto audio = file->tracks(TrackKind::audio);
    if (audio.empty()) return std::vector<double>();
    int track = audio.front().index;
    auto decoder = AudioDecoder::open(
        std::move(*file), track, {.sampleRate = 0, .channels = 1, .format = SampleFormat::s16});
    if (!decoder) return fail("Could not read audio track.");
    PeakWindows windows;
    for (;;) {
        auto buffer = decoder->next();
        if (!buffer) {
            std::string message = buffer.error().message;
            return fail(message.empty() ? "Audio read failed." : message);
        }
        if (!*buffer) break;
        windows.add((*buffer)->s16());
    }
    return windows.finish();
}

// "<stem> trimmed.mp4", "<stem> trimmed 2.mp4", …
std::string trimmedName(const std::string& stem, int n) {
    return stem + (n == 1 ? " trimmed" : " trimmed " + std::to_string(n)) + ".mp4";
}

// What goes with a trimmed copy of recording `relative` (its project file and its webcam movie,
// the latter copied under a temporary name in `folder`), gathered once the movie is copied.
// Either may be missing: a recording without them, or one whose webcam movie cannot be read,
// still gets its copy.
struct Companions {
    std::optional<Json> project;
    std::optional<std::string> webcamTemporary;
};

Companions gatherCompanions(const std::string& relative, const FolderFile& folder,
                            std::int64_t startMs, std::int64_t endMs,
                            const std::shared_ptr<StreamCopyJob>& movieJob) {
    Companions out;
    auto loaded = ProjectStore().load(relative);
    if (!loaded || !*loaded) return out;
    out.project = trimmedProject(**loaded, startMs, endMs);
    const Json& original = **loaded;
    if (!out.project->contains("webcam")) return out;
    const Json& entry = original["webcam"];
    const double offset = entry.contains("offsetMs") && entry["offsetMs"].is_number()
                              ? entry["offsetMs"].get<double>()
                              : 0.0;
    auto range = webcamRange(offset, startMs, endMs);
    auto temporary = createTemporary(folder, kTrimTemporaryPrefix, ".mp4");
    if (!range || !temporary || movieJob->cancelled()) {
        out.project->erase("webcam");
        return out;
    }
    ::close(temporary->fd);
    // The recorder names the webcam movie after the recording, beside it.
    const std::string webcam =
        fs::path(RecordingsLibrary::webcamPath(fs::path(relative).filename().string()))
            .filename()
            .string();
    StreamCopyJob job(folder.procPath() + "/" + webcam, folder.procPath() + "/" + temporary->name,
                      range->startMs / 1000.0, range->endMs / 1000.0);
    if (!job.run()) {
        systemLog("Marlune: the trimmed copy goes without its webcam movie");
        ::unlinkat(folder.fd(), temporary->name.c_str(), 0);
        out.project->erase("webcam");
        return out;
    }
    out.webcamTemporary = temporary->name;
    return out;
}

// Names the companions after the copy `movie` (relative to the recordings folder, in `folder`).
void placeCompanions(Companions& companions, const FolderFile& folder, const std::string& movie) {
    if (companions.webcamTemporary) {
        const std::string webcam = RecordingsLibrary::webcamPath(movie);
        const std::string leaf = fs::path(webcam).filename().string();
        // Only its own name will do: a file there already is kept, and the copy goes without a
        // webcam.
        const char* from = companions.webcamTemporary->c_str();
        bool placed =
            ::renameat2(folder.fd(), from, folder.fd(), leaf.c_str(), RENAME_NOREPLACE) == 0;
        if (!placed && (errno == EINVAL || errno == ENOSYS)) {
            // A file system without the no-replace rename: a hard link cannot replace either.
            placed = ::linkat(folder.fd(), from, folder.fd(), leaf.c_str(), 0) == 0;
            if (placed) ::unlinkat(folder.fd(), from, 0);
        }
        if (placed) {
            (*companions.project)["webcam"]["file"] = leaf;
        } else {
            ::unlinkat(folder.fd(), companions.webcamTemporary->c_str(), 0);
            companions.project->erase("webcam");
        }
    }
    if (companions.project) {
        if (auto saved = ProjectStore().save(movie, *companions.project); !saved) {
            systemLog("Marlune: the trimmed copy's project was not saved: " +
                      saved.error().message);
        }
    }
}

}  // namespace

// The trims under way, each by its copy job, so that the tools' end can stop them.
struct MediaTools::Trims {
    std::mutex lock;
    std::condition_variable changed;
    std::map<std::uint64_t, std::weak_ptr<StreamCopyJob>> running;  // guarded by lock
    std::uint64_t nextId = 1;                                       // guarded by lock
};

MediaTools::MediaTools() : trims_(std::make_shared<Trims>()) {}

MediaTools::~MediaTools() {
    MARLUNE_ASSERT_ON(Queue::main());
    std::vector<std::shared_ptr<StreamCopyJob>> jobs;
    {
        std::lock_guard lock(trims_->lock);
        for (const auto& [id, job] : trims_->running) {
            if (auto running = job.lock()) jobs.push_back(std::move(running));
        }
    }
    for (const auto& job : jobs) job->cancel();
    jobs.clear();
    std::unique_lock lock(trims_->lock);
    trims_->changed.wait(lock, [&] { return trims_->running.empty(); });
}

void PeakWindows::add(std::span<const std::int16_t> samples) {
    for (std::int16_t s : samples) {
        int a = s == -32768 ? 32767 : std::abs(int(s));
        peak_ = std::max(peak_, a);
        if (++count_ == MediaTools::kWindowSamples) {
            peaks_.push_back(peak_ / 32767.0);
            peak_ = 0;
            count_ = 0;
        }
    }
}

std::vector<double> PeakWindows::finish() {
    if (count_ > 0) peaks_.push_back(peak_ / 32767.0);
    peak_ = 0;
    count_ = 0;
    return std::move(peaks_);
}

std::vector<double> waveformFromPeaks(const std::vector<double>& windowPeaks, int buckets) {
    const std::size_t p = windowPeaks.size();
    std::vector<double> values;
    if (p == 0) return values;
    if (buckets >= 0 && static_cast<std::size_t>(buckets) >= p) {
        values = windowPeaks;
    } else {
        const double step = double(p) / buckets;
        for (int i = 0; i < buckets; ++i) {
            auto lo = static_cast<std::size_t>(std::trunc(i * step));
            auto hi = std::min(static_cast<std::size_t>(std::trunc((i + 1) * step)), p);
            auto end = std::max(hi, lo + 1);
            values.push_back(
                *std::max_element(windowPeaks.begin() + lo, windowPeaks.begin() + end));
        }
    }
    double loudest = values.empty() ? 0.0 : *std::max_element(values.begin(), values.end());
    if (loudest > 0.01) {
        for (double& v : values) v = std::min(v / loudest, 1.0);
    }
    for (double& v : values) v = std::round(v * 1000.0) / 1000.0;
    return values;
}

void MediaTools::waveform(std::string_view name, int buckets, WaveformCompletion completion) const {
    auto location = RecordingsLibrary::safeLocation(name);
    ConcurrentQueue::userInitiated().post(
        [location = std::move(location), buckets, completion = std::move(completion)] {
            if (!location) {
                completion(fail("Invalid file name."));
                return;
            }
            auto peaks = readWindowPeaks(*location);
            if (!peaks) {
                completion(std::unexpected(peaks.error()));
                return;
            }
            completion(waveformFromPeaks(*peaks, buckets));
        });
}

void MediaTools::exportTrim(std::string_view name, std::int64_t startMs, std::int64_t endMs,
                            TrimProgress progress, TrimCompletion completion) const {
    MARLUNE_ASSERT_ON(Queue::main());
    auto location = RecordingsLibrary::safeLocation(name);
    if (!location) {
        completion(fail("Invalid file name."));
        return;
    }
    if (startMs >= endMs) {
        completion(fail("Trim range is empty."));
        return;
    }
    // The source and the folder the copy goes to, opened once so that neither can be swapped
    // for something outside the recordings folder while the copy runs. Neither open blocks.
    auto source = location->open();
    if (!source) {
        completion(fail(source.error().message()));
        return;
    }
    const fs::path relative(location->relative);
    const std::string subfolder = relative.parent_path().string();
    auto folder = FolderFile::openDirectory(location->folder, subfolder);
    if (!folder) {
        completion(fail(folder.error().message()));
        return;
    }
    // Written under a hidden name, and named only once it is whole: a copy in progress, or one
    // cut short by a crash, never shows up as a recording.
    auto temporary = createTemporary(*folder, kTrimTemporaryPrefix, ".mp4");
    if (!temporary) {
        completion(fail("Could not create the trimmed copy: " + temporary.error().message,
                        temporary.error().code));
        return;
    }
    ::close(temporary->fd);
    auto job = std::make_shared<StreamCopyJob>(source->procPath(),
                                               folder->procPath() + "/" + temporary->name,
                                               startMs / 1000.0, endMs / 1000.0);

    // The timer holds the job weakly: once the copy is over it reports nothing more.
    std::weak_ptr<StreamCopyJob> watched = job;
    TimerHandle timer = Queue::main().every(kTrimProgressInterval, [watched, progress] {
        if (auto running = watched.lock()) progress(running->progress());
    });

    std::uint64_t id = 0;
    {
        std::lock_guard lock(trims_->lock);
        id = trims_->nextId++;
        trims_->running[id] = job;
    }
    // A thread of its own, not the shared pool: a copy runs as long as the movie takes and would
    // hold up the listings and waveforms queued behind it. The destructor waits for it.
    std::thread([job = std::move(job), trims = trims_, id, timer, source = std::move(*source),
                 folder = std::move(*folder), temporary = temporary->name,
                 stem = relative.stem().string(), movieRelative = location->relative, subfolder,
                 completion = std::move(completion)]() mutable {
        Result<void> copied = job->run();
        // A copy that finished just as the tools went away is not named: they promised to
        // leave nothing of it behind.
        if (copied && job->cancelled()) copied = fail("Cancelled.", ErrorCode::cancelled);
        Result<ExportedMovie> result = std::unexpected(Error{});
        Companions companions;
        if (copied) {
            companions =
                gatherCompanions(movieRelative, folder, std::llround(job->startSeconds() * 1000.0),
                                 std::llround(job->endSeconds() * 1000.0), job);
        }
        if (copied) {
            auto named = claimName(folder, temporary, [&](int n) { return trimmedName(stem, n); });
            if (named) {
                placeCompanions(companions, folder, (fs::path(subfolder) / *named).string());
                const double seconds = job->endSeconds() - job->startSeconds();
                result = ExportedMovie{(fs::path(subfolder) / *named).string(),
                                       std::llround(seconds * 1000.0)};
            } else {
                result = fail("Could not name the trimmed copy: " + named.error().message,
                              named.error().code);
            }
        } else {
            result = std::unexpected(copied.error());
        }
        // Removed here, not with the completion: the main loop may not run again.
        if (!result) {
            ::unlinkat(folder.fd(), temporary.c_str(), 0);
            if (companions.webcamTemporary) {
                ::unlinkat(folder.fd(), companions.webcamTemporary->c_str(), 0);
            }
        }
        job.reset();
        {
            std::lock_guard lock(trims->lock);
            trims->running.erase(id);
            trims->changed.notify_all();
        }
        Queue::main().post([result = std::move(result), timer,
                            completion = std::move(completion)]() mutable {
            timer.cancel();
            if (result) {
                completion(std::move(*result));
                return;
            }
            const Error& error = result.error();
            completion(fail(error.message.empty() ? "Export failed." : error.message, error.code));
        });
    }).detach();
}

}  // namespace marlune
