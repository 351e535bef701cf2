#include "render/export/export_job.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "library/recordings_library.h"
#include "platform/media/video_decoder.h"
#include "render/edited_time.h"
#include "render/export/output_naming.h"
#include "render/output_shape.h"

namespace marlune {

namespace fs = std::filesystem;

namespace {

// How far the audio may run ahead of the pictures, in seconds: enough to keep both sides busy,
// little enough that the muxer interleaves without holding packets back.
constexpr double kAudioLead = 1.0;
// Mixed audio frames per read.
constexpr std::int64_t kAudioChunkFrames = 4096;
constexpr int kAudioRate = 48000;
constexpr int kAudioChannels = 2;
// Bands per BGRA → YUV conversion: one per core of the machines the export is tuned for.
constexpr int kConversionThreads = 2;

const char* extensionOf(ExportFormat format) {
    switch (format) {
        case ExportFormat::gif:
            return ".gif";
        case ExportFormat::webm:
            return ".webm";
        case ExportFormat::mp4:
            break;
    }
    return ".mp4";
}

// A failure's own text, or `fallback` when it has none.
Error withText(const Error& error, const char* fallback) {
    return Error{error.message.empty() ? fallback : error.message};
}

}  // namespace

ExportJob::ExportJob(std::shared_ptr<ExportRegistry> registry, ExportRequest request,
                     std::optional<fs::path> webRoot, ExportRenderer::Progress progress,
                     ExportRenderer::Completion completion)
    : registry_(std::move(registry)),
      id_(registry_->newId()),
      request_(std::move(request)),
      webRoot_(std::move(webRoot)),
      progress_(std::move(progress)),
      completion_(std::move(completion)),
      timeMap_(request_.startMs, request_.endMs) {}

ExportJob::~ExportJob() {
    registry_->ended(id_);
}

void ExportJob::cancel(const Error& error) {
    {
        std::lock_guard lock(errorLock_);
        if (!error_) error_ = error;
    }
    stopReading_ = true;
    reader_.cancel();
    std::lock_guard lock(paceLock_);
    paceChanged_.notify_all();
}

void ExportJob::setReaderError(const Error& error) {
    {
        std::lock_guard lock(errorLock_);
        if (readerError_) return;
        readerError_ = error;
    }
    // A failed reader delivers nothing more to either side.
    stopReading_ = true;
    reader_.cancel();
    std::lock_guard lock(paceLock_);
    paceChanged_.notify_all();
}

void ExportJob::complete(Result<ExportedMovie> result) {
    Queue::main().post(
        [completion = std::move(completion_), result = std::move(result)] { completion(result); });
}

void ExportJob::prepareAndStart() {
    // Installed at once, so that a cancel arriving while the export is prepared is not lost.
    registry_->setLatest(id_, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->cancel(ExportRenderer::cancelledError);
    });
    auto prepared = prepare();
    if (prepared) {
        std::lock_guard lock(errorLock_);
        if (error_) prepared = std::unexpected(*error_);  // cancelled while preparing
    }
    if (!prepared) {
        registry_->clearLatest(id_);
        muxer_.reset();
        gif_.reset();
        removeTemporary();
        complete(std::unexpected(prepared.error()));
        return;
    }
    start();
}

