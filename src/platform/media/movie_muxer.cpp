#include "platform/media/movie_muxer.h"

#include <cstring>

#include "platform/media/audio_encoder.h"
#include "platform/media/av_support.h"
#include "platform/media/video_encoder.h"

namespace marlune {

namespace {

const char* formatName(MovieContainer container) {
    return container == MovieContainer::mp4 ? "mp4" : "mov";
}

}  // namespace

struct MovieMuxer::Impl {
    AVFormatContext* output = nullptr;
    MovieMuxerOptions options;
    bool begun = false;
    bool finished = false;
    std::vector<AVRational> sourceTimeBases;  // per output track

    ~Impl() {
        if (!output) return;
        // Unfinished: close the file as it stands.
        if (output->pb) avio_closep(&output->pb);
        avformat_free_context(output);
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
    if (rc < 0 || !impl->output)
        return std::unexpected(av::error(rc < 0 ? rc : AVERROR_MUXER_NOT_FOUND));
    rc = avio_open(&impl->output->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (rc < 0) return std::unexpected(av::error(rc));
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
    if (impl_->options.indexAtFront) av_dict_set(&options, "movflags", "+faststart", 0);
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
    int rc = av_interleaved_write_frame(impl_->output, p);
    if (rc < 0) return std::unexpected(av::error(rc));
    return {};
}

Result<void> MovieMuxer::finish() {
    if (!impl_->begun || impl_->finished) return std::unexpected(av::error(AVERROR(EINVAL)));
    impl_->finished = true;
    int rc = av_write_trailer(impl_->output);
    int closed = avio_closep(&impl_->output->pb);
    if (rc < 0) return std::unexpected(av::error(rc));
    if (closed < 0) return std::unexpected(av::error(closed));
    return {};
}

}  // namespace marlune
