#include "platform/wayland/pipewire_stream.h"

#include <glib.h>
#include <linux/dma-buf.h>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/wayland/buffer_lender.h"

namespace marlune::wayland {
namespace {

// DRM_FORMAT_MOD_LINEAR, without pulling in the DRM headers for one constant.
constexpr std::uint64_t kLinearModifier = 0;

constexpr int cursorMetaSize(int width, int height) {
    return static_cast<int>(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) + width * height * 4;
}

// The formats we take, best first: BGR orders hand the pixels on as they are.
constexpr spa_video_format kFormats[] = {SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                                         SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA};

// One EnumFormat object: raw video in kFormats, any size and rate; with `linearDmaBuf` it also
// carries the linear modifier, which is how a producer learns it may send DMA-BUFs.
spa_pod* buildFormat(spa_pod_builder* b, bool linearDmaBuf) {
    spa_pod_frame object;
    spa_pod_builder_push_object(b, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(b, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
                        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), 0);
    spa_pod_frame choice;
    spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_format, 0);
    spa_pod_builder_push_choice(b, &choice, SPA_CHOICE_Enum, 0);
    spa_pod_builder_id(b, kFormats[0]);  // the default
    for (auto format : kFormats) spa_pod_builder_id(b, format);
    spa_pod_builder_pop(b, &choice);
    if (linearDmaBuf) {
        spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_modifier,
                             SPA_POD_PROP_FLAG_MANDATORY | SPA_POD_PROP_FLAG_DONT_FIXATE);
        spa_pod_builder_push_choice(b, &choice, SPA_CHOICE_Enum, 0);
        spa_pod_builder_long(b, kLinearModifier);
        spa_pod_builder_long(b, kLinearModifier);
        spa_pod_builder_pop(b, &choice);
    }
    spa_rectangle size{1280, 720}, minSize{1, 1}, maxSize{16384, 16384};
    spa_fraction rate{0, 1}, minRate{0, 1}, maxRate{1000, 1};
    spa_pod_builder_add(
        b, SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &minSize, &maxSize),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&rate, &minRate, &maxRate), 0);
    return static_cast<spa_pod*>(spa_pod_builder_pop(b, &object));
}

// A buffer's memory as we mapped it ourselves: DMA-BUFs (PipeWire maps only those it was told
// are mappable), and shared memory that pictures are lent out of, which must stay readable after
// PipeWire unmaps its own view of it.
struct Mapping {
    void* address = MAP_FAILED;
    std::size_t length = 0;

    Mapping(int fd, std::size_t length)
        : address(mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0)), length(length) {}
    ~Mapping() {
        if (address != MAP_FAILED) munmap(address, length);
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
};

// What we keep of each buffer (its user data).
struct BufferInfo {
    std::uint64_t id = 0;  // never reused, unlike the buffer's address
    std::shared_ptr<Mapping> mapping;
};

void syncDmaBuf(int fd, std::uint64_t flags) {
    dma_buf_sync sync{};
    sync.flags = flags | DMA_BUF_SYNC_READ;
    ioctl(fd, DMA_BUF_IOCTL_SYNC, &sync);
}

}  // namespace

struct PipeWireStream::Impl {
    PipeWireStreamCallbacks callbacks;
    std::uint32_t nodeId = 0;

    // Created in connect(), destroyed in the destructor after the loop has stopped.
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    pw_stream* stream = nullptr;
    spa_hook coreListener{};
    spa_hook registryListener{};
    spa_hook streamListener{};
    pw_core_events coreEvents{};
    pw_registry_events registryEvents{};
    pw_stream_events streamEvents{};

    // Everything below belongs to the loop thread.
    spa_video_format format = SPA_VIDEO_FORMAT_UNKNOWN;
    int width = 0;
    int height = 0;
    bool streaming = false;
    bool ended = false;
    std::int64_t lastPtsUs = 0;
    bool cursorVisible = false;
    spa_point cursorAt{};
    spa_point cursorHotspot{};
    // Converted pixels for formats that are not BGRA as they come, reused frame after frame.
    std::vector<std::uint8_t> scratch;
    std::vector<std::uint32_t> row;
    // The newest picture's buffer while pictures are held (`callbacks.onPicture`), its time and
    // number; read by `readNewest` under the loop's lock.
    pw_buffer* held = nullptr;
    std::int64_t heldPtsUs = 0;
    std::uint64_t heldSequence = 0;
    // Pictures lent out (`lendNewest`) and the loop's event that gives their buffers back.
    std::shared_ptr<BufferLender> lender;
    spa_source* returned = nullptr;
    std::uint64_t buffersAdded = 0;
    std::size_t buffers = 0;

