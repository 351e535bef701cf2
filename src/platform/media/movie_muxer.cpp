#include "platform/media/movie_muxer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>

#include "platform/media/audio_encoder.h"
#include "platform/media/av_support.h"
#include "platform/media/video_encoder.h"

namespace marlune {

namespace {

const char* formatName(MovieContainer container) {
    if (container == MovieContainer::webm) return "webm";
    return container == MovieContainer::mp4 ? "mp4" : "mov";
}

constexpr int kLiveBufferBytes = 1 << 20;

// The file of a live movie, written through our own descriptor so that fragments can be pushed
// to the file system and made durable when we choose, and so that a full disk shows as the
// system's own error. Durability (fdatasync) runs on a thread of its own: a slow disk delays it,
// never the writer.
class LiveFile {
  public:
    // `fd` is locked already (see create): the lock tells a recovery run, a deletion or an
    // export in any process to leave the file alone.
    explicit LiveFile(int fd) : fd_(fd), syncer_([this] { syncLoop(); }) {}
    ~LiveFile() {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        wake_.notify_one();
        syncer_.join();
        if (fd_ >= 0) ::close(fd_);
    }

    static int write(void* opaque, std::uint8_t* data, int size) {
        auto* self = static_cast<LiveFile*>(opaque);
        int left = size;
        while (left > 0) {
            ssize_t n = ::write(self->fd_, data, static_cast<std::size_t>(left));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return AVERROR(n < 0 ? errno : ENOSPC);
            data += n;
            left -= static_cast<int>(n);
            self->written_ += n;
        }
        return size;
    }

    static std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
        auto* self = static_cast<LiveFile*>(opaque);
        if (whence == AVSEEK_SIZE) {
            struct stat st {};
            return fstat(self->fd_, &st) == 0 ? st.st_size : AVERROR(errno);
        }
        off_t at = lseek(self->fd_, offset, whence & ~AVSEEK_FORCE);
        return at < 0 ? AVERROR(errno) : at;
    }

    // Asks for what was written so far to reach the disk; returns at once.
    void syncSoon() {
        {
            std::lock_guard lock(mutex_);
            wanted_ = true;
        }
        wake_.notify_one();
    }

    // Makes what was written durable now.
    void syncNow() { fdatasync(fd_); }

    std::int64_t written() const { return written_; }

  private:
    void syncLoop() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return quit_ || wanted_; });
            if (quit_) return;
            wanted_ = false;
            lock.unlock();
            fdatasync(fd_);
            lock.lock();
        }
    }

    int fd_;
    std::atomic<std::int64_t> written_{0};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool wanted_ = false;
    bool quit_ = false;
    std::thread syncer_;
};

}  // namespace

struct MovieMuxer::Impl {
    AVFormatContext* output = nullptr;
    MovieMuxerOptions options;
    bool begun = false;
    bool finished = false;
    std::vector<AVRational> sourceTimeBases;  // per output track
    std::unique_ptr<LiveFile> live;           // a live movie's file; its AVIOContext is ours

    ~Impl() {
        if (!output) return;
        // Unfinished: close the file as it stands.
        closeOutput();
        avformat_free_context(output);
    }

    int closeOutput() {
        if (!output->pb) return 0;
        if (!live) return avio_closep(&output->pb);
        avio_flush(output->pb);
        int rc = output->pb->error;
        av_freep(&output->pb->buffer);
        avio_context_free(&output->pb);
        live.reset();
        return rc;
    }
};

MovieMuxer::MovieMuxer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
MovieMuxer::MovieMuxer(MovieMuxer&&) noexcept = default;
MovieMuxer& MovieMuxer::operator=(MovieMuxer&&) noexcept = default;
MovieMuxer::~MovieMuxer() = default;

