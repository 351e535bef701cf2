#include "platform/media/vp9_lanes.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace marlune {

namespace {

struct Job {
    av::FramePtr picture;
    std::int64_t pts = 0;
    std::int64_t group = 0;
    bool starts = false;  // the group's first picture
    bool reusable = false;
};

// A picture in a lane's encoder: its time there, its time in the movie and its group.
struct Sent {
    std::int64_t local = 0;
    std::int64_t pts = 0;
    std::int64_t group = 0;
};

struct Group {
    std::vector<av::PacketPtr> packets;  // ready, not yet handed out
    int pending = 0;                     // pictures queued or inside an encoder
    bool closed = false;                 // the next group has started, or the stream ended
};

}  // namespace

struct Vp9Lanes::State {
    struct Lane {
        av::CodecContext codec;
        std::deque<Job> queue;
        bool flush = false;    // drain once the queue is empty
        bool flushed = false;  // drained: the lane's thread has ended
        std::thread thread;
        // The lane thread's own.
        std::deque<Sent> sent;
        std::int64_t lastLocal = std::numeric_limits<std::int64_t>::min();
        std::int64_t offset = 0;  // movie time minus lane time, for the current group
    };

    Options options;
    std::vector<std::unique_ptr<Lane>> lanes;
    std::mutex mutex;
    std::condition_variable work;   // a lane has something to do
    std::condition_variable space;  // a queue has room, or a lane failed or finished
    std::map<std::int64_t, Group> groups;
    std::int64_t group = -1;     // the newest group
    std::int64_t nextGroup = 0;  // the oldest group not wholly handed out
    std::optional<Error> error;
    std::vector<av::FramePtr> spares;
    bool abandon = false;

    void fail(const Error& e) {
        if (!error) error = e;
        space.notify_all();
    }

    // The packets of the oldest groups, in order, as far as they are ready. Under `mutex`.
    std::vector<av::PacketPtr> takeReady() {
        std::vector<av::PacketPtr> out;
        for (auto it = groups.find(nextGroup); it != groups.end(); it = groups.find(nextGroup)) {
            for (auto& p : it->second.packets) out.push_back(std::move(p));
            it->second.packets.clear();
            if (!it->second.closed || it->second.pending > 0) break;
            groups.erase(it);
            ++nextGroup;
        }
        return out;
    }

    // Files the packets an encoder gave back under their pictures' group and movie time; the
    // pictures before one that came out were dropped by the encoder. Under `mutex`.
    void deliver(Lane& lane, std::vector<av::PacketPtr>& packets) {
        for (auto& p : packets) {
            while (!lane.sent.empty() && lane.sent.front().local < p->pts) {
                --groups[lane.sent.front().group].pending;
                lane.sent.pop_front();
            }
            if (lane.sent.empty()) continue;  // nothing was sent for it: not ours to place
            const Sent s = lane.sent.front();
            if (s.local == p->pts) {
                --groups[s.group].pending;
                lane.sent.pop_front();
            }
            const std::int64_t shift = s.pts - s.local;
            p->pts += shift;
            if (p->dts != AV_NOPTS_VALUE) p->dts += shift;
            groups[s.group].packets.push_back(std::move(p));
        }
        packets.clear();
    }

    // Every packet the encoder has ready.
    static Result<void> receive(Lane& lane, std::vector<av::PacketPtr>& out) {
        for (;;) {
            auto packet = av::makePacket();
            int rc = avcodec_receive_packet(lane.codec.get(), packet.get());
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return {};
            if (rc < 0) return std::unexpected(av::error(rc));
            packet->time_base = lane.codec->time_base;
            out.push_back(std::move(packet));
        }
    }

    // Encodes one picture, in its group's place on the lane's own timeline.
    Result<void> encode(Lane& lane, Job& job, std::vector<av::PacketPtr>& out) {
        if (job.starts || lane.lastLocal == std::numeric_limits<std::int64_t>::min()) {
            const std::int64_t local = lane.lastLocal == std::numeric_limits<std::int64_t>::min()
                                           ? job.pts
                                           : lane.lastLocal + options.frameTicks;
            lane.offset = job.pts - local;
        }
        const std::int64_t local = std::max(job.pts - lane.offset, lane.lastLocal + 1);
        lane.lastLocal = local;
        AVFrame* frame = job.picture.get();
        frame->pts = local;
        // Picture kinds and side data of a decoded picture would steer the encoder.
        frame->pict_type = job.starts ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        while (frame->nb_side_data > 0) {
            av_frame_remove_side_data(frame, frame->side_data[0]->type);
        }
        {
            std::lock_guard lock(mutex);
            lane.sent.push_back({local, job.pts, job.group});
        }
        int rc = avcodec_send_frame(lane.codec.get(), frame);
        if (rc < 0) return std::unexpected(av::error(rc));
        return receive(lane, out);
    }