    void end(std::string message) {
        if (ended) return;
        ended = true;
        if (callbacks.onEnded) callbacks.onEnded(Error{std::move(message)});
    }

    // --- loop thread ---

    void onStateChanged(pw_stream_state, pw_stream_state state, const char* error) {
        if (state == PW_STREAM_STATE_STREAMING) streaming = true;
        if (state == PW_STREAM_STATE_ERROR) {
            end(std::string("The screen stream failed: ") + (error ? error : "unknown error"));
        } else if (state == PW_STREAM_STATE_UNCONNECTED && streaming) {
            end("The screen stream was disconnected.");
        }
    }

    void onParamChanged(std::uint32_t id, const spa_pod* param) {
        if (!param || id != SPA_PARAM_Format) return;
        std::uint32_t mediaType = 0, mediaSubtype = 0;
        if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
            mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
            return;
        spa_video_info_raw info{};
        if (spa_format_video_raw_parse(param, &info) < 0) return;
        format = info.format;
        width = static_cast<int>(info.size.width);
        height = static_cast<int>(info.size.height);
        bool dmaBuf = spa_pod_find_prop(param, nullptr, SPA_FORMAT_VIDEO_modifier) != nullptr;

        // Now that the format is fixed: the buffers we can read and the metadata we want.
        std::uint8_t storage[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
        int dataTypes =
            dmaBuf ? (1 << SPA_DATA_DmaBuf) : ((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr));
        const spa_pod* params[4];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(8, 2, 16), SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int(dataTypes)));
        params[1] = static_cast<const spa_pod*>(
            spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
                                       SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
                                       SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
        params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
            SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(cursorMetaSize(64, 64), cursorMetaSize(1, 1),
                                     cursorMetaSize(1024, 1024))));
        params[3] = static_cast<const spa_pod*>(
            spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
                                       SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoCrop),
                                       SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_region))));
        pw_stream_update_params(stream, params, 4);
    }

    void onAddBuffer(pw_buffer* buffer) {
        spa_data& data = buffer->buffer->datas[0];
        auto* info = new BufferInfo{++buffersAdded, nullptr};
        if ((data.type == SPA_DATA_DmaBuf && !data.data) || data.type == SPA_DATA_MemFd) {
            info->mapping =
                std::make_shared<Mapping>(static_cast<int>(data.fd), data.mapoffset + data.maxsize);
        }
        buffer->user_data = info;
        ++buffers;
    }

    void onRemoveBuffer(pw_buffer* buffer) {
        if (buffer == held) held = nullptr;
        auto* info = static_cast<BufferInfo*>(buffer->user_data);
        if (!info) return;
        lender->forget(info->id);  // a picture lent out of it keeps its mapping
        delete info;
        buffer->user_data = nullptr;
        --buffers;
    }

    static std::uint64_t idOf(pw_buffer* buffer) {
        auto* info = static_cast<BufferInfo*>(buffer->user_data);
        return info ? info->id : 0;
    }

    // Buffers whose lent pictures are all let go go back to the producer, unless one is the
    // newest picture, still held.
    void giveBackReturned() {
        for (void* buffer : lender->takeReturned()) {
            if (buffer != held) pw_stream_queue_buffer(stream, static_cast<pw_buffer*>(buffer));
        }
    }

    // The newest picture as a lease on its buffer, when it can be read in place: BGRA or BGRx in
    // shared memory we mapped ourselves, and the producer keeps two buffers besides the lent ones
    // (fewer would make it wait for ours).
    std::optional<LentPicture> lendHeld() {
        if (!held || !hasPicture(held)) return std::nullopt;
        auto* info = static_cast<BufferInfo*>(held->user_data);
        const spa_data& data = held->buffer->datas[0];
        if (!info || !info->mapping || info->mapping->address == MAP_FAILED ||
            data.type != SPA_DATA_MemFd ||
            (format != SPA_VIDEO_FORMAT_BGRA && format != SPA_VIDEO_FORMAT_BGRx) ||
            lender->lentCount() + 2 >= buffers) {
            return std::nullopt;
        }
        const auto* base =
            static_cast<const std::uint8_t*>(info->mapping->address) + data.mapoffset;
        auto place = locate(held, base);
        if (!place) return std::nullopt;
        LentPicture picture;
        picture.pixels =
            BgraPixels(place->origin, place->area.width, place->area.height, place->stride);
        picture.paddedAlpha = format == SPA_VIDEO_FORMAT_BGRx;
        picture.sequence = heldSequence;
        picture.lease = lender->lend(info->id, held, info->mapping);
        return picture;
    }

    // The buffer's time on the monotonic clock. The producer stamps it on that clock too
    // (CLOCK_MONOTONIC, nanoseconds); a stamp further than a second from now is not trusted.
    std::int64_t ptsOf(spa_buffer* buffer) {
        std::int64_t now = g_get_monotonic_time();
        std::int64_t pts = now;
        auto* header = static_cast<spa_meta_header*>(
            spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)));
        if (header && header->pts > 0) {
            std::int64_t stamped = header->pts / 1000;
            if (stamped <= now + 1000 && stamped >= now - 1000000) pts = stamped;
        }
        return pts;
    }

    void readCursor(spa_buffer* buffer, std::int64_t pts) {
        auto* meta = static_cast<spa_meta_cursor*>(
            spa_buffer_find_meta_data(buffer, SPA_META_Cursor, sizeof(spa_meta_cursor)));
        if (!meta) return;
        // The position stays as last seen while the cursor is hidden. The hot spot comes only
        // with a picture (mutter leaves it zero in between).
        PipeWireCursor next;
        next.visible = spa_meta_cursor_is_valid(meta);
        next.x = next.visible ? meta->position.x : cursorAt.x;
        next.y = next.visible ? meta->position.y : cursorAt.y;
        next.hotspotX = cursorHotspot.x;
        next.hotspotY = cursorHotspot.y;
        next.ptsUs = pts;
        if (next.visible && meta->bitmap_offset >= sizeof(spa_meta_cursor)) {
            next.image = cursorImage(SPA_PTROFF(meta, meta->bitmap_offset, spa_meta_bitmap));
            next.hotspotX = meta->hotspot.x;
            next.hotspotY = meta->hotspot.y;
        }
        bool moved = next.visible != cursorVisible || next.x != cursorAt.x || next.y != cursorAt.y;
        if (!moved && !next.image) return;
        cursorVisible = next.visible;
        cursorAt = {next.x, next.y};
        cursorHotspot = {next.hotspotX, next.hotspotY};
        if (callbacks.onCursor) callbacks.onCursor(next);
    }

    // An empty picture for the empty bitmap a producer sends when the cursor has no sprite.
    static BgraImage cursorImage(const spa_meta_bitmap* bitmap) {
        int w = static_cast<int>(bitmap->size.width), h = static_cast<int>(bitmap->size.height);
        if (w <= 0 || h <= 0 || bitmap->offset < sizeof(spa_meta_bitmap)) return {};
        bool bgr = bitmap->format == SPA_VIDEO_FORMAT_BGRA;
        if (!bgr && bitmap->format != SPA_VIDEO_FORMAT_RGBA) return {};
        auto* pixels = SPA_PTROFF(bitmap, bitmap->offset, const std::uint8_t);
        int stride = bitmap->stride > 0 ? bitmap->stride : w * 4;
        BgraImage image = BgraImage::blank(w, h);
        // Cursor bitmaps come straight alpha; our pictures are premultiplied.
        for (int y = 0; y < h; ++y) {
            const std::uint8_t* in = pixels + static_cast<std::size_t>(y) * stride;
            std::uint8_t* out = image.row(y);
            for (int x = 0; x < w; ++x, in += 4, out += 4) {
                int a = in[3];
                out[0] = static_cast<std::uint8_t>((bgr ? in[0] : in[2]) * a / 255);
                out[1] = static_cast<std::uint8_t>(in[1] * a / 255);
                out[2] = static_cast<std::uint8_t>((bgr ? in[2] : in[0]) * a / 255);
                out[3] = static_cast<std::uint8_t>(a);
            }
        }
        return image;
    }

    // Whether the buffer carries a picture (cursor-only updates carry none).
    static bool hasPicture(const pw_buffer* pwBuffer) {
        const spa_data& data = pwBuffer->buffer->datas[0];
        return data.chunk && data.chunk->size != 0 &&
               !(data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED);
    }

    // Where the picture of `pwBuffer` lies in its memory at `base`: its first pixel, its size
    // (the crop, when the producer says one) and its stride. Nothing for a buffer without one.
    struct Place {
        const std::uint8_t* origin = nullptr;
        PixelRect area;
        int stride = 0;
    };
    std::optional<Place> locate(pw_buffer* pwBuffer, const std::uint8_t* base) {
        spa_buffer* buffer = pwBuffer->buffer;
        const spa_data& data = buffer->datas[0];
        if (!base || width <= 0 || height <= 0) return std::nullopt;
        const int stride = data.chunk->stride > 0 ? data.chunk->stride : width * 4;
        PixelRect area{0, 0, width, height};
        auto* crop = static_cast<spa_meta_region*>(
            spa_buffer_find_meta_data(buffer, SPA_META_VideoCrop, sizeof(spa_meta_region)));
        if (crop && spa_meta_region_is_valid(crop)) {
            area = PixelRect{crop->region.position.x, crop->region.position.y,
                             static_cast<int>(crop->region.size.width),
                             static_cast<int>(crop->region.size.height)}
                       .intersected(area);
            if (area.empty()) return std::nullopt;
        }
        const std::uint8_t* origin = base + data.chunk->offset +
                                     static_cast<std::size_t>(area.y) * stride +
                                     static_cast<std::size_t>(area.x) * 4;
        return Place{origin, area, stride};
    }

    // Runs `use` with the picture in `buffer` (any of kFormats) as BGRA, converting into
    // `scratch` only when the bytes are not BGRA already (nor BGRx, with `padded` allowed).
    template <typename Use>
    void readPicture(pw_buffer* pwBuffer, std::int64_t pts, Use&& use, bool padded = false) {
        spa_data& data = pwBuffer->buffer->datas[0];
        if (!hasPicture(pwBuffer)) return;
        auto* info = static_cast<BufferInfo*>(pwBuffer->user_data);
        const std::uint8_t* base = nullptr;
        if (data.data) {
            base = static_cast<const std::uint8_t*>(data.data);
        } else if (info && info->mapping && info->mapping->address != MAP_FAILED) {
            base = static_cast<const std::uint8_t*>(info->mapping->address) + data.mapoffset;
        }
        auto place = locate(pwBuffer, base);
        if (!place) return;
        const auto [origin, area, stride] = *place;

        bool dmaBuf = data.type == SPA_DATA_DmaBuf;
        if (dmaBuf) syncDmaBuf(static_cast<int>(data.fd), DMA_BUF_SYNC_START);
        PipeWireFrame frame;
        frame.ptsUs = pts;
        if (format == SPA_VIDEO_FORMAT_BGRA || (padded && format == SPA_VIDEO_FORMAT_BGRx)) {
            frame.pixels = BgraPixels(origin, area.width, area.height, stride);
            frame.paddedAlpha = format == SPA_VIDEO_FORMAT_BGRx;
        } else {
            frame.pixels = convert(origin, area.width, area.height, stride);
        }
        use(frame);
        if (dmaBuf) syncDmaBuf(static_cast<int>(data.fd), DMA_BUF_SYNC_END);
    }

    void deliverPicture(pw_buffer* pwBuffer, std::int64_t pts) {
        readPicture(pwBuffer, pts, [&](const PipeWireFrame& frame) {
            if (callbacks.onFrame) callbacks.onFrame(frame);
        });
    }

    // Keeps `buffer` as the newest picture, giving the one it replaces back to the producer.
    void hold(pw_buffer* buffer, std::int64_t pts) {
        // A lent buffer goes back when its last picture is let go (giveBackReturned).
        if (held && lender->mayGoBack(idOf(held))) pw_stream_queue_buffer(stream, held);
        held = buffer;
        heldPtsUs = pts;
        ++heldSequence;
        auto* crop = static_cast<spa_meta_region*>(
            spa_buffer_find_meta_data(buffer->buffer, SPA_META_VideoCrop, sizeof(spa_meta_region)));
        PixelSize size{width, height};
        if (crop && spa_meta_region_is_valid(crop)) {
            const PixelRect area = PixelRect{crop->region.position.x, crop->region.position.y,
                                             static_cast<int>(crop->region.size.width),
                                             static_cast<int>(crop->region.size.height)}
                                       .intersected(PixelRect{0, 0, width, height});
            size = PixelSize{area.width, area.height};
        }
        callbacks.onPicture(heldSequence, size, pts);
    }

    BgraPixels convert(const std::uint8_t* src, int w, int h, int srcStride) {
        int stride = w * 4;
        scratch.resize(static_cast<std::size_t>(stride) * h);
        bool swap = format == SPA_VIDEO_FORMAT_RGBx || format == SPA_VIDEO_FORMAT_RGBA;
        std::uint32_t opaque = format == SPA_VIDEO_FORMAT_RGBA ? 0 : 0xff000000u;
        // Whole pixels as 32-bit words (the source rows need not be aligned for them).
        row.resize(static_cast<std::size_t>(w));
        for (int y = 0; y < h; ++y) {
            std::memcpy(row.data(), src + static_cast<std::size_t>(y) * srcStride, stride);
            for (std::uint32_t& p : row) {
                if (swap) p = (p & 0xff00ff00u) | ((p >> 16) & 0xffu) | ((p & 0xffu) << 16);
                p |= opaque;
            }
            std::memcpy(scratch.data() + static_cast<std::size_t>(y) * stride, row.data(), stride);
        }
        return BgraPixels(scratch.data(), w, h, stride);
    }

    void onProcess() {
        if (callbacks.onPicture) return holdNewest();
        // Only the newest picture matters: older ones still queued go straight back.
        pw_buffer* newest = nullptr;
        while (pw_buffer* next = pw_stream_dequeue_buffer(stream)) {
            if (newest) {
                readCursor(newest->buffer, ptsOf(newest->buffer));
                pw_stream_queue_buffer(stream, newest);
            }
            newest = next;
        }
        if (!newest) return;
        std::int64_t pts = ptsOf(newest->buffer);
        // Pictures are handed on in order; a stamp that does not advance is nudged forward.
        if (pts <= lastPtsUs) pts = lastPtsUs + 1;
        lastPtsUs = pts;
        readCursor(newest->buffer, pts);
        deliverPicture(newest, pts);
        pw_stream_queue_buffer(stream, newest);
    }

    // The same when pictures are held: every buffer's cursor is read in order, the last picture
    // among them is kept and the rest go straight back.
    void holdNewest() {
        while (pw_buffer* next = pw_stream_dequeue_buffer(stream)) {
            std::int64_t pts = ptsOf(next->buffer);
            if (pts <= lastPtsUs) pts = lastPtsUs + 1;
            lastPtsUs = pts;
            readCursor(next->buffer, pts);
            if (hasPicture(next)) {
                hold(next, pts);
            } else {
                pw_stream_queue_buffer(stream, next);
            }
        }
    }

    void onCoreError(std::uint32_t id, int res, const char* message) {
        if (id == PW_ID_CORE && res == -EPIPE) {
            end("The connection to PipeWire was lost.");
        } else if (id == PW_ID_CORE) {
            end(std::string("PipeWire failed: ") + (message ? message : spa_strerror(res)));
        }
    }

    void onGlobalRemove(std::uint32_t id) {
        if (id == nodeId) end("The screen-cast source went away.");
    }
};

