#include "recording/asset_writer_coordinator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>
#include <mutex>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "core/debug_log.h"
#include "core/queue.h"
#include "platform/desktop/desktop.h"
#include "platform/image/bgra_image.h"
#include "platform/media/audio_encoder.h"
#include "platform/media/live_movie.h"
#include "platform/media/movie_muxer.h"
#include "platform/media/video_encoder.h"

namespace marlune {

namespace {

constexpr int kAudioRate = 48000;
constexpr int kAudioChannels = 2;
constexpr std::int64_t kAudioBitRate = 192'000;
// Buffers of sound waiting for the encoder at most (a few seconds of 10 ms buffers).
constexpr int kMaxPendingAudio = 400;
// Sound this close to where its track ended continues it: capture times scatter by a little.
constexpr std::int64_t kAudioSlackSamples = kAudioRate / 500;  // 2 ms

enum class Kind { video, mic, system };

constexpr std::int64_t kNs = 1'000'000'000;
// How long into the picture a sound track may stay without sound before it starts with silence.
constexpr std::int64_t kSoundWaitNs = kNs / 2;

}  // namespace

struct AssetWriterCoordinator::State {
    explicit State(WriterTuning t) : tuning(std::move(t)), queue(Queue::makeSerial(".writer")) {}
    ~State() {
        if (movieFd >= 0) ::close(movieFd);
        if (claimedFd >= 0) ::close(claimedFd);
    }

    WriterTuning tuning;
    std::shared_ptr<Queue> queue;

    // Appends in flight, counted on the caller's side so that appends never wait.
    std::atomic<int> pendingFrames{0};
    std::atomic<int> pendingAudio{0};
    std::atomic<bool> accepting{false};  // prepared and not finishing
    std::atomic<std::uint64_t> framesWritten{0}, framesDropped{0}, framesPaused{0}, audioWritten{0},
        audioDropped{0};
    std::atomic<bool> hasFirst{false};
    std::atomic<HostTime> firstPTSAtomic{0};

    // Queue only (prepare runs before anything is queued).
    struct AudioTrack {
        std::optional<AudioEncoder> encoder;
        int index = -1;
        std::int64_t written = 0;  // samples given to the encoder
        std::optional<HostTime> lastPTS;
    };
    std::optional<MovieMuxer> muxer;
    std::optional<VideoEncoder> video;
    int videoIndex = -1;
    int fps = 30;
    AudioTrack mic, system;
    std::filesystem::path outputURL;
    int claimedFd = -1;  // until prepare hands it to the muxer
    // The movie's file, open from prepare to the end: when its name (or its whole folder) is
    // removed meanwhile, what was recorded is still here to be put back.
    int movieFd = -1;
    std::function<void(Error)> onFailure;
    std::optional<Error> failure;  // the writer has failed: everything is dropped
    // Guards `failure` once finishing runs on a thread of its own, for the watchdog's reading.
    std::mutex failureLock;
    bool sessionStarted = false;
    bool soundCaughtUp = false;  // catchUpSilentTracks has run
    HostTime firstPTS = 0;
    std::optional<HostTime> lastVideoPTS;
    std::optional<std::int64_t> lastSlot;  // the movie's frame that picture fell on
    struct Pause {
        HostTime begin, end;
    };
    std::vector<Pause> pauses;
    std::optional<HostTime> pauseBegan;
    bool finishing = false;
    bool didComplete = false;
    // Sound that arrived before the first picture, the last kEarlyAudio of it.
    static constexpr HostTime kEarlyAudio = 500'000'000;
    std::deque<std::pair<Kind, AudioBuffer>> early;

    AudioTrack& track(Kind k) { return k == Kind::mic ? mic : system; }

    // Whether a sample taken at `pts` falls in a pause, and how much paused time lies before it.
    bool paused(HostTime pts) const {
        if (pauseBegan && pts >= *pauseBegan) return true;
        return std::any_of(pauses.begin(), pauses.end(),
                           [&](const Pause& p) { return pts >= p.begin && pts < p.end; });
    }
    HostTime offset(HostTime pts) const {
        HostTime total = 0;
        for (const auto& p : pauses) {
            if (p.end <= pts) total += p.end - p.begin;
        }
        return total;
    }

    void fail(Error e) {
        if (failure) return;
        systemLog("Marlune: movie writer failed: " + e.message);
        std::lock_guard lock(failureLock);
        failure = std::move(e);
        // While recording (not once finishing, whose caller hears of it anyway).
        if (onFailure && !finishing) onFailure(*failure);
    }