Result<MovieMuxer> MovieMuxer::create(const std::filesystem::path& path, MovieContainer container,
                                      MovieMuxerOptions options) {
    auto impl = std::make_unique<Impl>();
    impl->options = options;
    int rc =
        avformat_alloc_output_context2(&impl->output, nullptr, formatName(container), path.c_str());
    if (rc < 0 || !impl->output) {
        if (options.fd >= 0) ::close(options.fd);
        return std::unexpected(av::error(rc < 0 ? rc : AVERROR_MUXER_NOT_FOUND));
    }
    if (!options.live) {
        if (options.fd >= 0) ::close(options.fd);
        rc = avio_open(&impl->output->pb, path.c_str(), AVIO_FLAG_WRITE);
        if (rc < 0) return std::unexpected(av::error(rc));
        return MovieMuxer(std::move(impl));
    }
    int fd = options.fd;
    if (container != MovieContainer::mp4) {
        if (fd >= 0) ::close(fd);
        return std::unexpected(av::error(AVERROR(EINVAL)));
    }
    if (fd < 0) fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return std::unexpected(av::error(AVERROR(errno)));
    // Taking the lock again on the claimed descriptor keeps it; any other holder refuses it.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        return std::unexpected(av::error(AVERROR(err)));
    }
    impl->live = std::make_unique<LiveFile>(fd);
    auto* buffer = static_cast<unsigned char*>(av_malloc(kLiveBufferBytes));
    if (buffer) {
        impl->output->pb = avio_alloc_context(buffer, kLiveBufferBytes, 1, impl->live.get(),
                                              nullptr, &LiveFile::write, &LiveFile::seek);
    }
    if (!impl->output->pb) {
        av_free(buffer);
        return std::unexpected(av::error(AVERROR(ENOMEM)));
    }
    return MovieMuxer(std::move(impl));
}

bool MovieMuxer::canCarry(MovieContainer container, const MediaFile& source, int trackIndex) {
    const AVFormatContext* input = source.impl().input.get();
    if (trackIndex < 0 || trackIndex >= static_cast<int>(input->nb_streams)) return false;
    const AVOutputFormat* format = av_guess_format(formatName(container), nullptr, nullptr);
    if (!format) return false;
    return avformat_query_codec(format, input->streams[trackIndex]->codecpar->codec_id,
                                FF_COMPLIANCE_NORMAL) == 1;
}

Result<int> MovieMuxer::addTrackCopiedFrom(const MediaFile& source, int trackIndex) {
    const AVFormatContext* input = source.impl().input.get();
    if (impl_->begun || trackIndex < 0 || trackIndex >= static_cast<int>(input->nb_streams)) {
        return std::unexpected(av::error(AVERROR(EINVAL)));
    }
    const AVStream* in = input->streams[trackIndex];
    AVStream* out = avformat_new_stream(impl_->output, nullptr);
    if (!out) return std::unexpected(av::error(AVERROR(ENOMEM)));
    int rc = avcodec_parameters_copy(out->codecpar, in->codecpar);
    if (rc < 0) return std::unexpected(av::error(rc));
    // The source container's tag may mean nothing in this one; let the muxer choose.
    out->codecpar->codec_tag = 0;
    out->time_base = in->time_base;
    out->disposition = in->disposition;
    av_dict_copy(&out->metadata, in->metadata, 0);
    for (int i = 0; i < in->nb_side_data; ++i) {
        const AVPacketSideData& sd = in->side_data[i];
        std::uint8_t* copy = av_stream_new_side_data(out, sd.type, sd.size);
        if (!copy) return std::unexpected(av::error(AVERROR(ENOMEM)));
        std::memcpy(copy, sd.data, sd.size);
    }
    impl_->sourceTimeBases.push_back(in->time_base);
    return out->index;
}

namespace {

Result<int> addEncodedTrack(MovieMuxer::Impl& muxer, bool begun, const AVCodecContext* codec) {
    if (begun) return std::unexpected(av::error(AVERROR(EINVAL)));
    AVStream* out = avformat_new_stream(muxer.output, nullptr);
    if (!out) return std::unexpected(av::error(AVERROR(ENOMEM)));
    int rc = avcodec_parameters_from_context(out->codecpar, codec);
    if (rc < 0) return std::unexpected(av::error(rc));
    out->time_base = codec->time_base;
    muxer.sourceTimeBases.push_back(codec->time_base);
    return out->index;
}

}  // namespace

