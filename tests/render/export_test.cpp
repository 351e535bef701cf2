// Exports (MP4, GIF, WebM, cuts, speed-ups) of ffmpeg-made movies, read back with ffprobe.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <mutex>

#include "core/queue.h"
#include "platform/media/audio_decoder.h"
#include "platform/media/media_file.h"
#include "platform/media/video_decoder.h"
#include "platform/media/webcam_proxy.h"
#include "recording/movie_probe.h"
#include "render/export/export_renderer.h"
#include "render/export/webcam_feed.h"
#include "render_support.h"
#include "support/main_loop.h"
#include "support/recordings_folder.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::ffmpegLine;

std::vector<std::string> filesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file()) names.push_back(e.path().lexically_relative(dir).string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

ExportRequest request(std::string name, std::int64_t startMs, std::int64_t endMs) {
    ExportRequest r;
    r.name = std::move(name);
    r.startMs = startMs;
    r.endMs = endMs;
    return r;
}

struct Outcome {
    Result<std::string> result = fail("(no completion)");  // the new movie's name
    std::int64_t durationMs = 0;
    std::vector<double> progress;
    int completions = 0;
};

// Runs one export to its end; `whileRunning` gets the renderer at the first progress report.
Outcome exportNow(ExportRequest r, std::function<void(ExportRenderer&)> whileRunning = {}) {
    ExportRenderer renderer;
    Outcome out;
    std::mutex lock;
    bool started = false;
    renderer.render(
        std::move(r), std::nullopt,
        [&](double value) {
            std::lock_guard guard(lock);
            out.progress.push_back(value);
        },
        [&](Result<ExportedMovie> made) {
            EXPECT_TRUE(isMainThread());
            if (made) {
                out.result = made->name;
                out.durationMs = made->durationMs;
            } else {
                out.result = std::unexpected(made.error());
            }
            ++out.completions;
        });
    test::runMainUntil(
        [&] {
            std::lock_guard guard(lock);
            if (whileRunning && !started && !out.progress.empty()) {
                started = true;
                whileRunning(renderer);
            }
            return out.completions > 0;
        },
        std::chrono::seconds(120));
    // A second completion would arrive right behind the first.
    test::runMainFor(std::chrono::milliseconds(50));
    return out;
}

// The first stream of `type` as ffprobe sees it (null: none); `count` fills "nb_read_frames".
Json probeStream(const fs::path& movie, const std::string& type, bool count = false) {
    auto out = test::toolOutput({"ffprobe", count ? "-count_frames" : "-hide_banner", "-v", "error",
                                 "-of", "json", "-show_entries",
                                 "stream=codec_type,codec_name,profile,width,height,sample_rate,"
                                 "channels,nb_frames,nb_read_frames,duration,start_time",
                                 movie.string()});
    for (const auto& s : Json::parse(out.value_or("{}")).value("streams", Json::array())) {
        if (s.value("codec_type", "") == type) return s;
    }
    return nullptr;
}

TEST(ExportRenderer, RefusalsLeaveNothingBehind) {
    const fs::path dir = test::freshRecordingsFolder();
    ASSERT_TRUE(test::makeMovie(dir / "Clip.mp4", 1.0));
    ASSERT_TRUE(
        ffmpegLine("-f lavfi -i sine=f=440:sample_rate=48000 -t 1 -c:a aac", dir / "Voice.mp4"));
    const auto before = filesIn(dir);
    struct Case {
        const char* name;
        std::int64_t startMs, endMs;
        const char* error;
    };
    const Case cases[] = {
        {"../Clip.mp4", 0, 500, "Invalid file name."},
        {"Clip.mp4", 500, 500, "Export range is empty."},
        {"Clip.mp4", 100, 140, "The cuts remove the entire clip."},
        {"Gone.mp4", 0, 500, "The file has no video track."},
        {"Voice.mp4", 0, 500, "The file has no video track."},
        // Past the end of the movie there is no picture to export.
        {"Clip.mp4", 5000, 6000, "The range lies outside the recording."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + std::string(" ") + std::to_string(c.startMs));
        Outcome out = exportNow(request(c.name, c.startMs, c.endMs));
        ASSERT_FALSE(out.result);
        EXPECT_EQ(out.result.error().message, c.error);
        EXPECT_EQ(out.completions, 1);
        EXPECT_EQ(filesIn(dir), before);
    }
}

TEST(ExportRenderer, NamesSizesTracksAndEncoderSettings) {
    const fs::path dir = test::freshRecordingsFolder();
    ASSERT_TRUE(test::makeMovie(dir / "Demo.mp4", 2.0));
    fs::create_directories(dir / "sub");
    ASSERT_TRUE(fs::copy_file(dir / "Demo.mp4", dir / "sub/Take.one.mp4"));
    const std::string x264 = " -c:v libx264 -preset ultrafast -pix_fmt ";
    // 7.2 frames a second: encoded as 10 (a key frame at least every 20 frames).
    ASSERT_TRUE(ffmpegLine("-f lavfi -i testsrc2=s=320x180:r=36/5 -t 2" + x264 + "yuv420p",
                           dir / "Slow.mp4"));
    // One picture a second, the last one shown until the end at 4 s.
    ASSERT_TRUE(ffmpegLine("-f lavfi -i testsrc2=s=320x180:r=1 -t 4" + x264 + "yuv420p",
                           dir / "Still.mp4"));
    ASSERT_TRUE(test::makeMovie(dir / "Wide.mp4", 0.2, 2880, 1800, false));
    // 4:2:0 H.264 has no odd sides; 4:4:4 does.
    ASSERT_TRUE(
        ffmpegLine("-f lavfi -i testsrc2=s=320x180:r=30,scale=321:181 -t 0.5" + x264 + "yuv444p",
                   dir / "Odd.mp4"));
    struct Case {
        const char* name;
        std::int64_t startMs, endMs, targetHeight;
        const char* output;
        bool audio;
        int frames, width, height;
        const char* keyint;
    };
    const Case cases[] = {
        {"Demo.mp4", 0, 2000, 0, "Demo export.mp4", true, 60, 320, 180, "keyint=60 "},
        {"Demo.mp4", 1000, 1041, 0, "Demo export 2.mp4", true, 2, 320, 180, "keyint=60 "},
        {"sub/Take.one.mp4", 0, 1000, 0, "sub/Take.one export.mp4", true, 30, 320, 180,
         "keyint=60 "},
        {"Slow.mp4", 0, 2000, 0, "Slow export.mp4", false, 14, 320, 180, "keyint=20 "},
        // A range in which no picture starts shows the picture on screen all through it.
        {"Still.mp4", 1200, 1800, 0, "Still export.mp4", false, 1, 320, 180, "keyint=20 "},
        {"Wide.mp4", 0, 200, 721, "Wide export.mp4", false, 6, 1152, 720, "keyint=60 "},
        {"Odd.mp4", 0, 200, 181, "Odd export.mp4", false, 6, 321, 181, "keyint=60 "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        ExportRequest r = request(c.name, c.startMs, c.endMs);
        r.targetHeight = c.targetHeight;
        Outcome out = exportNow(r);
        ASSERT_TRUE(out.result) << out.result.error().message;
        EXPECT_EQ(*out.result, c.output);
        const fs::path movie = dir / c.output;
        EXPECT_TRUE(test::decodesCleanly(movie));
        const double seconds = (c.endMs - c.startMs) / 1000.0;
        const Json video = probeStream(movie, "video");
        ASSERT_TRUE(video.is_object());
        EXPECT_EQ(video.value("profile", ""), "High");
        EXPECT_EQ(std::pair(video.value("width", 0), video.value("height", 0)),
                  std::pair(c.width, c.height));
        EXPECT_EQ(video.value("nb_frames", ""), std::to_string(c.frames));
        EXPECT_EQ(std::stod(video.value("start_time", "-1")), 0.0) << "starts at the range start";
        EXPECT_NEAR(std::stod(video.value("duration", "0")), seconds, 0.07);
        const Json audio = probeStream(movie, "audio");
        EXPECT_EQ(audio.is_object(), c.audio);
        if (c.audio) {
            EXPECT_EQ(audio.value("codec_name", ""), "aac");
            EXPECT_EQ(audio.value("sample_rate", ""), "48000");
            EXPECT_EQ(audio.value("channels", 0), 2);
            // Every sample of the range, the encoder's short last frame included.
            EXPECT_NEAR(std::stod(audio.value("duration", "0")), seconds, 1e-3);
        }
        const std::string settings = test::x264Settings(movie);
        EXPECT_NE(settings.find(c.keyint), std::string::npos) << settings;
        EXPECT_NE(settings.find(" bframes=0 "), std::string::npos) << settings;
        EXPECT_NE(settings.find(" bitrate=4000 "), std::string::npos) << "the floor: " << settings;
    }
}

// The loudest sample of the first audio track between two times.
float loudness(const fs::path& movie, double from, double to) {
    auto file = MediaFile::open(movie);
    auto audio = file ? file->tracks(TrackKind::audio) : std::vector<TrackInfo>{};
    if (audio.empty()) return -1;
    auto decoder =
        AudioDecoder::open(std::move(*file), audio.front().index,
                           {.sampleRate = 48000, .channels = 2, .format = SampleFormat::f32});
    float loudest = 0;
    while (auto b = decoder->next()) {
        if (!*b) break;
        auto samples = (*b)->f32();
        for (std::size_t i = 0; i < samples.size(); ++i) {
            double t = (*b)->startSeconds + double(i / 2) / 48000;
            if (t >= from && t < to) loudest = std::max(loudest, std::abs(samples[i]));
        }
    }
    return loudest;
}

TEST(ExportRenderer, AudioTracksGetTheirGains) {
    const fs::path dir = test::freshRecordingsFolder();
    const std::string video = "-f lavfi -i testsrc2=s=320x180:r=30 ";
    const std::string tone = "-f lavfi -i aevalsrc='0.4*sin(2*PI*440*t)':s=48000 ";
    // (At lower bit rates the AAC encoder's peaks stray too far from the tone's.)
    const std::string codecs =
        " -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -b:a 192k";
    // Microphone (0.4) then system audio (0.2), in phase: the mix's peak is the weighted sum.
    ASSERT_TRUE(ffmpegLine(video + tone + "-f lavfi -i aevalsrc='0.2*sin(2*PI*440*t)':s=48000" +
                               " -t 1 -map 0 -map 1 -map 2" + codecs,
                           dir / "Both.mp4"));
    // A recording with system audio only: its one track is the first, and takes the mic gain.
    ASSERT_TRUE(ffmpegLine(video + tone + "-t 1" + codecs, dir / "System.mp4"));
    struct Case {
        const char* name;
        double mic, system;
        float loudest;
    };
    const Case cases[] = {
        {"System.mp4", 0.5, 2.0, 0.2f},
        {"Both.mp4", 1.0, 0.0, 0.4f},
        {"Both.mp4", 0.5, 0.5, 0.3f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.name << " " << c.mic << " " << c.system);
        ExportRequest r = request(c.name, 0, 1000);
        r.micGain = c.mic;
        r.systemGain = c.system;
        Outcome out = exportNow(r);
        ASSERT_TRUE(out.result) << out.result.error().message;
        EXPECT_NEAR(loudness(dir / *out.result, 0.1, 0.9), c.loudest, 0.03);
    }
}

// When the bright picture is shown, and when the click sounds, in a movie.
std::pair<double, double> flashAndClick(const fs::path& movie) {
    double flash = -1, click = -1;
    auto decoder = VideoDecoder::open(*MediaFile::open(movie), 0, {.maxWidth = 32});
    while (auto f = decoder->next()) {
        if (!*f) break;
        if (((*f)->image.pixel(16, 8) & 0xFF) > 128) {
            flash = (*f)->timeSeconds;
            break;
        }
    }
    auto audioFile = MediaFile::open(movie);
    auto audio =
        AudioDecoder::open(std::move(*audioFile), audioFile->tracks(TrackKind::audio)[0].index,
                           {.sampleRate = 48000, .channels = 1, .format = SampleFormat::f32});
    while (click < 0) {
        auto b = audio->next();
        if (!b || !*b) break;
        auto samples = (*b)->f32();
        for (std::size_t i = 0; i < samples.size() && click < 0; ++i) {
            if (std::abs(samples[i]) > 0.2f) click = (*b)->startSeconds + double(i) / 48000;
        }
    }
    return {flash, click};
}

TEST(ExportRenderer, PicturesAndSoundStayTogether) {
    const fs::path dir = test::freshRecordingsFolder();
    // One white picture at 1.5 s and a click of sound at the same moment.
    const std::string flash =
        "-f lavfi -i color=c=black:s=320x180:r=30:d=3,drawbox=c=white:t=fill:enable='eq(n\\,45)' ";
    const std::string codecs = " -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 30 -c:a aac";
    ASSERT_TRUE(ffmpegLine(
        flash + "-f lavfi -i aevalsrc='if(between(t\\,1.5\\,1.52)\\,0.8*sin(2*PI*1000*t)\\,0)'" +
            ":s=48000:d=3" + codecs,
        dir / "Sync.mp4"));
    // The sound breaks off from 0.5 s to 1 s (dropped buffers): the click still sounds at 1.5 s.
    ASSERT_TRUE(ffmpegLine(
        flash + "-f lavfi -i aevalsrc='if(between(t\\,1\\,1.02)\\,0.8*sin(2*PI*1000*t)\\,0)'" +
            ":s=48000:d=2.5 -filter_complex [1:a]asetpts='if(gte(T\\,0.5)\\,PTS+24000\\,PTS)'[a]" +
            " -map 0:v -map [a]" + codecs,
        dir / "Gap.mp4"));
    for (const char* name : {"Sync.mp4", "Gap.mp4"}) {
        SCOPED_TRACE(name);
        auto [flash0, click0] = flashAndClick(dir / name);
        ASSERT_NEAR(flash0, 1.5, 1e-3);
        ASSERT_NEAR(click0, 1.5, 0.005);
        // A start between two pictures: the picture on screen then opens the export.
        for (std::int64_t startMs : {1010, 0}) {
            SCOPED_TRACE(startMs);
            Outcome out = exportNow(request(name, startMs, 2500));
            ASSERT_TRUE(out.result) << out.result.error().message;
            auto [flash, click] = flashAndClick(dir / *out.result);
            EXPECT_NEAR(flash, flash0 - startMs / 1000.0, 1e-3);
            EXPECT_NEAR(click, click0 - startMs / 1000.0, 0.005);
            EXPECT_LT(std::abs(flash - click), 1.0 / 30) << "within one frame";
        }
    }
}

TEST(ExportRenderer, CancellingEndsTheExportAndRemovesItsFile) {
    const fs::path dir = test::freshRecordingsFolder();
    ASSERT_TRUE(test::makeMovie(dir / "Long.mp4", 6.0, 640, 360));
    // With frame styling and a webcam movie: every stage is busy when the cancel comes.
    ASSERT_TRUE(test::makeMovie(dir / "Long.webcam.mp4", 6.0, 320, 240, false));
    ExportRequest r = request("Long.mp4", 0, 6000);
    r.frame = FrameSettings{.type = "color"};
    r.webcam = WebcamFX{.file = "Long.webcam.mp4"};
    const auto before = filesIn(dir);
    Outcome out = exportNow(r, [](ExportRenderer& renderer) { renderer.cancelExport(); });
    ASSERT_FALSE(out.result);
    EXPECT_EQ(out.result.error().message, "Export cancelled.");
    EXPECT_EQ(out.result.error().code, ErrorCode::cancelled);
    EXPECT_EQ(out.completions, 1);
    EXPECT_LT(out.progress.back(), 0.5) << "it stopped early";
    EXPECT_EQ(filesIn(dir), before);

    // A GIF has an encoder of its own: cancelled, it leaves nothing either.
    r.format = ExportFormat::gif;
    Outcome gif = exportNow(r, [](ExportRenderer& renderer) { renderer.cancelExport(); });
    ASSERT_FALSE(gif.result);
    EXPECT_EQ(gif.result.error().code, ErrorCode::cancelled);
    EXPECT_EQ(filesIn(dir), before);

    ExportRenderer idle;
    idle.cancelExport();  // nothing runs: nothing happens

    // A cancel after the export has finished reaches nothing either.
    ExportRenderer renderer;
    std::optional<Result<ExportedMovie>> first;
    renderer.render(request("Long.mp4", 0, 300), std::nullopt, nullptr,
                    [&](Result<ExportedMovie> made) { first = std::move(made); });
    ASSERT_TRUE(test::runMainUntil([&] { return first.has_value(); }, std::chrono::seconds(30)));
    ASSERT_TRUE(*first);
    renderer.cancelExport();
    EXPECT_TRUE(fs::exists(dir / (*first)->name));
}

TEST(ExportFormats, EachFormatPlaysAndCutsAndSpeedsShortenTheMovie) {
    const fs::path dir = test::freshRecordingsFolder();
    ASSERT_TRUE(test::makeMovie(dir / "Demo.mp4", 4.0));
    ASSERT_TRUE(test::makeMovie(dir / "Demo.webcam.mp4", 4.0, 320, 240, false));
    auto payload = [](const char* extra) {
        return Json::parse(std::string(R"({"name": "Demo.mp4", "startMs": 0, "endMs": 4000,
            "frame": {"type": "color", "hex": "#336699", "paddingPct": 8})") +
                           extra + "}");
    };
    struct Case {
        const char* extra;
        const char* output;
        const char* video;
        const char* audio;
        double seconds;  // the movie's length
        int minFrames, maxFrames;
        int width;
    };
    const Case cases[] = {
        {R"(, "format": "gif", "gif": {"fps": 10, "width": 200})", "Demo export.gif", "gif", "",
         4.0, 38, 41, 200},
        {R"(, "format": "webm")", "Demo export.webm", "vp9", "opus", 4.0, 118, 121, 320},
        // A cut second and two seconds at 2×: 4 - 1 - 1 = 2 seconds, pictures at most 30 a second.
        {R"(, "cuts": [{"startMs": 500, "endMs": 1500}], "speeds": [{"startMs": 2000,
            "endMs": 4000, "rate": 2}])",
         "Demo export.mp4", "h264", "aac", 2.0, 45, 61, 320},
        {R"(, "format": "gif", "speeds": [{"startMs": 0, "endMs": 4000, "rate": 8}])",
         "Demo export 2.gif", "gif", "", 0.5, 7, 9, 320},
        // A webcam movie outside the folder is left out; the export goes on without it.
        {R"(, "webcam": {"enabled": true, "file": "../x.webcam.mp4"})", "Demo export 2.mp4", "h264",
         "aac", 4.0, 118, 121, 320},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        auto request = ExportRequest::fromPayload(payload(c.extra));
        ASSERT_TRUE(request);
        Outcome out = exportNow(*request);
        ASSERT_TRUE(out.result) << out.result.error().message;
        EXPECT_EQ(*out.result, c.output);
        const fs::path movie = dir / c.output;
        const Json video = probeStream(movie, "video", true), audio = probeStream(movie, "audio");
        EXPECT_EQ(video.value("codec_name", ""), c.video);
        EXPECT_EQ(audio.is_object() ? audio.value("codec_name", "") : "", c.audio);
        EXPECT_EQ(video.value("width", 0), c.width);
        EXPECT_NEAR(test::probeDuration(movie).value_or(0), c.seconds, 0.12);
        const int frames = std::stoi(video.value("nb_read_frames", "0"));
        EXPECT_GE(frames, c.minFrames);
        EXPECT_LE(frames, c.maxFrames);
        EXPECT_TRUE(test::decodesCleanly(movie));
    }
    // Nothing but the recording and its exports: no temporary file left.
    int files = 0;
    for (const auto& e : fs::directory_iterator(dir))
        files += e.path().filename().string()[0] != '.';
    EXPECT_EQ(files, 7);
}

