#include "render/export_renderer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "core/folder_file.h"
#include "core/queue.h"
#include "core/thread_priority.h"
#include "library/recordings_library.h"
#include "platform/media/audio_encoder.h"
#include "platform/media/audio_mix_reader.h"
#include "platform/media/media_file.h"
#include "platform/media/movie_muxer.h"
#include "platform/media/video_decoder.h"
#include "platform/media/video_encoder.h"
#include "render/composition.h"
#include "render/frame_composer.h"
#include "render/time_map.h"

namespace marlune {

namespace fs = std::filesystem;

const Error ExportRenderer::cancelledError{"Export cancelled."};

namespace {

// Pictures decoded ahead of the composition. Each holds a YUV picture and, for styled exports, its
// BGRA copy: 4 × 11 MB at 1080p.
constexpr std::size_t kDecodedAhead = 4;
// Webcam pictures decoded ahead.
constexpr std::size_t kWebcamAhead = 3;
// How far the audio may run ahead of the pictures, in seconds: enough to keep both sides busy,
// little enough that the muxer interleaves without holding packets back.
constexpr double kAudioLead = 1.0;
// Mixed audio frames per read.
constexpr std::int64_t kAudioChunkFrames = 4096;
constexpr int kAudioRate = 48000;
constexpr int kAudioChannels = 2;
// Source times are rationals turned into doubles; frames this close to a range edge are on it.
constexpr double kEdgeSeconds = 1e-6;
// Bands per BGRA → YUV conversion: one per core of the machines the export is tuned for.
constexpr int kConversionThreads = 2;

// A bounded hand-over between two threads. `end` lets the consumer drain what is left;
// `cancel` drops everything and wakes both sides for good.
template <class T>
class Channel {
  public:
    explicit Channel(std::size_t capacity) : capacity_(capacity) {}

    // False once cancelled (the item is dropped).
    bool push(T item) {
        std::unique_lock lock(mutex_);
        notFull_.wait(lock, [&] { return cancelled_ || items_.size() < capacity_; });
        if (cancelled_) return false;
        items_.push_back(std::move(item));
        notEmpty_.notify_one();
        return true;
    }

    // Nothing once ended and drained, or cancelled.
    std::optional<T> pop() {
        std::unique_lock lock(mutex_);
        notEmpty_.wait(lock, [&] { return cancelled_ || ended_ || !items_.empty(); });
        if (cancelled_ || items_.empty()) return std::nullopt;
        T item = std::move(items_.front());
        items_.pop_front();
        notFull_.notify_one();
        return item;
    }

    void end() {
        std::lock_guard lock(mutex_);
        ended_ = true;
        notEmpty_.notify_all();
    }

    void cancel() {
        std::deque<T> dropped;
        {
            std::lock_guard lock(mutex_);
            cancelled_ = true;
            dropped.swap(items_);
            notEmpty_.notify_all();
            notFull_.notify_all();
        }
    }

  private:
    std::mutex mutex_;
    std::condition_variable notEmpty_;
    std::condition_variable notFull_;
    std::deque<T> items_;
    std::size_t capacity_;
    bool ended_ = false;
    bool cancelled_ = false;
};

// One source picture on its way to the composition.
struct SourceItem {
    VideoPicture picture;
    double timeSeconds = 0;  // may differ from the picture's own (the picture shown at the start)
    BgraImage bgra;          // its BGRA copy when the decoding thread made one, else empty
};

// BGRA images handed back and forth between the decoding thread and the video queue, so that
// a long export allocates a handful of them, not one per frame.
class ImagePool {
  public:
    BgraImage take() {
        std::lock_guard lock(mutex_);
        if (free_.empty()) return {};
        BgraImage image = std::move(free_.back());
        free_.pop_back();
        return image;
    }
    void give(BgraImage image) {
        std::lock_guard lock(mutex_);
        free_.push_back(std::move(image));
    }

