#include "platform/media/media_file.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "platform/media/av_support.h"

namespace marlune {

namespace {

// FFmpeg logs to standard error in its own format. The wrappers hand every failure back with
// FFmpeg's text in their results, so a damaged file in a listing need not also fill the log.
void quietLogs() {
    static const bool once = [] {
        av_log_set_level(AV_LOG_FATAL);
        return true;
    }();
    (void)once;
}

TrackKind kindOf(AVMediaType type) {
    switch (type) {
        case AVMEDIA_TYPE_VIDEO:
            return TrackKind::video;
        case AVMEDIA_TYPE_AUDIO:
            return TrackKind::audio;
        case AVMEDIA_TYPE_SUBTITLE:
            return TrackKind::subtitle;
        default:
            return TrackKind::other;
    }
}

void readOrientation(const AVStream* stream, TrackInfo& info) {
    std::size_t size = 0;
    const auto* matrix = reinterpret_cast<const std::int32_t*>(
        av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size));
    if (!matrix || size < 9 * sizeof(std::int32_t)) return;
    // av_display_rotation_get counts counter-clockwise; displays turn the picture clockwise.
    double angle = -av_display_rotation_get(matrix);
    if (!std::isfinite(angle)) return;
    int quarter = static_cast<int>(std::lround(angle / 90.0));
    info.rotationDegrees = ((quarter % 4) + 4) % 4 * 90;
    // A negative determinant of the 2×2 part means the picture is also mirrored.
    double det = double(matrix[0]) * matrix[4] - double(matrix[1]) * matrix[3];
    info.mirrored = det < 0;
}

TrackInfo describe(const AVStream* stream) {
    TrackInfo info;
    const AVCodecParameters* par = stream->codecpar;
    info.index = stream->index;
    info.kind = kindOf(par->codec_type);
    info.codecName = avcodec_get_name(par->codec_id);
    if (stream->duration != AV_NOPTS_VALUE) {
        info.durationSeconds = av::seconds(stream->duration, stream->time_base);
    }
    if (info.kind == TrackKind::video) {
        info.width = par->width;
        info.height = par->height;
        AVRational sar = par->sample_aspect_ratio;
        if (sar.num > 0 && sar.den > 0) info.pixelAspect = av_q2d(sar);
        AVRational rate =
            stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
        if (rate.num > 0 && rate.den > 0) info.frameRate = av_q2d(rate);
        info.isCoverArt = (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0;
        switch (par->color_space) {
            case AVCOL_SPC_BT709:
                info.matrix = ColourMatrix::bt709;
                break;
            case AVCOL_SPC_SMPTE170M:
            case AVCOL_SPC_BT470BG:
                info.matrix = ColourMatrix::bt601;
                break;
            default:
                break;
        }
        readOrientation(stream, info);
    } else if (info.kind == TrackKind::audio) {
        info.sampleRate = par->sample_rate;
        info.channels = par->ch_layout.nb_channels;
    }
    return info;
}

// An MPEG-4 or QuickTime file whose sample descriptions already give every track's picture
// size or sample rate and channels. Probing such a file (reading ahead and decoding to learn the
// same) costs about a fifth of a listing's work per movie, for nothing.
bool describesItself(const AVFormatContext* input) {
    if (!std::string_view(input->iformat->name).starts_with("mov,mp4")) return false;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVCodecParameters* par = input->streams[i]->codecpar;
        if (par->codec_id == AV_CODEC_ID_NONE) return false;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO && (par->width <= 0 || par->height <= 0)) {
            return false;
        }
        if (par->codec_type == AVMEDIA_TYPE_AUDIO &&
            (par->sample_rate <= 0 || par->ch_layout.nb_channels <= 0)) {
            return false;
        }
    }
    return input->nb_streams > 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Packet

Packet::Packet(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Packet::Packet(Packet&&) noexcept = default;
Packet& Packet::operator=(Packet&&) noexcept = default;
Packet::~Packet() = default;

int Packet::trackIndex() const {
    return impl_->packet->stream_index;
}

std::optional<double> Packet::ptsSeconds() const {
    return av::seconds(impl_->packet->pts, impl_->packet->time_base);
}

std::optional<double> Packet::dtsSeconds() const {
    return av::seconds(impl_->packet->dts, impl_->packet->time_base);
}

double Packet::durationSeconds() const {
    return av::seconds(impl_->packet->duration, impl_->packet->time_base).value_or(0.0);
}

bool Packet::isKeyFrame() const {
    return (impl_->packet->flags & AV_PKT_FLAG_KEY) != 0;
}

std::size_t Packet::size() const {
    return static_cast<std::size_t>(impl_->packet->size);
}

// ---------------------------------------------------------------------------------------------
// MediaFile

MediaFile::MediaFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
MediaFile::MediaFile(MediaFile&&) noexcept = default;
MediaFile& MediaFile::operator=(MediaFile&&) noexcept = default;
MediaFile::~MediaFile() = default;

Result<MediaFile> MediaFile::open(const std::filesystem::path& path) {
    quietLogs();
    AVFormatContext* raw = nullptr;
    int rc = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
    if (rc < 0) return std::unexpected(av::error(rc));
    auto impl = std::make_unique<Impl>();
    impl->path = path;
    impl->input.reset(raw);
    if (!describesItself(raw)) {
        // The probe may decode a picture or two to learn what the container leaves out; one
        // thread each is plenty for that and spares starting a decoder's thread pool per file.
        std::vector<AVDictionary*> probeOptions(raw->nb_streams, nullptr);
        for (auto& options : probeOptions) av_dict_set(&options, "threads", "1", 0);
        rc = avformat_find_stream_info(raw, probeOptions.data());
        for (auto& options : probeOptions) av_dict_free(&options);
        if (rc < 0) return std::unexpected(av::error(rc));
    }
    for (unsigned i = 0; i < raw->nb_streams; ++i) {
        impl->tracks.push_back(describe(raw->streams[i]));
    }
    return MediaFile(std::move(impl));
}

const std::filesystem::path& MediaFile::path() const {
    return impl_->path;
}

std::optional<double> MediaFile::durationSeconds() const {
    const AVFormatContext* input = impl_->input.get();
    std::optional<double> d;
    if (input->duration != AV_NOPTS_VALUE) {
        d = av::seconds(input->duration, AVRational{1, AV_TIME_BASE});
    } else {
        for (const auto& t : impl_->tracks) {
            if (t.durationSeconds) d = std::max(d.value_or(0.0), *t.durationSeconds);
        }
    }
    if (d && !std::isfinite(*d)) return std::nullopt;
    return d;
}

const std::vector<TrackInfo>& MediaFile::tracks() const {
    return impl_->tracks;
}

std::vector<TrackInfo> MediaFile::tracks(TrackKind kind) const {
    std::vector<TrackInfo> out;
    for (const auto& t : impl_->tracks) {
        if (t.kind == kind && !t.isCoverArt) out.push_back(t);
    }
    return out;
}

Result<std::optional<Packet>> MediaFile::readPacket() {
    AVFormatContext* input = impl_->input.get();
    auto packet = av::makePacket();
    int rc = av_read_frame(input, packet.get());
    if (rc == AVERROR_EOF) return std::optional<Packet>();
    if (rc < 0) return std::unexpected(av::error(rc));
    packet->time_base = input->streams[packet->stream_index]->time_base;
    auto impl = std::make_unique<Packet::Impl>();
    impl->packet = std::move(packet);
    return std::optional<Packet>(Packet(std::move(impl)));
}

Result<void> MediaFile::seek(double seconds, int trackIndex) {
    AVFormatContext* input = impl_->input.get();
    if (trackIndex < 0 || trackIndex >= static_cast<int>(input->nb_streams)) {
        return std::unexpected(av::error(AVERROR_STREAM_NOT_FOUND));
    }
    AVStream* stream = input->streams[trackIndex];
    std::int64_t ts = av::timestamp(seconds, stream->time_base);
    if (stream->start_time != AV_NOPTS_VALUE) ts = std::max(ts, stream->start_time);
    int rc = av_seek_frame(input, trackIndex, ts, AVSEEK_FLAG_BACKWARD);
    // Before the first key frame there is none at or before: take the first one after.
    if (rc < 0) rc = av_seek_frame(input, trackIndex, ts, 0);
    if (rc < 0) return std::unexpected(av::error(rc));
    return {};
}

std::optional<std::vector<IndexedSample>> MediaFile::indexedSamples(int trackIndex) {
    AVFormatContext* input = impl_->input.get();
    if (trackIndex < 0 || trackIndex >= static_cast<int>(input->nb_streams)) return std::nullopt;
    AVStream* stream = input->streams[trackIndex];
    const int count = avformat_index_get_entries_count(stream);
    // A container that knows its sample count and indexes every sample (a plain MP4).
    if (count <= 0 || stream->nb_frames != count) return std::nullopt;
    std::vector<IndexedSample> samples;
    samples.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const AVIndexEntry* entry = avformat_index_get_entry(stream, i);
        if (!entry || (entry->flags & AVINDEX_DISCARD_FRAME)) return std::nullopt;
        auto at = av::seconds(entry->timestamp, stream->time_base);
        if (!at) return std::nullopt;
        samples.push_back({*at, (entry->flags & AVINDEX_KEYFRAME) != 0});
    }
    // The index holds decoding times. They are the presentation times when the first packets
    // say so: pictures coded out of order would show a shift or a reordering right there.
    constexpr std::size_t kChecked = 16;
    std::vector<double> read;
    while (read.size() < std::min<std::size_t>(kChecked, samples.size())) {
        auto packet = readPacket();
        if (!packet || !*packet) break;
        if ((*packet)->trackIndex() != trackIndex) continue;
        auto pts = (*packet)->ptsSeconds();
        if (!pts) break;
        read.push_back(*pts);
    }
    (void)seek(0, trackIndex);
    if (read.size() < std::min<std::size_t>(kChecked, samples.size())) return std::nullopt;
    for (std::size_t i = 0; i < read.size(); ++i) {
        if (read[i] != samples[i].seconds) return std::nullopt;
    }
    if (!std::is_sorted(samples.begin(), samples.end(),
                        [](const auto& a, const auto& b) { return a.seconds < b.seconds; })) {
        return std::nullopt;
    }
    return samples;
}

}  // namespace marlune