    void writePackets(Result<std::vector<Packet>> packets, int index) {
        if (!packets) return fail(packets.error());
        for (auto& p : *packets) {
            auto written = muxer->write(std::move(p), index, 0.0);
            if (!written) return fail(written.error());
        }
    }

    void appendVideo(const VideoFrame& frame) {
        // Once finishing, the fields below belong to the finishing thread.
        if (finishing || !muxer || failure || !frame.valid()) {
            ++framesDropped;
            return;
        }
        if (paused(frame.pts)) {
            ++framesPaused;
            return;
        }
        if (!sessionStarted) {
            sessionStarted = true;
            firstPTS = frame.pts;
            firstPTSAtomic = frame.pts;
            hasFirst = true;
            // Sound that reached the queue before the first picture may belong after it.
            auto held = std::move(early);
            early.clear();
            for (const auto& [kind, buffer] : held) appendAudio(kind, buffer);
        }
        HostTime t = frame.pts - offset(frame.pts);
        if (lastVideoPTS && t <= *lastVideoPTS) {
            ++framesDropped;
            return;
        }
        // Pictures sit on the movie's frame grid, so that the movie reads as constant-rate
        // (with frames dropped under load, two pictures less than a frame apart would share a
        // decoding time for whatever reads it at its average rate). A picture is timed halfway
        // through its taking, which starts at its frame's time: it goes to the frame it was
        // taken for, or the one after the last picture's if that is taken, and is dropped if
        // that is over a frame ahead of it.
        const int rate = std::max(1, fps);
        std::int64_t slot = static_cast<std::int64_t>(
            std::floor(static_cast<double>(t - firstPTS) * rate / static_cast<double>(kNs) + 1e-3));
        if (lastSlot && slot <= *lastSlot) slot = *lastSlot + 1;
        const HostTime placed = firstPTS + slot * kNs / rate;
        if (placed - t > kNs / rate) {
            ++framesDropped;
            return;
        }
        t = placed;
        const BgraPixels pixels(frame.pixels.get(), frame.width, frame.height, frame.stride);
        writePackets(video->encode(pixels, static_cast<double>(t - firstPTS) / kNs), videoIndex);
        if (failure) return;
        lastVideoPTS = t;
        lastSlot = slot;
        ++framesWritten;
        if (!soundCaughtUp && t - firstPTS >= kSoundWaitNs) catchUpSilentTracks(t);
    }

    // The movie's header (and with it the first part) waits for every track's first packet: a
    // sound track that has had nothing half a second into the picture (a device slow to start,
    // a source that sends nothing while silent) would hold the first part back to the next key
    // frame, two seconds of recording lost to a kill. Such a track starts with silence instead;
    // sound that comes later for that half second is trimmed, as any overlap is.
    void catchUpSilentTracks(HostTime t) {
        soundCaughtUp = true;
        const auto upTo = static_cast<std::int64_t>(
            std::llround(static_cast<double>(t - firstPTS) * kAudioRate / kNs));
        for (AudioTrack* tr : {&mic, &system}) {
            if (tr->encoder && tr->written == 0 && !tr->lastPTS) padSilence(*tr, upTo);
        }
    }

    void appendAudio(Kind kind, const AudioBuffer& buffer) {
        if (finishing) return;
        AudioTrack& tr = track(kind);
        if (!muxer || failure || !tr.encoder || buffer.frames() <= 0 ||
            buffer.sampleRate != kAudioRate) {
            if (tr.encoder) ++audioDropped;
            return;
        }
        if (!sessionStarted) {
            // Kept a moment: sound taken after the first picture can arrive before it does.
            early.emplace_back(kind, buffer);
            while (early.size() > 1 && early.front().second.pts < buffer.pts - kEarlyAudio) {
                early.pop_front();
            }
            return;
        }
        // Sound from before the first picture is not part of the movie.
        if (paused(buffer.pts)) return;
        const HostTime t = buffer.pts - offset(buffer.pts);
        if (tr.lastPTS && t <= *tr.lastPTS) {
            ++audioDropped;
            return;
        }
        tr.lastPTS = t;
        const std::int64_t frames = buffer.frames();
        // Where the buffer belongs in the track, in samples from the first picture.
        const std::int64_t start = static_cast<std::int64_t>(
            std::llround(static_cast<double>(t - firstPTS) * kAudioRate / kNs));
        std::int64_t skip = 0;
        if (start > tr.written + kAudioSlackSamples) {
            padSilence(tr, start - tr.written);
        } else if (start < tr.written - kAudioSlackSamples) {
            skip = tr.written - start;  // overlaps what the track already has
        }
        if (skip >= frames || failure) return;
        std::vector<float> stereo;
        std::span<const float> samples;
        if (buffer.channels == kAudioChannels) {
            samples = std::span<const float>(buffer.samples)
                          .subspan(static_cast<std::size_t>(skip * kAudioChannels));
        } else {
            // Mono (or more channels): the first channel (or the first two) as stereo.
            stereo.reserve(static_cast<std::size_t>((frames - skip) * kAudioChannels));
            for (std::int64_t i = skip; i < frames; ++i) {
                const float* s = &buffer.samples[static_cast<std::size_t>(i * buffer.channels)];
                stereo.push_back(s[0]);
                stereo.push_back(buffer.channels > 1 ? s[1] : s[0]);
            }
            samples = stereo;
        }
        writePackets(tr.encoder->encode(samples), tr.index);
        tr.written += frames - skip;
        ++audioWritten;
    }

