#include "render/preview_renderer.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <vector>

#include "core/queue.h"
#include "library/edit_document.h"
#include "library/recordings_library.h"
#include "platform/image/image_codecs.h"
#include "platform/media/media_file.h"
#include "platform/media/video_decoder.h"
#include "render/compose/frame_composer.h"
#include "render/edited_time.h"
#include "render/export/export_renderer.h"
#include "render/export/webcam_feed.h"
#include "render/motion_sim.h"
#include "render/output_shape.h"
#include "render/picture_timeline.h"
#include "render/resample.h"
#include "render/time_map.h"
#include "render/warm_movie.h"

namespace marlune {

namespace fs = std::filesystem;

const Error PreviewRenderer::supersededError{"Superseded by a newer preview.",
                                             ErrorCode::superseded};

namespace {

// Movie times are rationals turned into doubles: pictures this close are the same picture.
constexpr double kEdgeSeconds = 1e-6;
// Decoded pictures kept for scrubbing back and forth: a second of 1080p at 30 frames a second
// (a picture is about 3 MB in the decoder's own form).
constexpr std::size_t kKeptPictureBytes = std::size_t{128} << 20;
// Webcam pictures kept, at the small size they are decoded at (a few hundred KB each).
constexpr std::size_t kKeptWebcamBytes = std::size_t{32} << 20;
// Decoding threads of the source: a seek decodes up to a second of pictures, which two threads
// get through faster than one. Conversion bands to BGRA likewise.
constexpr int kDecoderThreads = 2;
constexpr int kConversionThreads = 2;
// Picture sizes a preview may ask for.
constexpr double kMaxPreviewWidth = 16384;

// What tells one version of a file from another.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modifiedNs = 0;

    bool operator==(const FileStamp&) const = default;
};

std::optional<FileStamp> stampOf(const fs::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileStamp{st.st_dev, st.st_ino, st.st_size,
                     std::int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec};
}

Error readingError(const Error& error) {
    return Error{error.message.empty() ? "Reading the source failed." : error.message};
}

// The recording being previewed.
struct SourceMovie {
    fs::path path;
    FileStamp stamp;
    TrackInfo track;
    double videoEndSeconds = 0;  // where its last picture stops showing
    std::optional<WarmMovie<VideoPicture>> movie;

    static Result<std::unique_ptr<SourceMovie>> open(const fs::path& path, FileStamp stamp) {
        auto file = MediaFile::open(path);
        if (!file) return fail("The file has no video track.");
        auto video = file->tracks(TrackKind::video);
        if (video.empty()) return fail("The file has no video track.");
        auto source = std::make_unique<SourceMovie>();
        source->path = path;
        source->stamp = stamp;
        source->track = video.front();
        source->videoEndSeconds =
            source->track.durationSeconds.value_or(file->durationSeconds().value_or(0));
        auto movie = WarmMovie<VideoPicture>::open(path, source->track.index,
                                                   {.threads = kDecoderThreads}, kKeptPictureBytes);
        if (!movie) return fail("Could not read the video track.");
        source->movie = std::move(*movie);
        return source;
    }
};

// The prepared layers of one look of the edit, with the webcam movie they read.
struct Layers {
    std::int64_t startMs = 0;  // the range they were made for
    std::int64_t endMs = 0;
    std::optional<CursorFX> cursor;  // as the request said it (the composer's is retimed)
    // As the request said them (the composer may add a frame for a shape).
    OutputShape shape = OutputShape::original;
    std::optional<FrameSettings> frame;
    std::optional<KeystrokeFX> keys;  // as the request said it
    std::vector<TimeStretch> cuts, speeds;
    std::optional<WarmMovie<DecodedFrame>> webcamMovie;
    // The webcam picture the composer takes next: the one on screen at the time being composed,
    // handed over once (the composer then holds it as the movie's last).
    std::optional<DecodedFrame> webcamNext;
    std::unique_ptr<FrameComposer> composer;