Result<int> MovieMuxer::addTrack(const VideoEncoder& encoder) {
    auto index = addEncodedTrack(*impl_, impl_->begun, av::encoderContext(encoder));
    if (!index) return index;
    // The stream is coded at even sides and cropped back; the track shows the cropped size.
    AVCodecParameters* par = impl_->output->streams[*index]->codecpar;
    par->width = encoder.options().width;
    par->height = encoder.options().height;
    return index;
}

Result<int> MovieMuxer::addTrack(const AudioEncoder& encoder) {
    return addEncodedTrack(*impl_, impl_->begun, av::encoderContext(encoder));
}

Result<void> MovieMuxer::begin() {
    AVDictionary* options = nullptr;
    if (impl_->options.live) {
        // A fragment per key frame, the header held back until the first fragment so that it
        // can carry each track's start (the audio encoder's priming), no index at the end.
        av_dict_set(&options, "movflags",
                    "+frag_keyframe+empty_moov+default_base_moof+delay_moov+skip_trailer", 0);
    } else if (impl_->options.indexAtFront &&
               std::string_view(impl_->output->oformat->name) != "webm") {
        av_dict_set(&options, "movflags", "+faststart", 0);
    }
    if (!impl_->options.brand.empty())
        av_dict_set(&options, "brand", impl_->options.brand.c_str(), 0);
    int rc = avformat_write_header(impl_->output, &options);
    av_dict_free(&options);
    if (rc < 0) return std::unexpected(av::error(rc));
    impl_->begun = true;
    return {};
}

Result<void> MovieMuxer::write(Packet packet, int outputTrack, double shiftSeconds) {
    if (!impl_->begun || impl_->finished || outputTrack < 0 ||
        outputTrack >= static_cast<int>(impl_->output->nb_streams)) {
        return std::unexpected(av::error(AVERROR(EINVAL)));
    }
    AVPacket* p = packet.impl().packet.get();
    AVRational from = p->time_base.den ? p->time_base : impl_->sourceTimeBases[outputTrack];
    std::int64_t shift = av::timestamp(shiftSeconds, from);
    if (p->pts != AV_NOPTS_VALUE) p->pts -= shift;
    if (p->dts != AV_NOPTS_VALUE) p->dts -= shift;
    AVStream* out = impl_->output->streams[outputTrack];
    av_packet_rescale_ts(p, from, out->time_base);
    p->time_base = out->time_base;
    p->stream_index = outputTrack;
    p->pos = -1;
    if (!impl_->live) {
        int rc = av_interleaved_write_frame(impl_->output, p);
        if (rc < 0) return std::unexpected(av::error(rc));
        return {};
    }
    // A video key frame closes the fragment before it: push that one out now.
    const bool cuts =
        (p->flags & AV_PKT_FLAG_KEY) && out->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
    int rc = av_write_frame(impl_->output, p);
    if (rc < 0) return std::unexpected(av::error(rc));
    if (cuts) {
        avio_flush(impl_->output->pb);
        if (impl_->output->pb->error < 0)
            return std::unexpected(av::error(impl_->output->pb->error));
        impl_->live->syncSoon();
    }
    return {};
}

Result<void> MovieMuxer::finish() {
    if (!impl_->begun || impl_->finished) return std::unexpected(av::error(AVERROR(EINVAL)));
    impl_->finished = true;
    int rc = av_write_trailer(impl_->output);
    if (impl_->live && impl_->output->pb) {
        avio_flush(impl_->output->pb);
        impl_->live->syncNow();
    }
    int closed = impl_->closeOutput();
    if (rc < 0) return std::unexpected(av::error(rc));
    if (closed < 0) return std::unexpected(av::error(closed));
    return {};
}

std::int64_t MovieMuxer::bytesWritten() const {
    if (impl_->live) return impl_->live->written();
    return impl_->output && impl_->output->pb ? avio_tell(impl_->output->pb) : 0;
}

}  // namespace marlune