    void padSilence(AudioTrack& tr, std::int64_t samples) {
        static const std::vector<float> silence(
            static_cast<std::size_t>(kAudioRate * kAudioChannels));
        while (samples > 0 && !failure) {
            const std::int64_t n = std::min<std::int64_t>(samples, kAudioRate);
            writePackets(tr.encoder->encode(std::span<const float>(silence).first(
                             static_cast<std::size_t>(n * kAudioChannels))),
                         tr.index);
            tr.written += n;
            samples -= n;
        }
    }

    // When the movie's name no longer leads to the file written (the file or the recordings
    // folder was deleted while recording), the folder is made again and the open file's content
    // copied to a new file under the movie's name (or, when that is taken, a free one beside it).
    Result<void> restoreIfRemoved() {
        struct stat held {
        }, named{};
        if (movieFd < 0 || ::fstat(movieFd, &held) != 0) return {};
        if (::stat(outputURL.c_str(), &named) == 0 && named.st_dev == held.st_dev &&
            named.st_ino == held.st_ino) {
            return {};
        }
        std::error_code ec;
        std::filesystem::create_directories(outputURL.parent_path(), ec);
        const std::filesystem::path stem = outputURL.parent_path() / outputURL.stem();
        int out = -1;
        std::filesystem::path target;
        for (int n = 1; n < 100 && out < 0; ++n) {
            target =
                n == 1 ? outputURL
                       : std::filesystem::path(stem.string() + " (" + std::to_string(n) + ").mp4");
            out =
                ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (out < 0 && errno != EEXIST) break;
        }
        if (out < 0) {
            return marlune::fail(
                "The recording's folder was removed and could not be made again: " +
                std::string(std::strerror(errno)));
        }
        off_t at = 0;
        bool copied = true;
        while (at < held.st_size && copied) {
            const ssize_t n = ::copy_file_range(movieFd, &at, out, nullptr,
                                                static_cast<std::size_t>(held.st_size - at), 0);
            copied = n > 0 || (n < 0 && errno == EINTR);
        }
        const bool synced = copied && ::fsync(out) == 0;
        ::close(out);
        if (!synced) {
            std::filesystem::remove(target, ec);
            return marlune::fail(
                "The recording's folder was removed and the recording could not be "
                "written again: " +
                std::string(std::strerror(errno)));
        }
        systemLog("Marlune: the recording's file had been removed; written again as " +
                  target.string());
        outputURL = target;
        return {};
    }

