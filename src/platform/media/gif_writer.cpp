#include "platform/media/gif_writer.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "platform/media/av_support.h"
#include "platform/media/ffmpeg_extras.h"

namespace marlune {

namespace {

struct GraphDeleter {
    void operator()(AVFilterGraph* g) const { (*av::filterLibrary())->avfilter_graph_free(&g); }
};
struct OutputDeleter {
    void operator()(AVFormatContext* c) const {
        if (c && c->pb) avio_closep(&c->pb);
        avformat_free_context(c);
    }
};

}  // namespace

struct GifWriter::Impl {
    GifWriterOptions options;
    const av::FilterLibrary* fl = nullptr;
    std::unique_ptr<AVFilterGraph, GraphDeleter> graph;
    AVFilterContext* source = nullptr;
    AVFilterContext* sink = nullptr;
    av::CodecContext codec;
    std::unique_ptr<AVFormatContext, OutputDeleter> output;
    av::PacketPtr packet = av::makePacket();
    av::FramePtr filtered = av::makeFrame();
    av::FramePtr last;  // the last scaled picture, repeated at the end
    std::int64_t lastPts = -1;

    Result<void> buildGraph() {
        graph.reset(fl->avfilter_graph_alloc());
        if (!graph) return std::unexpected(av::error(AVERROR(ENOMEM)));
        graph->nb_threads = 1;
        const std::string args =
            "video_size=" + std::to_string(options.width) + "x" + std::to_string(options.height) +
            ":pix_fmt=" + std::to_string(AV_PIX_FMT_BGRA) + ":time_base=1/1000:pixel_aspect=1/1";
        int rc = fl->avfilter_graph_create_filter(&source, fl->avfilter_get_by_name("buffer"), "in",
                                                  args.c_str(), nullptr, graph.get());
        if (rc < 0) return std::unexpected(av::error(rc));
        rc = fl->avfilter_graph_create_filter(&sink, fl->avfilter_get_by_name("buffersink"), "out",
                                              nullptr, nullptr, graph.get());
        if (rc < 0) return std::unexpected(av::error(rc));
        AVFilterInOut* outputs = fl->avfilter_inout_alloc();
        AVFilterInOut* inputs = fl->avfilter_inout_alloc();
        outputs->name = av_strdup("in");
        outputs->filter_ctx = source;
        inputs->name = av_strdup("out");
        inputs->filter_ctx = sink;
        const std::string chain =
            "fps=" + std::to_string(options.fps) + ",split[a][b];[a]palettegen[p];[b][p]paletteuse";
        rc = fl->avfilter_graph_parse_ptr(graph.get(), chain.c_str(), &inputs, &outputs, nullptr);
        fl->avfilter_inout_free(&inputs);
        fl->avfilter_inout_free(&outputs);
        if (rc < 0) return std::unexpected(av::error(rc));
        rc = fl->avfilter_graph_config(graph.get(), nullptr);
        if (rc < 0) return std::unexpected(av::error(rc));
        return {};
    }

    Result<void> openEncoder(const std::filesystem::path& path) {
        const AVCodec* gif = avcodec_find_encoder(AV_CODEC_ID_GIF);
        if (!gif) return std::unexpected(av::error(AVERROR_ENCODER_NOT_FOUND));
        codec.reset(avcodec_alloc_context3(gif));
        if (!codec) return std::unexpected(av::error(AVERROR(ENOMEM)));
        codec->width = options.width;
        codec->height = options.height;
        codec->pix_fmt = AV_PIX_FMT_PAL8;
        codec->time_base = AVRational{1, options.fps};
        int rc = avcodec_open2(codec.get(), gif, nullptr);
        if (rc < 0) return std::unexpected(av::error(rc));

        AVFormatContext* out = nullptr;
        rc = avformat_alloc_output_context2(&out, nullptr, "gif", path.c_str());
        if (rc < 0 || !out)
            return std::unexpected(av::error(rc < 0 ? rc : AVERROR_MUXER_NOT_FOUND));
        output.reset(out);
        AVStream* stream = avformat_new_stream(out, nullptr);
        if (!stream) return std::unexpected(av::error(AVERROR(ENOMEM)));
        rc = avcodec_parameters_from_context(stream->codecpar, codec.get());
        if (rc < 0) return std::unexpected(av::error(rc));
        stream->time_base = codec->time_base;
        rc = avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE);
        if (rc < 0) return std::unexpected(av::error(rc));
        AVDictionary* settings = nullptr;
        av_dict_set(&settings, "loop", "0", 0);  // forever
        rc = avformat_write_header(out, &settings);
        av_dict_free(&settings);
        if (rc < 0) return std::unexpected(av::error(rc));
        return {};
    }