    bool matches(const ExportRequest& r, PixelSize out,
                 const std::optional<fs::path>& webRoot) const {
        const CompositionInputs& in = composer->inputs();
        return shape == r.shape && frame == r.frame && cursor == r.cursor &&
               in.webcam == r.webcam && keys == r.keys && cuts == r.cuts && speeds == r.speeds &&
               startMs == r.startMs && endMs == r.endMs && in.outWidth == out.width &&
               in.outHeight == out.height && in.webRoot == webRoot;
    }
};

// The motion of one edit, ticked through the export's pictures as far as previews have asked.
struct MotionTrack {
    // What it was made from, as the request said it (the simulator may keep its own form).
    std::vector<ZoomSegment> zooms;
    std::optional<CursorFX> cursor;
    std::int64_t startMs = 0;
    std::int64_t endMs = 0;
    std::vector<TimeStretch> cuts, speeds;
    MotionSim sim;
    std::vector<double> ticked;  // picture times ticked, in order
    std::vector<MotionSim::Out> outs;

    MotionTrack(const ExportRequest& r, int width, int height)
        : zooms(r.zooms),
          cursor(r.cursor),
          startMs(r.startMs),
          endMs(r.endMs),
          cuts(r.cuts),
          speeds(r.speeds),
          sim(editedZooms(r.zooms, requestTimeMap(r, r.startMs, r.endMs)),
              editedCursor(r.cursor, requestTimeMap(r, r.startMs, r.endMs)), width, height) {}

    bool matches(const ExportRequest& r) const {
        return zooms == r.zooms && cursor == r.cursor && startMs == r.startMs && endMs == r.endMs &&
               cuts == r.cuts && speeds == r.speeds;
    }
};

}  // namespace

struct PreviewRenderer::Request {
    Json payload;
    std::optional<fs::path> webRoot;
    Completion completion;
    std::uint64_t serial = 0;
};

struct PreviewRenderer::State : std::enable_shared_from_this<State> {
    const std::chrono::milliseconds idleRelease;
    Queue* queue = nullptr;  // the renderer's; alive while any of its work runs

    std::mutex lock;
    std::optional<Request> pending;  // guarded by lock
    bool scheduled = false;          // a drain is posted; guarded
    std::uint64_t latest = 0;        // serial of the newest request; guarded
    bool closed = false;             // guarded

    // The preview queue's only.
    std::unique_ptr<SourceMovie> source;
    std::unique_ptr<Layers> layers;
    std::unique_ptr<MotionTrack> motion;
    PictureConverter converter{kConversionThreads};
    BgraImage picture;
    BgraImage canvas;
    FrameScaler scaler;  // to the width asked for
    TimerHandle idle;

    explicit State(std::chrono::milliseconds idle) : idleRelease(idle) {}

    void drain();
    Result<PreviewImage> make(const Request& request, const std::function<bool()>& stale);
    Result<void> openSource(const fs::path& path);
    void prepareLayers(const ExportRequest& request, PixelSize out,
                       const std::optional<fs::path>& webRoot);
    void showWebcamAt(double srcMs, const std::function<bool()>& stale);
    const MotionSim::Out& motionAt(const ExportRequest& request,
                                   const std::vector<RangePicture>& pictures, std::size_t index);
    void release() {
        source.reset();
        layers.reset();
        motion.reset();
        picture = {};
        canvas = {};
    }
};

void PreviewRenderer::State::drain() {
    MARLUNE_ASSERT_ON(queue);
    std::optional<Request> request;
    {
        std::lock_guard guard(lock);
        scheduled = false;
        request.swap(pending);
    }
    if (!request) return;
    const std::uint64_t serial = request->serial;
    auto stale = [this, serial] {
        std::lock_guard guard(lock);
        return closed || latest != serial;
    };
    Result<PreviewImage> result = std::unexpected(supersededError);
    if (!stale()) result = make(*request, stale);
    // An answer nobody waits for any more is no answer.
    if (!result && stale()) result = std::unexpected(supersededError);
    request->completion(std::move(result));

    idle.cancel();
    idle = queue->after(idleRelease, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->release();
    });
}

Result<void> PreviewRenderer::State::openSource(const fs::path& path) {
    auto stamp = stampOf(path);
    if (!stamp) {
        release();
        return fail("The file has no video track.");
    }
    if (source && source->path == path && source->stamp == *stamp) return {};
    // Another recording, or this one changed on disk: nothing kept applies any more.
    release();
    auto opened = SourceMovie::open(path, *stamp);
    if (!opened) return std::unexpected(opened.error());
    source = std::move(*opened);
    return {};
}