// ---- The webcam's small copy is read only when it fits and matches the movie.

TEST(WebcamCopy, IsReadOnlyWhenItShowsEnoughAndMatchesTheMovie) {
    const fs::path dir = test::freshRecordingsFolder();
    const fs::path movie = dir / "Rec.webcam.mp4", copy = dir / "Rec.webcam.small.m4v";
    ASSERT_TRUE(test::makeMovie(movie, 2.0, 1280, 720, false));
    ASSERT_EQ(webcamProxyPath(movie), copy);
    enum Spoil { none, live, link, stale };
    struct Case {
        const char* label;
        double seconds;  // of the copy; 0: none
        int width, height;
        double box;  // percent
        Spoil spoil;
        bool read;
    } const cases[] = {
        {"the default box", 2, 640, 360, 40, none, true},
        {"no copy: an older recording", 0, 640, 360, 40, none, false},
        {"a box wider than the copy", 2, 640, 360, 80, none, false},
        {"left unfinished by a crash", 2, 640, 360, 40, live, false},
        {"a link", 2, 640, 360, 40, link, false},
        {"left from an earlier recording", 2, 640, 360, 40, stale, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove(copy);
        const fs::path made = dir / "made.mp4";
        if (c.seconds > 0) {
            ASSERT_TRUE(test::makeMovie(made, c.seconds, c.width, c.height, false));
            if (c.spoil == live)
                std::fstream(made, std::ios::in | std::ios::out).seekp(8) << "mrln";
            c.spoil == link ? fs::create_symlink(made, copy) : fs::rename(made, copy);
            if (c.spoil == stale)
                fs::last_write_time(copy, fs::last_write_time(movie) - std::chrono::hours(1));
        }
        WebcamFX webcam{.file = "Rec.webcam.mp4", .width = c.box, .height = c.box};
        auto found = findWebcamMovie(webcam, FrameSettings{.type = "color"}, 1920, 1080);
        ASSERT_TRUE(found);
        EXPECT_EQ(found->path, c.read ? copy : movie);
        EXPECT_LE(found->decodeWidth, c.read ? c.width : 1280);
    }
}

}  // namespace
}  // namespace marlune