    Result<void> writePackets() {
        for (;;) {
            int rc = avcodec_receive_packet(codec.get(), packet.get());
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return {};
            if (rc < 0) return std::unexpected(av::error(rc));
            av_packet_rescale_ts(packet.get(), codec->time_base, output->streams[0]->time_base);
            packet->stream_index = 0;
            rc = av_interleaved_write_frame(output.get(), packet.get());
            if (rc < 0) return std::unexpected(av::error(rc));
        }
    }

    // Encodes what the filters have made so far.
    Result<void> drain() {
        for (;;) {
            int rc = fl->av_buffersink_get_frame(sink, filtered.get());
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return {};
            if (rc < 0) return std::unexpected(av::error(rc));
            filtered->pts = av_rescale_q(filtered->pts, fl->av_buffersink_get_time_base(sink),
                                         codec->time_base);
            rc = avcodec_send_frame(codec.get(), filtered.get());
            av_frame_unref(filtered.get());
            if (rc < 0) return std::unexpected(av::error(rc));
            if (auto written = writePackets(); !written) return written;
        }
    }

    Result<void> push(AVFrame* frame, std::int64_t pts) {
        if (pts <= lastPts) pts = lastPts + 1;
        lastPts = pts;
        frame->pts = pts;
        int rc = fl->av_buffersrc_add_frame_flags(source, frame, AV_BUFFERSRC_FLAG_KEEP_REF);
        if (rc < 0) return std::unexpected(av::error(rc));
        return drain();
    }
};

PixelSize gifPictureSize(PixelSize picture, int width) {
    if (picture.width <= 0 || picture.height <= 0) return {};
    const double height = std::round(double(width) * picture.height / picture.width);
    return {width & ~1, std::max(2, static_cast<int>(height) & ~1)};
}

GifWriter::GifWriter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
GifWriter::GifWriter(GifWriter&&) noexcept = default;
GifWriter& GifWriter::operator=(GifWriter&&) noexcept = default;
GifWriter::~GifWriter() = default;

Result<GifWriter> GifWriter::create(const std::filesystem::path& path, GifWriterOptions options) {
    if (options.width <= 0 || options.height <= 0 || options.fps <= 0) {
        return std::unexpected(av::error(AVERROR(EINVAL)));
    }
    auto library = av::filterLibrary();
    if (!library) return std::unexpected(library.error());
    auto impl = std::make_unique<Impl>();
    impl->fl = *library;
    impl->options = options;
    if (auto built = impl->buildGraph(); !built) return std::unexpected(built.error());
    if (auto opened = impl->openEncoder(path); !opened) return std::unexpected(opened.error());
    return GifWriter(std::move(impl));
}

Result<void> GifWriter::add(const BgraPixels& image, double timeSeconds) {
    Impl& g = *impl_;
    if (image.width != g.options.width || image.height != g.options.height || !image.data) {
        return std::unexpected(av::error(AVERROR(EINVAL)));
    }
    av::FramePtr frame = av::makeFrame();
    frame->format = AV_PIX_FMT_BGRA;
    frame->width = g.options.width;
    frame->height = g.options.height;
    int rc = av_frame_get_buffer(frame.get(), 0);
    if (rc < 0) return std::unexpected(av::error(rc));
    // The filters keep the picture until the palette is made: it needs memory of its own.
    av_image_copy_plane(frame->data[0], frame->linesize[0], image.data, image.stride,
                        image.width * 4, image.height);
    auto pushed = g.push(frame.get(), av::timestamp(timeSeconds, AVRational{1, 1000}));
    g.last = std::move(frame);
    return pushed;
}

Result<void> GifWriter::finish(double endSeconds) {
    Impl& g = *impl_;
    // The last picture again at the end, so that it lasts until then.
    if (g.last) {
        const std::int64_t end = av::timestamp(endSeconds, AVRational{1, 1000});
        if (end > g.lastPts + 1) {
            if (auto pushed = g.push(g.last.get(), end - 1); !pushed) return pushed;
        }
    }
    int rc = g.fl->av_buffersrc_add_frame_flags(g.source, nullptr, 0);
    if (rc < 0) return std::unexpected(av::error(rc));
    if (auto drained = g.drain(); !drained) return drained;
    rc = avcodec_send_frame(g.codec.get(), nullptr);
    if (rc < 0 && rc != AVERROR_EOF) return std::unexpected(av::error(rc));
    if (auto written = g.writePackets(); !written) return written;
    rc = av_write_trailer(g.output.get());
    if (rc < 0) return std::unexpected(av::error(rc));
    rc = avio_closep(&g.output->pb);
    if (rc < 0) return std::unexpected(av::error(rc));
    return {};
}

}  // namespace marlune