void PreviewRenderer::State::prepareLayers(const ExportRequest& request, PixelSize out,
                                           const std::optional<fs::path>& webRoot) {
    if (layers && layers->matches(request, out, webRoot)) return;
    layers.reset();
    auto made = std::make_unique<Layers>();
    made->startMs = request.startMs;
    made->endMs = request.endMs;
    made->cursor = request.cursor;
    made->shape = request.shape;
    made->frame = request.frame;
    made->keys = request.keys;
    made->cuts = request.cuts;
    made->speeds = request.speeds;

    const TrackInfo& track = source->track;
    CompositionInputs inputs = compositionInputs(request, track.width, track.height, out, webRoot);
    // The composer's own motion is never ticked here: the motion comes from the MotionTrack, so
    // the layers do not depend on the zooms.
    inputs.zooms.clear();
    if (auto webcam = request.webcam ? findWebcamMovie(*request.webcam, request.frame, track.width,
                                                       track.height)
                                     : std::nullopt) {
        auto movie = WarmMovie<DecodedFrame>::open(
            webcam->path, webcam->trackIndex,
            {.maxWidth = webcam->decodeWidth, .reduceToWidth = webcam->decodeWidth, .threads = 1},
            kKeptWebcamBytes);
        if (movie) made->webcamMovie = std::move(*movie);
    }
    if (made->webcamMovie) {
        inputs.webcamFrames = [next = &made->webcamNext] {
            std::optional<DecodedFrame> frame = std::move(*next);
            next->reset();
            return frame;
        };
    }
    made->composer = std::make_unique<FrameComposer>(std::move(inputs));
    layers = std::move(made);
}

void PreviewRenderer::State::showWebcamAt(double srcMs, const std::function<bool()>& stale) {
    if (!layers->webcamMovie) return;
    // The composer shows the webcam's last picture at or before this time (the first before
    // it), as the export does; it gets that picture alone, found wherever the movie is.
    const double tw = (srcMs - layers->composer->inputs().webcam->offsetMs) / 1000;
    auto frame = layers->webcamMovie->shownAt(tw, stale);
    layers->composer->restartWebcam();
    // A damaged webcam movie shows no picture, as an export drops it.
    layers->webcamNext = frame ? std::move(*frame) : std::nullopt;
}

const MotionSim::Out& PreviewRenderer::State::motionAt(const ExportRequest& request,
                                                       const std::vector<RangePicture>& pictures,
                                                       std::size_t index) {
    const TrackInfo& track = source->track;
    if (!motion || !motion->matches(request) ||
        (!motion->ticked.empty() &&
         (motion->ticked.size() > pictures.size() ||
          motion->ticked.back() != pictures[motion->ticked.size() - 1].ptsSeconds))) {
        motion = std::make_unique<MotionTrack>(request, track.width, track.height);
    }
    // The export ticks its simulator once per picture from the range's start: so does this, once
    // per picture not ticked yet.
    while (motion->outs.size() <= index) {
        const RangePicture& p = pictures[motion->outs.size()];
        const FrameComposer::Step step = layers->composer->timing(p.ptsSeconds);
        // A cut picture keeps the motion of the one before, as in the export.
        if (step.cut) {
            motion->outs.push_back(motion->outs.empty() ? MotionSim::Out{1, 0.5, 0.5, std::nullopt}
                                                        : motion->outs.back());
        } else {
            motion->outs.push_back(motion->sim.tick(step.editMs));
        }
        motion->ticked.push_back(p.ptsSeconds);
    }
    return motion->outs[index];
}