Result<void> ExportJob::prepare() {
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
    timeMap_ = requestTimeMap(request_, startMs_, endMs_);
    if (timeMap_.totalOutMs() <= 40) return fail("The cuts remove the entire clip.");
    startSeconds_ = startMs_ / 1000.0;
    endSeconds_ = endMs_ / 1000.0;

    width_ = track.width;
    height_ = track.height;
    out_ = shapedOutput(ExportRenderer::outputSize(width_, height_, request_.targetHeight),
                        request_.shape);
    fps_ = ExportRenderer::exportFps(track.frameRate);

    // Written beside the recording under a hidden name, and named only once it is whole: an
    // export in progress, or one cut short by a crash, never shows up as a recording.
    const fs::path relative(location->relative);
    outputFolderName_ = relative.parent_path().string();
    outputStem_ = relative.stem().string();
    auto folder = FolderFile::openDirectory(location->folder, outputFolderName_);
    if (!folder) return fail("Could not create the export: " + folder.error().message());
    outputFolder_ = std::move(*folder);
    auto temporary =
        createTemporary(*outputFolder_, kExportTemporaryPrefix, extensionOf(request_.format));
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

    if (request_.format == ExportFormat::gif) {
        // Never wider than the movie would be; the height follows the composition's canvas,
        // which runVideo scales to this size (halvings, then bilinear: FFmpeg's general scaler
        // took about 15 ms a 1080p picture).
        const PixelSize canvas = shapedCanvas({width_, height_}, request_.shape);
        gifSize_ = gifPictureSize(canvas, std::min(request_.gif.width, out_.width));
        auto gif = GifWriter::create(
            outputFolder_->procPath() + "/" + temporaryName_,
            {.width = gifSize_.width, .height = gifSize_.height, .fps = request_.gif.fps});
        if (!gif) return fail("Could not configure the video writer.");
        gif_ = std::move(*gif);
    } else {
        if (auto writer = openVideoEncoder(track); !writer) return writer;
        openAudio(*file);
    }

    // The pictures follow the fitted range, as the sound does: a range asked from before the
    // recording's start would otherwise delay every picture behind the sound.
    CompositionInputs inputs =
        compositionInputs(request_, width_, height_, out_, webRoot_, timeMap_);
    openWebcam(inputs);

    if (auto begun = muxer_ ? muxer_->begin() : Result<void>{}; !begun) {
        std::string message = begun.error().message;
        return fail(message.empty() ? "Writer failed to start." : message);
    }
    // Reading starts at the key frame before the range; the pictures before it are dropped.
    // A movie without an index just reads from its start.
    if (startMs_ > 0) (void)decoder_->seek(startSeconds_);

    // Pictures that are sure to need composing are turned into BGRA by the decoding thread, in
    // parallel with the composition of the one before. Otherwise (no styling, at most zooms)
    // most pictures pass through untouched and the few zoomed ones are converted on demand.
    convertWhileDecoding_ = gif_ || request_.frame ||
                            (request_.cursor && request_.cursor->render) || webcam_ ||
                            out_.width != width_ || request_.shape != OutputShape::original;
    composer_ = std::make_unique<FrameComposer>(std::move(inputs));
    return {};
}