  private:
    std::mutex mutex_;
    std::vector<BgraImage> free_;
};

// The webcam movie decoded on a thread of its own, from the export's webcam start onwards.
class WebcamFeed {
  public:
    WebcamFeed(VideoDecoder decoder, double fromSeconds) : frames_(kWebcamAhead) {
        thread_ = std::thread([this, decoder = std::move(decoder), fromSeconds]() mutable {
            run(decoder, fromSeconds);
        });
    }
    ~WebcamFeed() {
        frames_.cancel();
        thread_.join();
    }

    // The next picture; nothing once the movie is over. Blocks while the next one is decoded.
    std::optional<DecodedFrame> next() { return frames_.pop(); }

  private:
    void run(VideoDecoder& decoder, double from) {
        pthread_setname_np(pthread_self(), "marlune.webcam");
        if (from > 0) (void)decoder.seek(from);
        // The picture on screen at `from` is the last one not later than it: hold each such
        // picture until the next one shows whether it is.
        std::optional<DecodedFrame> held;
        for (;;) {
            auto frame = decoder.next();
            if (!frame || !*frame) break;  // a damaged webcam movie just ends early
            if ((*frame)->timeSeconds <= from + kEdgeSeconds) {
                held = std::move(**frame);
                continue;
            }
            if (held && !frames_.push(std::move(*held))) return;
            held.reset();
            if (!frames_.push(std::move(**frame))) return;
        }
        if (held) frames_.push(std::move(*held));
        frames_.end();
    }

    Channel<DecodedFrame> frames_;
    std::thread thread_;
};

// "<stem> export.mp4", "<stem> export 2.mp4", …
std::string exportName(const std::string& stem, int n) {
    return stem + (n == 1 ? " export" : " export " + std::to_string(n)) + ".mp4";
}

}  // namespace

// What every export of one renderer shares: the cancel closure of the export started last, and
// those of every export not yet over, for the renderer's end.
struct ExportRenderer::Shared {
    // One export not yet over: how to cancel it, and the names it answers to.
    struct Running {
        std::function<void()> cancel;
        std::string recording;   // the request's recording name
        std::string outputName;  // the name it means to take, once known
    };

    std::mutex cancelLock;
    std::function<void()> activeCancel;  // guarded by cancelLock
    std::uint64_t activeId = 0;          // the export activeCancel belongs to; guarded too
    std::atomic<std::uint64_t> nextId{1};
    std::map<std::uint64_t, Running> running;  // guarded by cancelLock
    std::condition_variable runningChanged;

    void ended(std::uint64_t id) {
        std::lock_guard lock(cancelLock);
        running.erase(id);
        runningChanged.notify_all();
    }
};

namespace {

// One export, from preparation to completion. Shared by the threads that work on it; the last
// of them to let go destroys it (never a queue of its own: see finish()).
class Export : public std::enable_shared_from_this<Export> {
  public:
    Export(std::shared_ptr<ExportRenderer::Shared> shared, ExportRequest request,
           std::optional<fs::path> webRoot, ExportRenderer::Progress progress,
           ExportRenderer::Completion completion)
        : shared_(std::move(shared)),
          id_(shared_->nextId++),
          request_(std::move(request)),
          webRoot_(std::move(webRoot)),
          progress_(std::move(progress)),
          completion_(std::move(completion)),
          timeMap_(request_.startMs, request_.endMs) {}
    // Gone once its output is settled: completed, or removed.
    ~Export() { shared_->ended(id_); }

    std::uint64_t id() const { return id_; }
    const std::string& recordingName() const { return request_.name; }

    // Steps 1 to 16 of an export, on the shared pool; then the two sides start.
    void prepareAndStart();
    // Records `error` as the export's error unless one is recorded already, and stops reading.
    void cancel(const Error& error);

  private:
    Result<void> prepare();
    void openAudio(MediaFile& file);
    void openWebcam(CompositionInputs& inputs);
    void start();
    void decodeSource(VideoDecoder decoder);
    void runVideo();
    void runAudio();
    Result<void> write(std::vector<Packet> packets, int track);
    void reportProgress(double outMs);
    // Records the reader's failure (the first one) and stops reading.
    void setReaderError(const Error& error);
    void sideFinished();
    void finish();
    void complete(Result<ExportedMovie> result);
    void clearActiveCancel();
    void removeTemporary();
    void noteIntendedName();