Result<PreviewImage> PreviewRenderer::State::make(const Request& r,
                                                  const std::function<bool()>& stale) {
    auto request = ExportRequest::fromPayload(r.payload);
    if (!request) return std::unexpected(request.error());
    auto tMs = readNumber(r.payload, "tMs");
    if (!tMs || !std::isfinite(*tMs)) return fail("Missing export parameters");
    const double maxWidth =
        std::clamp(readNumber(r.payload, "maxWidth").value_or(0), 0.0, kMaxPreviewWidth);

    // The export's own checks, in its order.
    auto location = RecordingsLibrary::safeLocation(request->name);
    if (!location) return fail("Invalid file name.");
    if (request->startMs >= request->endMs) return fail("Export range is empty.");
    // Only a regular file inside the recordings folder is read, as the export does.
    if (!location->open()) return fail("The file has no video track.");
    if (auto opened = openSource(location->full()); !opened) {
        return std::unexpected(opened.error());
    }
    if (requestTimeMap(*request, request->startMs, request->endMs).totalOutMs() <= 40) {
        return fail("The cuts remove the entire clip.");
    }

    const double startSeconds = request->startMs / 1000.0;
    const double endSeconds = request->endMs / 1000.0;
    const double t = std::clamp(*tMs, double(request->startMs), double(request->endMs)) / 1000;
    PictureTimeline& timeline = source->movie->timeline();
    Result<void> reached = timeline.reach(t);
    // The pictures up to t, and at least the first one of the range.
    while (reached && !timeline.complete() &&
           (timeline.times().empty() || timeline.times().back() < startSeconds)) {
        reached = timeline.reach(timeline.times().empty() ? t : timeline.times().back() + 1);
    }
    if (!reached && timeline.times().empty()) return std::unexpected(readingError(reached.error()));
    const std::vector<RangePicture> pictures =
        rangePictures(timeline.times(), startSeconds, endSeconds, source->videoEndSeconds);
    // A range past the end of the movie: the export would have nothing to write either.
    if (pictures.empty()) return fail("Export failed.");
    auto after = std::upper_bound(pictures.begin(), pictures.end(), t + kEdgeSeconds,
                                  [](double v, const RangePicture& p) { return v < p.ptsSeconds; });
    const std::size_t index =
        after == pictures.begin() ? 0 : static_cast<std::size_t>(after - pictures.begin()) - 1;

    const TrackInfo& track = source->track;
    const PixelSize out =
        shapedOutput(ExportRenderer::outputSize(track.width, track.height, request->targetHeight),
                     request->shape);
    prepareLayers(*request, out, r.webRoot);
    FrameComposer& composer = *layers->composer;
    const FrameComposer::Step step = composer.withMotion(
        composer.timing(pictures[index].ptsSeconds), motionAt(*request, pictures, index));
    if (stale()) return std::unexpected(supersededError);

    auto decoded = source->movie->at(pictures[index].pictureSeconds, stale);
    if (!decoded) return std::unexpected(decoded.error());
    if (!*decoded) return std::unexpected(supersededError);
    if (auto converted = converter.toBgra(**decoded, picture); !converted) {
        return std::unexpected(readingError(converted.error()));
    }
    const BgraImage* shown = &picture;
    if (!step.passThrough) {
        showWebcamAt(step.srcMs, stale);
        composer.render(step, picture, canvas);
        shown = &canvas;
    }
    if (stale()) return std::unexpected(supersededError);

    // As wide as asked, never wider than the export's pictures.
    const int width = maxWidth >= 1 ? std::min(static_cast<int>(maxWidth), out.width) : out.width;
    auto size = fittedSize(shown->width, shown->height, width);
    // Halvings and one bilinear pass: about a tenth of the general scaler's time, which at some
    // 15 ms for a 1080p picture was most of a played picture's cost.
    if (size) shown = &scaler.fitted(*shown, *size);
    auto url = jpegDataURL(*shown, width, PreviewRenderer::kJpegQuality, JpegChroma::full);
    if (!size || !url) return fail("Could not encode the picture.");
    return PreviewImage{std::move(*url), size->width, size->height, step.srcMs};
}

PreviewRenderer::PreviewRenderer(std::chrono::milliseconds idleRelease)
    : state_(std::make_shared<State>(idleRelease)), queue_(Queue::makeSerial(".render.preview")) {
    state_->queue = queue_.get();
}

PreviewRenderer::~PreviewRenderer() {
    std::optional<Request> waiting;
    {
        std::lock_guard guard(state_->lock);
        state_->closed = true;
        waiting.swap(state_->pending);
    }
    if (waiting) waiting->completion(std::unexpected(supersededError));
    // Work already posted finishes first (a request under way sees it is no longer wanted).
    queue_.reset();
}

void PreviewRenderer::preview(Json payload, std::optional<fs::path> webRoot,
                              Completion completion) {
    Completion superseded;
    bool post = false;
    {
        std::lock_guard guard(state_->lock);
        if (state_->closed) {
            superseded = std::move(completion);
        } else {
            if (state_->pending) superseded = std::move(state_->pending->completion);
            state_->pending = Request{std::move(payload), std::move(webRoot), std::move(completion),
                                      ++state_->latest};
            post = !state_->scheduled;
            state_->scheduled = true;
        }
    }
    if (superseded) superseded(std::unexpected(supersededError));
    if (post) queue_->post([state = state_] { state->drain(); });
}

}  // namespace marlune