// The muxer writing the temporary file, and the video encoder with its track.
Result<void> ExportJob::openVideoEncoder(const TrackInfo& track) {
    const bool webm = request_.format == ExportFormat::webm;
    auto muxer = MovieMuxer::create(outputFolder_->procPath() + "/" + temporaryName_,
                                    webm ? MovieContainer::webm : MovieContainer::mp4,
                                    {.indexAtFront = true});
    if (!muxer) return std::unexpected(muxer.error());
    muxer_ = std::move(*muxer);
    // The encoder's matrix is the source's, so that pictures passed through unchanged and
    // composed ones agree, and the tag tells players which it is.
    const ColourMatrix matrix =
        track.matrix.value_or(track.height >= 720 ? ColourMatrix::bt709 : ColourMatrix::bt601);
    auto encoder =
        VideoEncoder::open({.codec = webm ? VideoCodec::vp9 : VideoCodec::h264,
                            .width = out_.width,
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
    return {};
}

void ExportJob::openAudio(MediaFile& file) {
    auto audioTracks = file.tracks(TrackKind::audio);
    if (audioTracks.empty()) return;
    std::vector<AudioMixTrack> mixTracks;
    for (std::size_t i = 0; i < audioTracks.size(); ++i) {
        // The recorder writes the microphone first, then the system audio.
        mixTracks.push_back(
            {audioTracks[i].index, i == 0 ? request_.micGain : request_.systemGain});
    }
    // Whatever fails here, the export goes on without audio. With cuts or speeds the sound of
    // each kept stretch is read on its own (see runAudio()); this is the first one's.
    const TimeMap::Range& first = timeMap_.kept().front();
    const bool whole = !timeMap_.changesTime();
    auto mix =
        AudioMixReader::open(source_, mixTracks, whole ? startSeconds_ : first.srcStart / 1000,
                             whole ? endSeconds_ : first.srcEnd / 1000, kAudioRate, kAudioChannels);
    if (!mix) return;
    auto encoder = AudioEncoder::open({.sampleRate = kAudioRate,
                                       .channels = kAudioChannels,
                                       .bitRate = 192'000,
                                       .opus = request_.format == ExportFormat::webm});
    if (!encoder) return;
    auto track = muxer_->addTrack(*encoder);
    if (!track) return;
    mix_ = std::move(*mix);
    mixTracks_ = std::move(mixTracks);
    audioEncoder_ = std::move(*encoder);
    audioTrack_ = *track;
}

void ExportJob::openWebcam(CompositionInputs& inputs) {
    // Any failure drops the webcam.
    if (!request_.webcam) return;
    auto decoder = openWebcamMovie(*request_.webcam, request_.frame, width_, height_);
    if (!decoder) return;
    const double from = std::max(0.0, startSeconds_ - request_.webcam->offsetMs / 1000.0);
    webcam_ = std::make_shared<WebcamFeed>(std::move(*decoder), from);
    inputs.webcamFrames = [feed = webcam_] { return feed->next(); };
}

void ExportJob::start() {
    auto self = shared_from_this();
    sidesRunning_ = audioEncoder_ ? 2 : 1;
    reader_.start(std::move(*decoder_), {startSeconds_, endSeconds_, videoEndSeconds_},
                  convertWhileDecoding_,
                  [self](const Error& error) { self->setReaderError(error); });
    decoder_.reset();
    videoQueue_ = Queue::makeSerial(".render.video");
    videoQueue_->post([self] { self->runVideo(); });
    if (audioEncoder_) {
        audioQueue_ = Queue::makeSerial(".render.audio");
        audioQueue_->post([self] { self->runAudio(); });
    }
}

void ExportJob::reportProgress(double outMs) {
    const double total = timeMap_.totalOutMs();
    const double fraction = total > 0 ? outMs / total : 0;
    const int percent = fraction < 0 ? 0 : static_cast<int>(std::min(fraction, 0.98) * 100);
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    if (progress_) progress_(percent / 100.0);
}

Result<void> ExportJob::write(std::vector<Packet> packets, int track) {
    std::lock_guard lock(muxLock_);
    for (auto& packet : packets) {
        auto written = muxer_->write(std::move(packet), track, 0.0);
        if (!written) return written;
    }
    return {};
}

// The ".render.video" queue: composes and encodes every picture, then drains the encoder.
void ExportJob::runVideo() {
    MARLUNE_ASSERT_ON(videoQueue_);
    // The queue's own name is cut to "marlune.render." for both sides.
    pthread_setname_np(pthread_self(), "render.video");
    PictureConverter converter(kConversionThreads);
    BgraImage converted;  // pictures converted here, when the reading thread did not
    BgraImage canvas;
    FrameScaler gifScaler;  // a GIF's pictures to its size
    std::optional<Error> appendError;
    while (auto item = reader_.next()) {
        if (stopReading_) break;
        const FrameComposer::Step step = composer_->advance(item->timeSeconds);
        // A cut picture is left out; in a sped-up stretch pictures closer than most of a frame's
        // time to the one written before are too.
        // A GIF keeps only the pictures of its own rate.
        const int pace = gif_ ? request_.gif.fps : fps_;
        if (step.cut || ((gif_ || timeMap_.changesTime()) && picturesWritten_ > 0 &&
                         step.outMs < lastOutMs_ + 750.0 / pace)) {
            item->bgra.reset();
            continue;
        }
        lastOutMs_ = step.outMs;
        const double outSeconds = step.outMs / 1000.0;
        Result<std::vector<Packet>> packets;
        if (gif_) {
            const BgraImage* source = item->bgra.get();
            if (!step.passThrough && source && !source->empty()) {
                composer_->render(step, *source, canvas);
                source = &canvas;
            }
            if (source && !source->empty()) source = &gifScaler.fitted(*source, gifSize_);
            auto added = source && !source->empty() ? gif_->add(*source, outSeconds)
                                                    : Result<void>(fail("Frame append failed."));
            packets = added ? Result<std::vector<Packet>>(std::vector<Packet>{})
                            : std::unexpected(added.error());
        } else if (step.passThrough) {
            packets = videoEncoder_->encode(item->picture, outSeconds);
        } else {
            const BgraImage* source = item->bgra.get();
            if (!source || source->empty()) {
                if (auto done = converter.toBgra(item->picture, converted); !done) {
                    setReaderError(done.error());
                    break;
                }
                source = &converted;
            }
            composer_->render(step, *source, canvas);
            packets = videoEncoder_->encode(canvas, outSeconds);
        }
        item->bgra.reset();  // back to the reader for a later picture
        Result<void> written = !packets ? std::unexpected(packets.error())
                               : gif_   ? Result<void>{}
                                        : write(std::move(*packets), videoTrack_);
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
    if (!appendError && !stopReading_ && !gif_) {
        // The last picture lasts to the end of the range, where the sound ends too.
        auto rest = videoEncoder_->finish(timeMap_.totalOutMs() / 1000.0);
        Result<void> written =
            rest ? write(std::move(*rest), videoTrack_) : std::unexpected(rest.error());
        if (!written) appendError = written.error();
    }
    if (appendError) cancel(withText(*appendError, "Frame append failed."));
    // Nothing more is taken: a reader still waiting to hand over a picture stops.
    reader_.cancel();
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
void ExportJob::runAudio() {
    MARLUNE_ASSERT_ON(audioQueue_);
    pthread_setname_np(pthread_self(), "render.audio");
    std::vector<float> chunk(static_cast<std::size_t>(kAudioChunkFrames * kAudioChannels));
    double audioSeconds = 0;
    std::optional<Error> appendError;
    bool ended = false;
    const bool whole = !timeMap_.changesTime();
    while (!stopReading_) {
        {
            std::unique_lock lock(paceLock_);
            paceChanged_.wait(lock, [&] {
                return stopReading_ || videoDone_ || audioSeconds <= videoSeconds_ + kAudioLead;
            });
        }
        if (stopReading_) break;
        auto frames = whole ? mix_->read(chunk) : readKept(chunk);
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
    if (appendError) cancel(withText(*appendError, "Audio append failed."));
    sideFinished();
}

// The next sound of a movie with cuts or speeds: each kept stretch's own sound, exactly as long
// as the stretch lasts in the output (silence where the sound ended early), one after another.
// A sped-up stretch plays silent. Fills at most `chunk`; 0 once every stretch is done.
Result<std::int64_t> ExportJob::readKept(std::span<float> chunk) {
    const auto& kept = timeMap_.kept();
    while (keptIndex_ < kept.size()) {
        const TimeMap::Range& r = kept[keptIndex_];
        const double endMs = r.outStart + (r.srcEnd - r.srcStart) / r.rate;
        const auto limit = std::llround(endMs * kAudioRate / 1000) - keptFrames_;
        if (limit > 0) {
            const auto want = std::min<std::int64_t>(
                limit, static_cast<std::int64_t>(chunk.size()) / kAudioChannels);
            std::span<float> part = chunk.first(static_cast<std::size_t>(want * kAudioChannels));
            std::int64_t got = 0;
            if (r.rate == 1 && mix_) {
                auto read = mix_->read(part);
                if (!read) return read;
                got = *read;
            }
            if (got == 0) {
                std::fill(part.begin(), part.end(), 0.0f);
                got = want;
            }
            keptFrames_ += got;
            return got;
        }
        // On to the next stretch, with its own reader.
        mix_.reset();
        if (++keptIndex_ < kept.size() && kept[keptIndex_].rate == 1) {
            const TimeMap::Range& next = kept[keptIndex_];
            if (auto mix = AudioMixReader::open(source_, mixTracks_, next.srcStart / 1000,
                                                next.srcEnd / 1000, kAudioRate, kAudioChannels)) {
                mix_ = std::move(*mix);
            }
        }
    }
    return 0;
}

void ExportJob::sideFinished() {
    if (--sidesRunning_ > 0) return;
    // Not on either side's queue: finishing releases them.
    auto self = shared_from_this();
    ConcurrentQueue::userInitiated().post([self] { self->finish(); });
}

std::optional<Error> ExportJob::outcome() {
    std::optional<Error> error;
    {
        std::lock_guard lock(errorLock_);
        error = error_;
        if (!error && readerError_) error = withText(*readerError_, "Reading the source failed.");
    }
    // A range past the end of the movie holds no picture: an empty movie is no export.
    if (!error && picturesWritten_ == 0) error = Error{"Export failed."};
    if (!error && gif_) {
        auto finished = gif_->finish(timeMap_.totalOutMs() / 1000.0);
        if (!finished) error = withText(finished.error(), "Export failed.");
    } else if (!error) {
        auto finished = muxer_->finish();
        if (!finished) error = withText(finished.error(), "Export failed.");
    }
    return error;
}

void ExportJob::finish() {
    reader_.join();
    webcam_.reset();
    // Both sides have returned; this waits for their threads to wind down.
    videoQueue_.reset();
    audioQueue_.reset();
    registry_->clearLatest(id_);

    std::optional<Error> error = outcome();
    muxer_.reset();
    gif_.reset();
    std::string name;
    if (!error) {
        auto claimed = claimName(*outputFolder_, temporaryName_, [&](int n) {
            return exportName(outputStem_, n, extensionOf(request_.format));
        });
        if (claimed) {
            name = (fs::path(outputFolderName_) / *claimed).string();
        } else {
            error = Error{"Could not name the export: " + claimed.error().message,
                          claimed.error().code};
        }
    }
    if (error) {
        removeTemporary();
        complete(std::unexpected(*error));
        return;
    }
    temporaryName_.clear();
    complete(ExportedMovie{name, timeMap_.changesTime() ? static_cast<std::int64_t>(
                                                              std::llround(timeMap_.totalOutMs()))
                                                        : endMs_ - startMs_});
}

void ExportJob::removeTemporary() {
    if (outputFolder_ && !temporaryName_.empty()) {
        ::unlinkat(outputFolder_->fd(), temporaryName_.c_str(), 0);
    }
    temporaryName_.clear();
}

void ExportJob::noteIntendedName() {
    registry_->noteOutputName(
        id_, (fs::path(outputFolderName_) /
              intendedExportName(*outputFolder_, outputStem_, extensionOf(request_.format)))
                 .string());
}

}  // namespace marlune