    // Fixed once prepared.
    const std::shared_ptr<ExportRenderer::Shared> shared_;
    const std::uint64_t id_;
    const ExportRequest request_;
    const std::optional<fs::path> webRoot_;
    const ExportRenderer::Progress progress_;
    ExportRenderer::Completion completion_;   // moved out when called
    TimeMap timeMap_;                         // over the range fitted to the movie, once prepared
    std::optional<FolderFile> sourceFile_;    // the recording, held open for the whole export
    fs::path source_;                         // a path to it for the media library
    std::optional<FolderFile> outputFolder_;  // where the movie is written
    std::string temporaryName_;     // the hidden name it is written under; empty until created
    std::string outputStem_;        // "<recording without extension>", for the final name
    std::string outputFolderName_;  // the output's folder relative to the recordings folder
    std::int64_t startMs_ = 0;      // the range fitted to the movie
    std::int64_t endMs_ = 0;
    double startSeconds_ = 0;
    double endSeconds_ = 0;
    double videoEndSeconds_ = 0;  // where the source's last picture stops showing
    int width_ = 0;
    int height_ = 0;
    PixelSize out_;
    int fps_ = 0;
    bool convertWhileDecoding_ = false;

    std::optional<VideoDecoder> decoder_;  // until start() hands it to its thread
    std::optional<VideoEncoder> videoEncoder_;
    std::optional<AudioMixReader> mix_;
    std::optional<AudioEncoder> audioEncoder_;
    std::mutex muxLock_;  // the two sides write into one file
    std::optional<MovieMuxer> muxer_;
    int videoTrack_ = -1;
    int audioTrack_ = -1;
    std::unique_ptr<FrameComposer> composer_;  // the video queue's once started
    std::shared_ptr<WebcamFeed> webcam_;

    // The first error wins; the reader's failure is kept apart, as it only counts when nothing
    // else went wrong.
    std::mutex errorLock_;
    std::optional<Error> error_;
    std::optional<Error> readerError_;
    std::atomic<bool> stopReading_{false};

    Channel<SourceItem> decoded_{kDecodedAhead};
    ImagePool images_;
    std::thread decodeThread_;
    std::shared_ptr<Queue> videoQueue_;
    std::shared_ptr<Queue> audioQueue_;
    std::atomic<int> sidesRunning_{0};

    // Pacing of the audio behind the pictures.
    std::mutex paceLock_;
    std::condition_variable paceChanged_;
    double videoSeconds_ = 0;  // output time of the last picture written
    bool videoDone_ = false;