PipeWireStream::PipeWireStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

PipeWireStream::~PipeWireStream() {
    // Pictures still lent out keep their memory; their buffers go with the stream.
    if (impl_->lender) impl_->lender->close();
    // Stopping the loop first means no callback runs while (or after) the objects go.
    if (impl_->loop) pw_thread_loop_stop(impl_->loop);
    if (impl_->returned)
        pw_loop_destroy_source(pw_thread_loop_get_loop(impl_->loop), impl_->returned);
    if (impl_->stream) pw_stream_destroy(impl_->stream);
    if (impl_->registry) pw_proxy_destroy(reinterpret_cast<pw_proxy*>(impl_->registry));
    if (impl_->core) pw_core_disconnect(impl_->core);
    if (impl_->context) pw_context_destroy(impl_->context);
    if (impl_->loop) pw_thread_loop_destroy(impl_->loop);
}

void PipeWireStream::setActive(bool active) {
    pw_thread_loop_lock(impl_->loop);
    pw_stream_set_active(impl_->stream, active);
    pw_thread_loop_unlock(impl_->loop);
}

bool PipeWireStream::readNewest(
    const std::function<void(const PipeWireFrame&, std::uint64_t sequence)>& read) {
    pw_thread_loop_lock(impl_->loop);
    bool kept = false;
    if (impl_->held) {
        impl_->readPicture(
            impl_->held, impl_->heldPtsUs,
            [&](const PipeWireFrame& frame) {
                kept = true;
                read(frame, impl_->heldSequence);
            },
            true);
    }
    pw_thread_loop_unlock(impl_->loop);
    return kept;
}