    void serve(Lane& lane) {
        pthread_setname_np(pthread_self(), "marlune.vp9");
        std::vector<av::PacketPtr> out;
        std::unique_lock lock(mutex);
        for (;;) {
            work.wait(lock, [&] { return abandon || !lane.queue.empty() || lane.flush; });
            if (abandon) return;
            if (lane.queue.empty()) break;  // flushing
            Job job = std::move(lane.queue.front());
            lane.queue.pop_front();
            space.notify_all();
            const bool failed = error.has_value();
            lock.unlock();
            // After a failure the rest is only taken off the queue: the caller is told.
            auto done = failed ? Result<void>{} : encode(lane, job, out);
            if (!job.reusable) job.picture.reset();  // a decoder's picture goes back to it
            lock.lock();
            if (!done) fail(done.error());
            deliver(lane, out);
            if (job.picture) spares.push_back(std::move(job.picture));
        }
        const bool failed = error.has_value();
        lock.unlock();
        Result<void> drained{};
        if (!failed) {
            int rc = avcodec_send_frame(lane.codec.get(), nullptr);
            drained =
                rc < 0 && rc != AVERROR_EOF ? std::unexpected(av::error(rc)) : receive(lane, out);
        }
        lock.lock();
        if (!drained) fail(drained.error());
        deliver(lane, out);
        for (const Sent& s : lane.sent) --groups[s.group].pending;  // dropped at the end
        lane.sent.clear();
        lane.flushed = true;
        space.notify_all();
    }
};

Vp9Lanes::Vp9Lanes(std::unique_ptr<State> state) : state_(std::move(state)) {}

Result<std::unique_ptr<Vp9Lanes>> Vp9Lanes::open(
    Options options, const std::function<Result<av::CodecContext>()>& makeEncoder) {
    auto state = std::make_unique<State>();
    state->options = options;
    state->options.queued = std::max<std::size_t>(1, options.queued);
    for (int i = 0; i < std::max(1, options.lanes); ++i) {
        auto codec = makeEncoder();
        if (!codec) return std::unexpected(codec.error());
        auto lane = std::make_unique<State::Lane>();
        lane->codec = std::move(*codec);
        state->lanes.push_back(std::move(lane));
    }
    State* s = state.get();
    for (auto& lane : s->lanes) {
        lane->thread = std::thread([s, l = lane.get()] { s->serve(*l); });
    }
    return std::unique_ptr<Vp9Lanes>(new Vp9Lanes(std::move(state)));
}

Vp9Lanes::~Vp9Lanes() {
    State& s = *state_;
    {
        std::lock_guard lock(s.mutex);
        s.abandon = true;
    }
    s.work.notify_all();
    for (auto& lane : s.lanes) {
        if (lane->thread.joinable()) lane->thread.join();
    }
}

const AVCodecContext* Vp9Lanes::context() const {
    return state_->lanes.front()->codec.get();
}

Result<std::vector<av::PacketPtr>> Vp9Lanes::add(av::FramePtr picture, std::int64_t pts, bool key,
                                                 bool reusable) {
    State& s = *state_;
    std::unique_lock lock(s.mutex);
    if (s.error) return std::unexpected(*s.error);
    const bool starts = key || s.group < 0;
    if (starts) {
        if (s.group >= 0) s.groups[s.group].closed = true;
        ++s.group;
        s.groups[s.group];
    }
    auto& lane = *s.lanes[static_cast<std::size_t>(s.group) % s.lanes.size()];
    s.space.wait(lock, [&] { return s.error || lane.queue.size() < s.options.queued; });
    if (s.error) return std::unexpected(*s.error);
    ++s.groups[s.group].pending;
    lane.queue.push_back({std::move(picture), pts, s.group, starts, reusable});
    s.work.notify_all();
    return s.takeReady();
}

Result<std::vector<av::PacketPtr>> Vp9Lanes::finish() {
    State& s = *state_;
    std::unique_lock lock(s.mutex);
    if (s.group >= 0) s.groups[s.group].closed = true;
    for (auto& lane : s.lanes) lane->flush = true;
    s.work.notify_all();
    s.space.wait(lock, [&] {
        for (auto& lane : s.lanes) {
            if (!lane->flushed) return false;
        }
        return true;
    });
    if (s.error) return std::unexpected(*s.error);
    return s.takeReady();
}

av::FramePtr Vp9Lanes::spare() {
    State& s = *state_;
    std::lock_guard lock(s.mutex);
    if (s.spares.empty()) return nullptr;
    av::FramePtr frame = std::move(s.spares.back());
    s.spares.pop_back();
    return frame;
}

}  // namespace marlune