    // The video queue's, until its side is done.
    int lastPercent_ = -1;
    std::int64_t picturesWritten_ = 0;
};

void Export::cancel(const Error& error) {
    {
        std::lock_guard lock(errorLock_);
        if (!error_) error_ = error;
    }
    stopReading_ = true;
    decoded_.cancel();
    std::lock_guard lock(paceLock_);
    paceChanged_.notify_all();
}

void Export::setReaderError(const Error& error) {
    {
        std::lock_guard lock(errorLock_);
        if (readerError_) return;
        readerError_ = error;
    }
    // A failed reader delivers nothing more to either side.
    stopReading_ = true;
    decoded_.cancel();
    std::lock_guard lock(paceLock_);
    paceChanged_.notify_all();
}

void Export::clearActiveCancel() {
    std::lock_guard lock(shared_->cancelLock);
    // A newer export may have installed its own closure meanwhile: that one stays.
    if (shared_->activeId == id_) {
        shared_->activeCancel = nullptr;
        shared_->activeId = 0;
    }
}

void Export::complete(Result<ExportedMovie> result) {
    Queue::main().post(
        [completion = std::move(completion_), result = std::move(result)] { completion(result); });
}

void Export::prepareAndStart() {
    {
        // Installed at once, so that a cancel arriving while the export is prepared is not lost.
        std::weak_ptr<Export> weak = weak_from_this();
        std::lock_guard lock(shared_->cancelLock);
        shared_->activeCancel = [weak] {
            if (auto self = weak.lock()) self->cancel(ExportRenderer::cancelledError);
        };
        shared_->activeId = id_;
    }
    auto prepared = prepare();
    if (prepared) {
        std::lock_guard lock(errorLock_);
        if (error_) prepared = std::unexpected(*error_);  // cancelled while preparing
    }
    if (!prepared) {
        clearActiveCancel();
        muxer_.reset();
        removeTemporary();
        complete(std::unexpected(prepared.error()));
        return;
    }
    start();
}

Result<void> Export::prepare() {
    auto location = RecordingsLibrary::safeLocation(request_.name);
    if (!location) return fail("Invalid file name.");
    if (request_.startMs >= request_.endMs) return fail("Export range is empty.");

    // Held open for the whole export: the file read is this one, a regular file inside the
    // recordings folder, whatever happens to its name meanwhile.
    auto opened = location->open();
    if (!opened) return fail("The file has no video track.");
    sourceFile_ = std::move(*opened);
    source_ = sourceFile_->procPath();
    auto file = MediaFile::open(source_);
    if (!file) return fail("The file has no video track.");
    auto videoTracks = file->tracks(TrackKind::video);
    if (videoTracks.empty()) return fail("The file has no video track.");
    const TrackInfo track = videoTracks.front();
    videoEndSeconds_ = track.durationSeconds.value_or(file->durationSeconds().value_or(0));

    // The range, fitted to the movie: time before its start or after its end holds nothing to
    // show, and would be encoded as a still picture and silence for as long as it lasts.
    startMs_ = std::max<std::int64_t>(request_.startMs, 0);
    endMs_ = request_.endMs;
    if (auto duration = file->durationSeconds().or_else([&] { return track.durationSeconds; })) {
        const double lastMs = std::ceil(*duration * 1000.0);
        if (lastMs < double(endMs_)) endMs_ = static_cast<std::int64_t>(lastMs);
    }
    if (startMs_ >= endMs_) return fail("The range lies outside the recording.");
    timeMap_ = TimeMap(startMs_, endMs_);
    if (timeMap_.totalOutMs() <= 40) return fail("The cuts remove the entire clip.");
    startSeconds_ = startMs_ / 1000.0;
    endSeconds_ = endMs_ / 1000.0;

    width_ = track.width;
    height_ = track.height;
    out_ = ExportRenderer::outputSize(width_, height_, request_.targetHeight);
    fps_ = ExportRenderer::exportFps(track.frameRate);

    // Written beside the recording under a hidden name, and named only once it is whole: an
    // export in progress, or one cut short by a crash, never shows up as a recording.
    const fs::path relative(location->relative);
    outputFolderName_ = relative.parent_path().string();
    outputStem_ = relative.stem().string();
    auto folder = FolderFile::openDirectory(location->folder, outputFolderName_);
    if (!folder) return fail("Could not create the export: " + folder.error().message());
    outputFolder_ = std::move(*folder);
    auto temporary = createTemporary(*outputFolder_, kExportTemporaryPrefix, ".mp4");
    if (!temporary) return fail("Could not create the export: " + temporary.error().message);
    ::close(temporary->fd);
    temporaryName_ = temporary->name;
    noteIntendedName();

    auto decoderFile = MediaFile::open(source_);
    if (!decoderFile) return fail("Could not read the video track.");
    // One decoding thread keeps well ahead of the encoder; more would only take turns with it.
    auto decoder = VideoDecoder::open(std::move(*decoderFile), track.index, {.threads = 1});
    if (!decoder) return fail("Could not read the video track.");
    decoder_ = std::move(*decoder);

    auto muxer = MovieMuxer::create(outputFolder_->procPath() + "/" + temporaryName_,
                                    MovieContainer::mp4, {.indexAtFront = true});
    if (!muxer) return std::unexpected(muxer.error());
    muxer_ = std::move(*muxer);
    // The encoder's matrix is the source's, so that pictures passed through unchanged and
    // composed ones agree, and the tag tells players which it is.
    const ColourMatrix matrix =
        track.matrix.value_or(track.height >= 720 ? ColourMatrix::bt709 : ColourMatrix::bt601);
    auto encoder =
        VideoEncoder::open({.width = out_.width,
                            .height = out_.height,
                            .fps = fps_,
                            .bitRate = ExportRenderer::bitRate(out_.width, out_.height, fps_),
                            .keyFrameInterval = 2 * fps_,
                            .preset = std::string(ExportRenderer::kPreset),
                            .matrix = matrix,
                            .conversionThreads = kConversionThreads});
    if (!encoder) return fail("Could not configure the video writer.");
    videoEncoder_ = std::move(*encoder);
    auto videoTrack = muxer_->addTrack(*videoEncoder_);
    if (!videoTrack) return fail("Could not configure the video writer.");
    videoTrack_ = *videoTrack;

    openAudio(*file);

    CompositionInputs inputs = compositionInputs(request_, width_, height_, out_, webRoot_);
    openWebcam(inputs);

    if (auto begun = muxer_->begin(); !begun) {
        std::string message = begun.error().message;
        return fail(message.empty() ? "Writer failed to start." : message);
    }
    // Reading starts at the key frame before the range; the pictures before it are dropped.
    // A movie without an index just reads from its start.
    if (startMs_ > 0) (void)decoder_->seek(startSeconds_);

    // Pictures that are sure to need composing are turned into BGRA by the decoding thread, in
    // parallel with the composition of the one before. Otherwise (no styling, at most zooms)
    // most pictures pass through untouched and the few zoomed ones are converted on demand.
    convertWhileDecoding_ = request_.frame || (request_.cursor && request_.cursor->render) ||
                            webcam_ || out_.width != width_;
    composer_ = std::make_unique<FrameComposer>(std::move(inputs));
    return {};
}

void Export::openAudio(MediaFile& file) {
    auto audioTracks = file.tracks(TrackKind::audio);
    if (audioTracks.empty()) return;
    std::vector<AudioMixTrack> mixTracks;
    for (std::size_t i = 0; i < audioTracks.size(); ++i) {
        // The recorder writes the microphone first, then the system audio.
        mixTracks.push_back(
            {audioTracks[i].index, i == 0 ? request_.micGain : request_.systemGain});
    }
    // Whatever fails here, the export goes on without audio.
    auto mix = AudioMixReader::open(source_, std::move(mixTracks), startSeconds_, endSeconds_,
                                    kAudioRate, kAudioChannels);
    if (!mix) return;
    auto encoder = AudioEncoder::open(
        {.sampleRate = kAudioRate, .channels = kAudioChannels, .bitRate = 192'000});
    if (!encoder) return;
    auto track = muxer_->addTrack(*encoder);
    if (!track) return;
    mix_ = std::move(*mix);
    audioEncoder_ = std::move(*encoder);
    audioTrack_ = *track;
}

void Export::openWebcam(CompositionInputs& inputs) {
    // Any failure drops the webcam.
    if (!request_.webcam) return;
    auto decoder = openWebcamMovie(*request_.webcam, request_.frame, width_, height_);
    if (!decoder) return;
    const double from = std::max(0.0, startSeconds_ - request_.webcam->offsetMs / 1000.0);
    webcam_ = std::make_shared<WebcamFeed>(std::move(*decoder), from);
    inputs.webcamFrames = [feed = webcam_] { return feed->next(); };
}

void Export::start() {
    auto self = shared_from_this();
    sidesRunning_ = audioEncoder_ ? 2 : 1;
    decodeThread_ = std::thread([self, decoder = std::move(*decoder_)]() mutable {
        self->decodeSource(std::move(decoder));
    });
    decoder_.reset();
    videoQueue_ = Queue::makeSerial(".render.video");
    videoQueue_->post([self] { self->runVideo(); });
    if (audioEncoder_) {
        audioQueue_ = Queue::makeSerial(".render.audio");
        audioQueue_->post([self] { self->runAudio(); });
    }
}

// The decoding thread: the source's pictures of the range, in presentation order, into
// `decoded_`.
void Export::decodeSource(VideoDecoder decoder) {
    pthread_setname_np(pthread_self(), "marlune.decode");
    PictureConverter converter;
    auto hand = [&](VideoPicture picture, double time) {
        SourceItem item{std::move(picture), time, {}};
        if (convertWhileDecoding_) {
            BgraImage image = images_.take();
            if (auto converted = converter.toBgra(item.picture, image); !converted) {
                setReaderError(converted.error());
                return false;
            }
            item.bgra = std::move(image);
        }
        return decoded_.push(std::move(item));
    };
    // The last picture before the range: it is on screen at the range's start when no picture
    // starts exactly there.
    std::optional<VideoPicture> before;
    bool started = false;
    bool pastTheEnd = false;  // a picture at or after the range's end was reached
    while (!stopReading_) {
        auto picture = decoder.nextPicture();
        if (!picture) {
            setReaderError(picture.error());
            break;
        }
        if (!*picture) break;
        const double t = (*picture)->timeSeconds();
        if (t < startSeconds_ - kEdgeSeconds) {
            before = std::move(**picture);
            continue;
        }
        if (t >= endSeconds_ - kEdgeSeconds) {
            pastTheEnd = true;
            break;
        }
        if (!started && before && t > startSeconds_ + kEdgeSeconds) {
            if (!hand(std::move(*before), startSeconds_)) break;
        }
        started = true;
        before.reset();
        if (!hand(std::move(**picture), t)) break;
    }
    // No picture starts inside the range (the screen stood still): the one before it shows all
    // through the range, unless the movie's pictures end before the range starts.
    if (!started && before && *before && !stopReading_ &&
        (pastTheEnd || startSeconds_ < videoEndSeconds_ - kEdgeSeconds)) {
        hand(std::move(*before), startSeconds_);
    }
    decoded_.end();
}

void Export::reportProgress(double outMs) {
    const double total = timeMap_.totalOutMs();
    const double fraction = total > 0 ? outMs / total : 0;
    const int percent = fraction < 0 ? 0 : static_cast<int>(std::min(fraction, 0.98) * 100);
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    if (progress_) progress_(percent / 100.0);
}

Result<void> Export::write(std::vector<Packet> packets, int track) {
    std::lock_guard lock(muxLock_);
    for (auto& packet : packets) {
        auto written = muxer_->write(std::move(packet), track, 0.0);
        if (!written) return written;
    }
    return {};
}

// The ".render.video" queue: composes and encodes every picture, then drains the encoder.
void Export::runVideo() {
    // The queue's own name is cut to "marlune.render." for both sides.
    pthread_setname_np(pthread_self(), "render.video");
    PictureConverter converter(kConversionThreads);
    BgraImage converted;  // pictures converted here, when the decoding thread did not
    BgraImage canvas;
    std::optional<Error> appendError;
    while (auto item = decoded_.pop()) {
        if (stopReading_) break;
        const FrameComposer::Step step = composer_->advance(item->timeSeconds);
        const double outSeconds = step.outMs / 1000.0;
        Result<std::vector<Packet>> packets;
        if (step.passThrough) {
            packets = videoEncoder_->encode(item->picture, outSeconds);
        } else {
            const BgraImage* source = &item->bgra;
            if (item->bgra.empty()) {
                if (auto done = converter.toBgra(item->picture, converted); !done) {
                    setReaderError(done.error());
                    break;
                }
                source = &converted;
            }
            composer_->render(step, *source, canvas);
            packets = videoEncoder_->encode(canvas, outSeconds);
        }
        if (!item->bgra.empty()) images_.give(std::move(item->bgra));
        Result<void> written =
            packets ? write(std::move(*packets), videoTrack_) : std::unexpected(packets.error());
        if (!written) {
            appendError = written.error();
            break;
        }
        ++picturesWritten_;
        reportProgress(step.outMs);
        {
            std::lock_guard lock(paceLock_);
            videoSeconds_ = outSeconds;
        }
        paceChanged_.notify_all();
    }
    if (!appendError && !stopReading_) {
        // The last picture lasts to the end of the range, where the sound ends too.
        auto rest = videoEncoder_->finish(timeMap_.totalOutMs() / 1000.0);
        Result<void> written =
            rest ? write(std::move(*rest), videoTrack_) : std::unexpected(rest.error());
        if (!written) appendError = written.error();
    }
    if (appendError) {
        cancel(Error{appendError->message.empty() ? "Frame append failed." : appendError->message});
    }
    // Nothing more is taken: a decoder still waiting to hand over a picture stops.
    decoded_.cancel();
    // Only the video queue touches the composer; it goes with the side.
    composer_.reset();
    {
        std::lock_guard lock(paceLock_);
        videoDone_ = true;
    }
    paceChanged_.notify_all();
    sideFinished();
}

// The ".render.audio" queue: mixes and encodes the audio of the range, a little ahead of the
// pictures, then drains the encoder.
void Export::runAudio() {
    pthread_setname_np(pthread_self(), "render.audio");
    std::vector<float> chunk(static_cast<std::size_t>(kAudioChunkFrames * kAudioChannels));
    double audioSeconds = 0;
    std::optional<Error> appendError;
    bool ended = false;
    while (!stopReading_) {
        {
            std::unique_lock lock(paceLock_);
            paceChanged_.wait(lock, [&] {
                return stopReading_ || videoDone_ || audioSeconds <= videoSeconds_ + kAudioLead;
            });
        }
        if (stopReading_) break;
        auto frames = mix_->read(chunk);
        if (!frames) {
            setReaderError(frames.error());
            break;
        }
        if (*frames == 0) {
            ended = true;
            break;
        }
        auto packets = audioEncoder_->encode(std::span<const float>(
            chunk.data(), static_cast<std::size_t>(*frames * kAudioChannels)));
        Result<void> written =
            packets ? write(std::move(*packets), audioTrack_) : std::unexpected(packets.error());
        if (!written) {
            appendError = written.error();
            break;
        }
        audioSeconds += double(*frames) / kAudioRate;
    }
    if (ended && !stopReading_) {
        auto rest = audioEncoder_->finish();
        Result<void> written =
            rest ? write(std::move(*rest), audioTrack_) : std::unexpected(rest.error());
        if (!written) appendError = written.error();
    }
    if (appendError) {
        cancel(Error{appendError->message.empty() ? "Audio append failed." : appendError->message});
    }
    sideFinished();
}

void Export::sideFinished() {
    if (--sidesRunning_ > 0) return;
    // Not on either side's queue: finishing releases them.
    auto self = shared_from_this();
    ConcurrentQueue::userInitiated().post([self] { self->finish(); });
}

void Export::finish() {
    decoded_.cancel();
    if (decodeThread_.joinable()) decodeThread_.join();
    webcam_.reset();
    // Both sides have returned; this waits for their threads to wind down.
    videoQueue_.reset();
    audioQueue_.reset();
    clearActiveCancel();

    std::optional<Error> error;
    {
        std::lock_guard lock(errorLock_);
        error = error_;
        if (!error && readerError_) {
            const std::string& message = readerError_->message;
            error = Error{message.empty() ? "Reading the source failed." : message};
        }
    }
    // A range past the end of the movie holds no picture: an empty movie is no export.
    if (!error && picturesWritten_ == 0) error = Error{"Export failed."};
    if (!error) {
        auto finished = muxer_->finish();
        if (!finished) {
            error = Error{finished.error().message.empty() ? "Export failed."
                                                           : finished.error().message};
        }
    }
    muxer_.reset();
    std::string name;
    if (!error) {
        auto claimed = claimName(*outputFolder_, temporaryName_,
                                 [&](int n) { return exportName(outputStem_, n); });
        if (claimed) {
            name = (fs::path(outputFolderName_) / *claimed).string();
        } else {
            error = Error{"Could not name the export: " + claimed.error().message};
        }
    }
    if (error) {
        removeTemporary();
        complete(std::unexpected(*error));
        return;
    }
    temporaryName_.clear();
    complete(ExportedMovie{name, endMs_ - startMs_});
}

void Export::removeTemporary() {
    if (outputFolder_ && !temporaryName_.empty()) {
        ::unlinkat(outputFolder_->fd(), temporaryName_.c_str(), 0);
    }
    temporaryName_.clear();
}

// The name the export would take if it finished now, so that a cancel can name it before the
// export has answered.
void Export::noteIntendedName() {
    std::string intended;
    for (int n = 1; n < 10000; ++n) {
        intended = exportName(outputStem_, n);
        if (::faccessat(outputFolder_->fd(), intended.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) != 0) {
            break;
        }
    }
    std::lock_guard lock(shared_->cancelLock);
    auto it = shared_->running.find(id_);
    if (it != shared_->running.end()) {
        it->second.outputName = (fs::path(outputFolderName_) / intended).string();
    }
}

}  // namespace

ExportRenderer::ExportRenderer() : shared_(std::make_shared<Shared>()) {}

ExportRenderer::~ExportRenderer() {
    // Nobody could cancel them any more, and the application may be about to exit: every export
    // still running is cancelled, and its partial movie removed before this returns.
    std::vector<std::function<void()>> cancels;
    {
        std::lock_guard lock(shared_->cancelLock);
        for (const auto& [id, running] : shared_->running) cancels.push_back(running.cancel);
    }
    for (const auto& cancel : cancels) cancel();
    std::unique_lock lock(shared_->cancelLock);
    shared_->runningChanged.wait(lock, [&] { return shared_->running.empty(); });
}

void ExportRenderer::render(ExportRequest request, std::optional<fs::path> webRoot,
                            Progress progress, Completion completion) {
    auto job = std::make_shared<Export>(shared_, std::move(request), std::move(webRoot),
                                        std::move(progress), std::move(completion));
    {
        std::lock_guard lock(shared_->cancelLock);
        shared_->running[job->id()] = {[weak = std::weak_ptr<Export>(job)] {
                                           if (auto self = weak.lock())
                                               self->cancel(ExportRenderer::cancelledError);
                                       },
                                       job->recordingName(),
                                       {}};
    }
    // Prepared on a thread of its own at background priority: every thread the export starts
    // from there (decoding, the webcam, composition, the encoder's) inherits it.
    std::thread([job] {
        pthread_setname_np(pthread_self(), "render.prepare");
        lowerThisThreadPriority();
        job->prepareAndStart();
    }).detach();
}

void ExportRenderer::cancelExport() {
    std::function<void()> cancel;
    {
        std::lock_guard lock(shared_->cancelLock);
        cancel = shared_->activeCancel;
    }
    if (cancel) cancel();
}

int ExportRenderer::cancelExport(std::string_view name) {
    std::vector<std::function<void()>> cancels;
    {
        std::lock_guard lock(shared_->cancelLock);
        for (const auto& [id, running] : shared_->running) {
            if (running.recording == name || running.outputName == name) {
                cancels.push_back(running.cancel);
            }
        }
    }
    for (const auto& cancel : cancels) cancel();
    return static_cast<int>(cancels.size());
}

PixelSize ExportRenderer::outputSize(int width, int height, std::int64_t targetHeight) {
    if (targetHeight <= 0 || targetHeight >= height || width <= 0 || height <= 0) {
        return {width, height};
    }
    const int outH = static_cast<int>(targetHeight) & ~1;
    const auto w = static_cast<int>(std::lround(double(outH) * width / height));
    return {w - w % 2, outH};
}

int ExportRenderer::exportFps(double nominalFrameRate) {
    if (!std::isfinite(nominalFrameRate)) return 10;
    // Far beyond any movie; keeps the conversion defined.
    const double rate = std::round(std::clamp(nominalFrameRate, 0.0, 1000.0));
    return std::max(10, static_cast<int>(rate));
}

std::int64_t ExportRenderer::bitRate(int outWidth, int outHeight, int fps) {
    const auto computed = static_cast<std::int64_t>(double(outWidth) * outHeight * fps * 0.13);
    return std::max<std::int64_t>(computed, 4'000'000);
}

}  // namespace marlune