std::optional<LentPicture> PipeWireStream::lendNewest() {
    pw_thread_loop_lock(impl_->loop);
    auto lent = impl_->lendHeld();
    pw_thread_loop_unlock(impl_->loop);
    return lent;
}

Result<std::unique_ptr<PipeWireStream>> PipeWireStream::connect(int remoteFd, std::uint32_t nodeId,
                                                                PipeWireStreamCallbacks callbacks) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });

    auto impl = std::make_unique<Impl>();
    impl->callbacks = std::move(callbacks);
    impl->nodeId = nodeId;
    impl->loop = pw_thread_loop_new("marlune-pipewire", nullptr);
    if (!impl->loop) {
        if (remoteFd >= 0) close(remoteFd);
        return fail("Could not start a PipeWire loop.");
    }
    // From here the destructor of `self` cleans up whatever was made.
    std::unique_ptr<PipeWireStream> self(new PipeWireStream(std::move(impl)));
    Impl* d = self->impl_.get();
    pw_loop* loop = pw_thread_loop_get_loop(d->loop);
    d->returned = pw_loop_add_event(
        loop, [](void* data, std::uint64_t) { static_cast<Impl*>(data)->giveBackReturned(); }, d);
    d->lender =
        BufferLender::make([loop, event = d->returned] { pw_loop_signal_event(loop, event); });
    d->context = pw_context_new(pw_thread_loop_get_loop(d->loop), nullptr, 0);
    if (!d->context) {
        if (remoteFd >= 0) close(remoteFd);
        return fail("Could not create a PipeWire context.");
    }
    // The core takes the descriptor over.
    d->core = remoteFd >= 0 ? pw_context_connect_fd(d->context, remoteFd, nullptr, 0)
                            : pw_context_connect(d->context, nullptr, 0);
    if (!d->core) return fail(std::string("Could not connect to PipeWire: ") + strerror(errno));

    d->coreEvents.version = PW_VERSION_CORE_EVENTS;
    d->coreEvents.error = [](void* data, std::uint32_t id, int, int res, const char* message) {
        static_cast<Impl*>(data)->onCoreError(id, res, message);
    };
    pw_core_add_listener(d->core, &d->coreListener, &d->coreEvents, d);
    d->registry = pw_core_get_registry(d->core, PW_VERSION_REGISTRY, 0);
    d->registryEvents.version = PW_VERSION_REGISTRY_EVENTS;
    d->registryEvents.global_remove = [](void* data, std::uint32_t id) {
        static_cast<Impl*>(data)->onGlobalRemove(id);
    };
    pw_registry_add_listener(d->registry, &d->registryListener, &d->registryEvents, d);

    d->stream = pw_stream_new(d->core, "Marlune screen",
                              pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (!d->stream) return fail("Could not create a PipeWire stream.");
    auto& ev = d->streamEvents;
    ev.version = PW_VERSION_STREAM_EVENTS;
    ev.state_changed = [](void* data, pw_stream_state old, pw_stream_state now, const char* e) {
        static_cast<Impl*>(data)->onStateChanged(old, now, e);
    };
    ev.param_changed = [](void* data, std::uint32_t id, const spa_pod* param) {
        static_cast<Impl*>(data)->onParamChanged(id, param);
    };
    ev.add_buffer = [](void* data, pw_buffer* b) { static_cast<Impl*>(data)->onAddBuffer(b); };
    ev.remove_buffer = [](void* data, pw_buffer* b) {
        static_cast<Impl*>(data)->onRemoveBuffer(b);
    };
    ev.process = [](void* data) { static_cast<Impl*>(data)->onProcess(); };
    pw_stream_add_listener(d->stream, &d->streamListener, &d->streamEvents, d);

    std::uint8_t storage[2048];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    const spa_pod* formats[] = {buildFormat(&b, true), buildFormat(&b, false)};
    int res = pw_stream_connect(
        d->stream, PW_DIRECTION_INPUT, nodeId,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
        formats, 2);
    if (res < 0)
        return fail(std::string("Could not connect the screen stream: ") + spa_strerror(res));
    // Everything above ran before the loop's thread exists, so nothing needed the lock.
    if (pw_thread_loop_start(d->loop) < 0) return fail("Could not start the PipeWire thread.");
    return self;
}

}  // namespace marlune::wayland
