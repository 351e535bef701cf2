#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"
#include "library/edit_document.h"
#include "library/exported_movie.h"
#include "platform/image/bgra_image.h"

namespace marlune {

class ExportRegistry;

// Renders one recording with its edit into a new movie beside it: every picture of the export
// range goes through the frame composition, the audio tracks are mixed with their gains, and the
// result is written as H.264 High + AAC in MP4 (index at the front) named "<name> export.mp4"
// (" export 2.mp4", … when taken), or as the request's format: VP9 + Opus in WebM
// ("… export.webm"), or an animated GIF without sound ("… export.gif", see GifWriter). Cuts
// leave their pictures and sound out; a sped-up stretch keeps the pictures its output frames
// need and plays silent (render/edited_time.h has the clock the motion runs on). The range is first
// fitted to the recording (from 0 at the earliest to the movie's end at the latest). The movie's
// time 0 is the range's start; pictures keep their source times, and the audio of the same range
// lines up with them. The movie is written under a hidden temporary name and takes its name only
// once whole, never replacing a file.
//
// The work overlaps on every core: one thread decodes the source, the ".render.video" queue
// composes, converts and encodes (libx264 adds threads of its own), the ".render.audio" queue
// mixes and encodes the audio, kept close behind the pictures so that the file interleaves well.
// Bounded hand-overs between them keep memory flat whatever the length.
//
// The application object owns one renderer. Several exports may run at once; cancelExport()
// reaches the one started last, cancelExport(name) the ones named.
class ExportRenderer {
  public:
    // Progress as a fraction 0–0.98 in whole percentages, called only when the percentage
    // changes, on the export's video queue.
    using Progress = std::function<void(double fraction)>;
    // The new movie (its name relative to the recordings folder and the length of the range it
    // holds), or the error that ended the export. Called once, on the main thread.
    using Completion = std::function<void(Result<ExportedMovie> movie)>;

    // The error a cancelled export ends with: "Export cancelled." (ErrorCode::cancelled).
    static const Error cancelledError;
    // libx264's speed preset for every export (see the README's performance notes).
    static constexpr std::string_view kPreset = "superfast";

    ExportRenderer();
    // Cancels every export still running (their completions still come, with cancelledError)
    // and returns once none of them is left, their partial movies removed. Never from inside a
    // progress callback: that export would wait for itself.
    ~ExportRenderer();
    ExportRenderer(const ExportRenderer&) = delete;
    ExportRenderer& operator=(const ExportRenderer&) = delete;

    // Starts an export and returns at once; the preparation runs on the shared pool. `webRoot`
    // is the page's folder (wallpapers, live backgrounds, cursor packs); without it those
    // resources count as missing, which never fails an export. Fails (through `completion`)
    // with "Invalid file name.", "Export range is empty.", "The file has no video track.",
    // "The range lies outside the recording.", "The cuts remove the entire clip.", "Could not
    // read the video track.", "Could not configure the video writer.", "Writer failed to
    // start.", "Frame append failed.", "Audio append failed.", "Reading the source failed.",
    // "Export failed.", "Export cancelled." or the media library's own text; after any failure
    // no output file is left behind. Any thread.
    void render(ExportRequest request, std::optional<std::filesystem::path> webRoot,
                Progress progress, Completion completion);

    // Cancels the export started last, if it is still running (also while it is being
    // prepared); it then completes with cancelledError. Does nothing when none runs. Any thread.
    void cancelExport();
    // Cancels every running export of the recording `name`, or the one whose reply will carry
    // `name` (the name it means to take). Returns how many were cancelled. Any thread.
    int cancelExport(std::string_view name);

    // The rules that size and pace the output, exposed for their tests.

    // The output picture size for a W × H source: with 0 < targetHeight < H, the target height
    // made even (lowest bit cleared) and the width in proportion (rounded half away from zero,
    // then made even); otherwise the source size, odd sides included.
    static PixelSize outputSize(int width, int height, std::int64_t targetHeight);
    // Encoding frame rate: the source's nominal rate rounded half away from zero, at least 10.
    static int exportFps(double nominalFrameRate);
    // Average bit rate: 0.13 bit per pixel per frame, at least 4 Mbit/s.
    static std::int64_t bitRate(int outWidth, int outHeight, int fps);

  private:
    std::shared_ptr<ExportRegistry> registry_;
};

// The exports of one renderer not yet over: how to cancel each, the names each answers to, and
// which one was started last. Shared by the renderer and its export jobs; any thread.
class ExportRegistry {
  public:
    // An id for a new export.
    std::uint64_t newId() { return nextId_++; }
    // Registers export `id` of the recording `recording`, cancelled through `cancel`.
    void add(std::uint64_t id, std::function<void()> cancel, std::string recording);
    // The name export `id` means to take (relative to the recordings folder), once known.
    void noteOutputName(std::uint64_t id, std::string name);
    // Makes export `id` the one started last: cancelLatest() reaches it through `cancel`.
    void setLatest(std::uint64_t id, std::function<void()> cancel);
    // Forgets `cancel` of setLatest unless a newer export has set its own meanwhile.
    void clearLatest(std::uint64_t id);
    // Export `id` is over: its output is settled (completed, or removed).
    void ended(std::uint64_t id);

    void cancelLatest();
    // Cancels the exports of recording `name` or meaning to take `name`; how many.
    int cancelNamed(std::string_view name);
    // Cancels every export and waits until each of them has ended.
    void cancelAllAndWait();

  private:
    struct Running {
        std::function<void()> cancel;
        std::string recording;   // the request's recording name
        std::string outputName;  // the name it means to take, once known
    };

    std::mutex lock_;
    std::function<void()> latestCancel_;  // guarded by lock_
    std::uint64_t latestId_ = 0;          // the export latestCancel_ belongs to; guarded too
    std::atomic<std::uint64_t> nextId_{1};
    std::map<std::uint64_t, Running> running_;  // guarded by lock_
    std::condition_variable runningChanged_;
};

}  // namespace marlune