    // Ends the encoders and the file; then the live movie becomes an ordinary one. Runs on a
    // thread of its own (the queue stays free to deliver a time-out).
    Result<SavedInfo> finalize() {
        if (!lastVideoPTS) {
            // The first picture never made it into the file.
            muxer.reset();
            std::error_code ignored;
            std::filesystem::remove(outputURL, ignored);
            return std::unexpected(failure.value_or(Error{kWriterNeverStartedText}));
        }
        const double endSeconds =
            static_cast<double>(*lastVideoPTS - firstPTS) / kNs + 1.0 / std::max(1, fps);
        if (!failure) writePackets(video->finish(endSeconds), videoIndex);
        for (AudioTrack* tr : {&mic, &system}) {
            if (!tr->encoder || failure) continue;
            // Every sound track runs to the end of the picture.
            const auto end = static_cast<std::int64_t>(std::llround(endSeconds * kAudioRate));
            if (end > tr->written) padSilence(*tr, end - tr->written);
            if (!failure) writePackets(tr->encoder->finish(), tr->index);
        }
        auto closed = muxer->finish();
        if (!closed) fail(closed.error());
        muxer.reset();
        if (auto restored = restoreIfRemoved(); !restored) return std::unexpected(restored.error());
        // Even after a failure (a full disk), what was written is made an ordinary movie.
        auto finished = finishLiveMovie(outputURL);
        if (!finished && finished.error().code == ErrorCode::nothingKept) {
            // Cut short before its first part was complete (a nearly full disk): nothing in it
            // plays, so it is not left among the recordings. Where the trash refuses it, the next
            // launch's recovery sets it aside.
            (void)desktop::moveToTrash(outputURL);
            return std::unexpected(failure.value_or(finished.error()));
        }
        if (failure) return std::unexpected(*failure);
        if (!finished) return std::unexpected(finished.error());
        const double seconds = static_cast<double>(*lastVideoPTS - firstPTS) / kNs;
        return SavedInfo{outputURL, static_cast<int>(seconds * 1000.0)};
    }
};

AssetWriterCoordinator::AssetWriterCoordinator(WriterTuning tuning)
    : state_(std::make_shared<State>(std::move(tuning))) {}

AssetWriterCoordinator::~AssetWriterCoordinator() {
    state_->accepting = false;
    if (state_->claimedFd >= 0) ::close(std::exchange(state_->claimedFd, -1));
}

std::int64_t AssetWriterCoordinator::defaultBitRate(int width, int height, int fps) {
    const auto computed =
        static_cast<std::int64_t>(static_cast<double>(width) * height * fps * 0.18);
    return std::max<std::int64_t>(5'000'000, computed);
}

Result<void> AssetWriterCoordinator::prepare(const std::filesystem::path& path, int width,
                                             int height, int fps, bool mic, bool systemAudio,
                                             std::optional<std::int64_t> bitrateOverride) {
    State& s = *state_;
    const int claimed = std::exchange(s.claimedFd, -1);
    if (s.muxer || s.finishing || width <= 0 || height <= 0 || fps <= 0) {
        if (claimed >= 0) ::close(claimed);
        return fail(kWriterSetupFailedText);
    }
    s.outputURL = path;
    std::error_code ignored;
    if (claimed < 0) std::filesystem::remove(path, ignored);

    MovieMuxerOptions options;
    options.live = true;
    options.brand = std::string(kLiveMovieBrand);
    options.fd = claimed;
    auto muxer = MovieMuxer::create(path, MovieContainer::mp4, options);
    if (!muxer) return std::unexpected(muxer.error());
    auto cleanUp = [&] { std::filesystem::remove(path, ignored); };

    VideoEncoderOptions vo;
    vo.width = width;
    vo.height = height;
    vo.fps = fps;
    vo.bitRate = bitrateOverride.value_or(defaultBitRate(width, height, fps));
    vo.keyFrameInterval = fps;
    vo.keyFrameSeconds = 1.0;
    vo.preset = s.tuning.preset;
    vo.conversionThreads = 2;
    auto video = VideoEncoder::open(vo);
    if (!video) {
        systemLog("Marlune: video encoder refused: " + video.error().message);
        cleanUp();
        return fail(kWriterSetupFailedText);
    }
    auto videoIndex = muxer->addTrack(*video);
    if (!videoIndex) {
        cleanUp();
        return fail(kWriterSetupFailedText);
    }
    auto addAudio = [&](bool wanted, State::AudioTrack& tr, const char* name) {
        if (!wanted) return;
        auto encoder = AudioEncoder::open({kAudioRate, kAudioChannels, kAudioBitRate});
        auto index =
            encoder ? muxer->addTrack(*encoder) : Result<int>(std::unexpected(encoder.error()));
        if (!index) {
            // Recording goes on without this track.
            systemLog(std::string("Marlune: recording without the ") + name +
                      " track: " + index.error().message);
            return;
        }
        tr.encoder = std::move(*encoder);
        tr.index = *index;
    };
    addAudio(mic, s.mic, "microphone");
    addAudio(systemAudio, s.system, "system audio");
    auto begun = muxer->begin();
    if (!begun) {
        cleanUp();
        return fail(begun.error().message.empty() ? kWriterFailedText : begun.error().message);
    }
    s.fps = fps;
    s.video = std::move(*video);
    s.videoIndex = *videoIndex;
    s.muxer = std::move(*muxer);
    s.movieFd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    s.accepting = true;
    return {};
}

void AssetWriterCoordinator::setOnFailure(std::function<void(Error)> onFailure) {
    state_->onFailure = std::move(onFailure);
}

void AssetWriterCoordinator::useClaimedFile(int fd) {
    if (state_->claimedFd >= 0) ::close(state_->claimedFd);
    state_->claimedFd = fd;
}

void AssetWriterCoordinator::appendVideo(VideoFrame frame) {
    auto s = state_;
    // Before prepare or once finishing, nothing is taken (and nothing is counted).
    if (!s->accepting) return;
    if (s->pendingFrames.fetch_add(1) >= s->tuning.maxPendingFrames) {
        s->pendingFrames.fetch_sub(1);
        ++s->framesDropped;
        return;
    }
    s->queue->post([s, frame = std::move(frame)] {
        s->appendVideo(frame);
        s->pendingFrames.fetch_sub(1);
    });
}

namespace {

void postAudio(const std::shared_ptr<AssetWriterCoordinator::State>& s, Kind kind,
               AudioBuffer buffer);

}  // namespace

void AssetWriterCoordinator::appendMic(AudioBuffer buffer) {
    postAudio(state_, Kind::mic, std::move(buffer));
}

void AssetWriterCoordinator::appendSystemAudio(AudioBuffer buffer) {
    postAudio(state_, Kind::system, std::move(buffer));
}

namespace {

void postAudio(const std::shared_ptr<AssetWriterCoordinator::State>& s, Kind kind,
               AudioBuffer buffer) {
    if (!s->accepting) return;
    if (s->pendingAudio.fetch_add(1) >= kMaxPendingAudio) {
        s->pendingAudio.fetch_sub(1);
        ++s->audioDropped;
        return;
    }
    s->queue->post([s, kind, buffer = std::move(buffer)] {
        s->appendAudio(kind, buffer);
        s->pendingAudio.fetch_sub(1);
    });
}

}  // namespace

void AssetWriterCoordinator::pause() {
    auto s = state_;
    const HostTime now = s->tuning.clock();
    s->queue->post([s, now] {
        if (!s->pauseBegan) s->pauseBegan = now;
    });
}

void AssetWriterCoordinator::resume() {
    auto s = state_;
    const HostTime now = s->tuning.clock();
    s->queue->post([s, now] {
        if (!s->pauseBegan) return;
        if (now > *s->pauseBegan) s->pauses.push_back({*s->pauseBegan, now});
        s->pauseBegan.reset();
    });
}

std::optional<double> AssetWriterCoordinator::firstVideoPTSSeconds() const {
    if (!state_->hasFirst) return std::nullopt;
    return hostTimeSeconds(state_->firstPTSAtomic);
}

WriterCounters AssetWriterCoordinator::counters() const {
    const State& s = *state_;
    return {s.framesWritten, s.framesDropped, s.framesPaused, s.audioWritten, s.audioDropped};
}

void AssetWriterCoordinator::finish(std::function<void(Result<SavedInfo>)> completion) {
    auto s = state_;
    s->accepting = false;
    s->queue->post([s, completion = std::move(completion)]() mutable {
        if (!s->muxer || s->finishing) {
            completion(std::unexpected(Error{kWriterNeverStartedText}));
            return;
        }
        s->finishing = true;
        if (!s->sessionStarted) {
            // Nothing was recorded: the file goes.
            s->muxer.reset();
            std::error_code ignored;
            std::filesystem::remove(s->outputURL, ignored);
            completion(std::unexpected(Error{kWriterNeverStartedText}));
            return;
        }
        // One delivery, on the queue, whichever comes first: the result or the time-out.
        auto once = std::make_shared<std::function<void(Result<SavedInfo>)>>(std::move(completion));
        auto deliver = [s, once](Result<SavedInfo> result) {
            if (s->didComplete) return;
            s->didComplete = true;
            (*once)(std::move(result));
        };
        // The writer's error as it stands when the time is up, not as it stood now.
        auto watchdog = s->queue->after(s->tuning.finishTimeout, [s, deliver] {
            std::optional<Error> known;
            {
                std::lock_guard lock(s->failureLock);
                known = s->failure;
            }
            deliver(std::unexpected(known.value_or(Error{kWriterFailedText})));
        });
        // A thread of its own, not the writer's queue or the shared pool: finishing may hang in
        // the disk, and then only this thread waits while the watchdog answers on the queue.
        std::thread([s, deliver, watchdog]() mutable {
            auto result = s->finalize();
            s->queue->post([deliver, watchdog, result = std::move(result)]() mutable {
                watchdog.cancel();
                deliver(std::move(result));
            });
        }).detach();
    });
}

}  // namespace marlune
