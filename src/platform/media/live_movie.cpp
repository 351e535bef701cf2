#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "platform/media/live_movie.h"
#include "platform/media/live_movie_format.h"

namespace marlune {

namespace live_movie_detail {

namespace {

bool isContainer(std::string_view type) {
    return type == "moov" || type == "trak" || type == "mdia" || type == "minf" || type == "stbl" ||
           type == "edts" || type == "mvex" || type == "moof" || type == "traf";
}

// The fields a track fragment header (tfhd) carries beyond the track id, by flag.
namespace tfhd {
constexpr std::uint32_t baseDataOffset = 0x1;
constexpr std::uint32_t sampleDescriptionIndex = 0x2;
constexpr std::uint32_t defaultSampleDuration = 0x8;
constexpr std::uint32_t defaultSampleSize = 0x10;
constexpr std::uint32_t defaultSampleFlags = 0x20;
}  // namespace tfhd

// The fields a track run (trun) carries, by flag: some for the run, the rest for every sample.
namespace trun {
constexpr std::uint32_t dataOffset = 0x1;
constexpr std::uint32_t firstSampleFlags = 0x4;
constexpr std::uint32_t sampleDuration = 0x100;
constexpr std::uint32_t sampleSize = 0x200;
constexpr std::uint32_t sampleFlags = 0x400;
constexpr std::uint32_t sampleCompositionOffset = 0x800;
}  // namespace trun

// A sample flag: the sample is not a sync sample (a key frame).
constexpr std::uint32_t kNonSync = 0x00010000;

}  // namespace

std::optional<std::vector<Box>> parseBoxes(std::span<const std::uint8_t> data, int depth) {
    std::vector<Box> out;
    std::size_t pos = 0;
    while (pos < data.size()) {
        if (data.size() - pos < 8) return std::nullopt;
        std::uint64_t size = be32(&data[pos]);
        std::size_t header = 8;
        if (size == 1) {
            if (data.size() - pos < 16) return std::nullopt;
            size = be64(&data[pos + 8]);
            header = 16;
        } else if (size == 0) {
            size = data.size() - pos;
        }
        if (size < header || size > data.size() - pos) return std::nullopt;
        Box box;
        box.type.assign(reinterpret_cast<const char*>(&data[pos + 4]), 4);
        auto payload = data.subspan(pos + header, size - header);
        box.container = isContainer(box.type) && depth < 8;
        if (box.container) {
            auto children = parseBoxes(payload, depth + 1);
            if (!children) return std::nullopt;
            box.children = std::move(*children);
        } else {
            box.payload.assign(payload.begin(), payload.end());
        }
        out.push_back(std::move(box));
        pos += size;
    }
    return out;
}

void serialize(const Box& box, Bytes& out) {
    const std::size_t start = out.size();
    put32(out, 0);
    putType(out, box.type);
    if (box.container) {
        for (const auto& c : box.children) serialize(c, out);
    } else {
        out.insert(out.end(), box.payload.begin(), box.payload.end());
    }
    const auto size = static_cast<std::uint32_t>(out.size() - start);
    for (int i = 0; i < 4; ++i) out[start + i] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
}

Box leaf(std::string_view type, Bytes payload) {
    Box b;
    b.type = std::string(type);
    b.payload = std::move(payload);
    return b;
}

std::optional<TopBox> topBoxAt(const File& file, std::int64_t at, std::int64_t fileSize) {
    std::uint8_t h[16];
    if (fileSize - at < 8 || !file.read(at, h, 8)) return std::nullopt;
    TopBox box;
    box.offset = at;
    box.type.assign(reinterpret_cast<const char*>(h + 4), 4);
    std::uint64_t size = be32(h);
    if (size == 1) {
        if (fileSize - at < 16 || !file.read(at + 8, h + 8, 8)) return std::nullopt;
        size = be64(h + 8);
        box.header = 16;
    } else if (size == 0) {
        size = static_cast<std::uint64_t>(fileSize - at);
    }
    if (size < static_cast<std::uint64_t>(box.header) ||
        size > static_cast<std::uint64_t>(fileSize - at)) {
        return std::nullopt;
    }
    box.size = static_cast<std::int64_t>(size);
    return box;
}

std::optional<TimedHeader> readTimed(const Bytes& p, std::size_t middleBytes) {
    if (p.size() < 4) return std::nullopt;
    TimedHeader h;
    h.version = p[0];
    h.flags = be32(p.data()) & 0xffffff;
    const std::size_t times = h.version == 1 ? 8 : 4;
    const std::size_t need = 4 + 2 * times + middleBytes + times;
    if (p.size() < need) return std::nullopt;
    const std::uint8_t* q = p.data() + 4;
    h.created = times == 8 ? be64(q) : be32(q);
    h.modified = times == 8 ? be64(q + times) : be32(q + times);
    h.middle.assign(q + 2 * times, q + 2 * times + middleBytes);
    const std::uint8_t* d = q + 2 * times + middleBytes;
    h.duration = times == 8 ? be64(d) : be32(d);
    h.rest.assign(p.begin() + static_cast<std::ptrdiff_t>(need), p.end());
    return h;
}

Bytes writeTimed(const TimedHeader& h) {
    const bool wide = h.version == 1 || h.duration > 0xffffffffu || h.created > 0xffffffffu ||
                      h.modified > 0xffffffffu;
    Bytes out;
    put32(out, (wide ? 1u << 24 : 0u) | h.flags);
    if (wide) {
        put64(out, h.created);
        put64(out, h.modified);
    } else {
        put32(out, static_cast<std::uint32_t>(h.created));
        put32(out, static_cast<std::uint32_t>(h.modified));
    }
    out.insert(out.end(), h.middle.begin(), h.middle.end());
    if (wide) {
        put64(out, h.duration);
    } else {
        put32(out, static_cast<std::uint32_t>(h.duration));
    }
    out.insert(out.end(), h.rest.begin(), h.rest.end());
    return out;
}

bool setDuration(Box* box, std::size_t middleBytes, std::uint64_t duration) {
    if (!box) return false;
    auto h = readTimed(box->payload, middleBytes);
    if (!h) return false;
    h->duration = duration;
    box->payload = writeTimed(*h);
    return true;
}

bool readFragment(const std::vector<Box>& moofChildren, std::int64_t moofOffset,
                  std::int64_t mdatBegin, std::int64_t mdatEnd,
                  std::map<std::uint32_t, Track*>& byId) {
    struct Pending {
        Track* track;
        std::vector<Sample> samples;
        std::vector<Chunk> chunks;
        std::optional<std::uint64_t> baseTime;
    };
    std::vector<Pending> pending;
    for (const auto& traf : moofChildren) {
        if (traf.type != "traf") continue;
        const Box* tfhd = traf.child("tfhd");
        if (!tfhd) return false;
        Reader r(tfhd->payload);
        const std::uint32_t tfFlags = r.u32() & 0xffffff;
        const std::uint32_t id = r.u32();
        auto found = byId.find(id);
        if (found == byId.end()) return false;
        Track& track = *found->second;
        std::uint64_t base = static_cast<std::uint64_t>(moofOffset);
        if (tfFlags & tfhd::baseDataOffset) base = r.u64();
        if (tfFlags & tfhd::sampleDescriptionIndex) r.u32();  // sample description index
        std::uint32_t defDuration =
            (tfFlags & tfhd::defaultSampleDuration) ? r.u32() : track.defaultDuration;
        std::uint32_t defSize = (tfFlags & tfhd::defaultSampleSize) ? r.u32() : track.defaultSize;
        std::uint32_t defFlags =
            (tfFlags & tfhd::defaultSampleFlags) ? r.u32() : track.defaultFlags;
        if (!r.ok()) return false;

        Pending p{&track, {}, {}, std::nullopt};
        if (const Box* tfdt = traf.child("tfdt")) {
            Reader t(tfdt->payload);
            const std::uint32_t vf = t.u32();
            p.baseTime = (vf >> 24) == 1 ? t.u64() : t.u32();
            if (!t.ok()) return false;
        }
        std::uint64_t next = base;
        for (const auto& run : traf.children) {
            if (run.type != "trun") continue;
            Reader t(run.payload);
            const std::uint32_t vf = t.u32();
            const std::uint32_t flags = vf & 0xffffff;
            const std::uint32_t count = t.u32();
            if (flags & trun::dataOffset)
                next = base + static_cast<std::int64_t>(static_cast<std::int32_t>(t.u32()));
            std::optional<std::uint32_t> firstFlags;
            if (flags & trun::firstSampleFlags) firstFlags = t.u32();
            // Every sample takes at least a byte of the media box (a bound on a damaged count).
            if (!t.ok() || count > static_cast<std::uint64_t>(mdatEnd - mdatBegin)) return false;
            Chunk chunk{next, 0};
            for (std::uint32_t i = 0; i < count; ++i) {
                Sample s;
                s.duration = (flags & trun::sampleDuration) ? t.u32() : defDuration;
                s.size = (flags & trun::sampleSize) ? t.u32() : defSize;
                std::uint32_t sf = (flags & trun::sampleFlags) ? t.u32() : defFlags;
                if (i == 0 && firstFlags) sf = *firstFlags;
                s.sync = (sf & kNonSync) == 0;
                if (flags & trun::sampleCompositionOffset)
                    s.compositionOffset = static_cast<std::int32_t>(t.u32());
                if (!t.ok()) return false;
                s.offset = next;
                next += s.size;
                if (static_cast<std::int64_t>(s.offset) < mdatBegin ||
                    static_cast<std::int64_t>(next) > mdatEnd) {
                    return false;
                }
                p.samples.push_back(s);
                ++chunk.samples;
            }
            if (chunk.samples > 0) p.chunks.push_back(chunk);
        }
        pending.push_back(std::move(p));
    }
    // The whole fragment is sound: take it.
    for (auto& p : pending) {
        Track& t = *p.track;
        if (p.samples.empty()) continue;
        // A fragment starting later (or earlier) than the previous one ended stretches (or
        // shortens) the previous sample, so that every sample keeps its time.
        if (p.baseTime && !t.samples.empty() && *p.baseTime != t.nextDecodeTime) {
            auto& last = t.samples.back().duration;
            const std::int64_t fixed = static_cast<std::int64_t>(last) +
                                       static_cast<std::int64_t>(*p.baseTime) -
                                       static_cast<std::int64_t>(t.nextDecodeTime);
            last = static_cast<std::uint32_t>(std::max<std::int64_t>(1, fixed));
        }
        if (p.baseTime && t.samples.empty()) t.nextDecodeTime = *p.baseTime;
        for (const auto& s : p.samples) t.nextDecodeTime += s.duration;
        t.samples.insert(t.samples.end(), p.samples.begin(), p.samples.end());
        t.chunks.insert(t.chunks.end(), p.chunks.begin(), p.chunks.end());
    }
    return true;
}

// The sample tables of a track, replacing the header's empty ones (the sample descriptions
// stay).
void fillSampleTables(Track& t) {
    Box* stbl = t.trak->child("mdia") ? t.trak->child("mdia")->child("minf") : nullptr;
    stbl = stbl ? stbl->child("stbl") : nullptr;
    if (!stbl) return;
    std::vector<Box> kept;
    for (auto& c : stbl->children) {
        if (c.type == "stsd" || c.type == "sgpd" || c.type == "sbgp") kept.push_back(std::move(c));
    }
    // Time to sample: runs of equal durations.
    Bytes stts;
    put32(stts, 0);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
    for (const auto& s : t.samples) {
        if (!runs.empty() && runs.back().second == s.duration) {
            ++runs.back().first;
        } else {
            runs.emplace_back(1, s.duration);
        }
    }
    put32(stts, static_cast<std::uint32_t>(runs.size()));
    for (auto [n, d] : runs) {
        put32(stts, n);
        put32(stts, d);
    }
    kept.push_back(leaf("stts", std::move(stts)));
    // Composition offsets, only when some sample is shown at another time than decoded.
    const bool reordered = std::any_of(t.samples.begin(), t.samples.end(),
                                       [](const Sample& s) { return s.compositionOffset != 0; });
    if (reordered) {
        Bytes ctts;
        put32(ctts, 1u << 24);  // version 1: signed offsets
        std::vector<std::pair<std::uint32_t, std::int32_t>> offs;
        for (const auto& s : t.samples) {
            if (!offs.empty() && offs.back().second == s.compositionOffset) {
                ++offs.back().first;
            } else {
                offs.emplace_back(1, s.compositionOffset);
            }
        }
        put32(ctts, static_cast<std::uint32_t>(offs.size()));
        for (auto [n, o] : offs) {
            put32(ctts, n);
            put32(ctts, static_cast<std::uint32_t>(o));
        }
        kept.push_back(leaf("ctts", std::move(ctts)));
    }
    // Sync samples, only when not every sample is one.
    const bool allSync =
        std::all_of(t.samples.begin(), t.samples.end(), [](const Sample& s) { return s.sync; });
    if (!allSync) {
        Bytes stss;
        put32(stss, 0);
        std::vector<std::uint32_t> numbers;
        for (std::size_t i = 0; i < t.samples.size(); ++i) {
            if (t.samples[i].sync) numbers.push_back(static_cast<std::uint32_t>(i + 1));
        }
        put32(stss, static_cast<std::uint32_t>(numbers.size()));
        for (auto n : numbers) put32(stss, n);
        kept.push_back(leaf("stss", std::move(stss)));
    }
    // Sample to chunk: runs of chunks with the same sample count.
    Bytes stsc;
    put32(stsc, 0);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> chunkRuns;  // first chunk, samples
    for (std::size_t i = 0; i < t.chunks.size(); ++i) {
        if (chunkRuns.empty() || chunkRuns.back().second != t.chunks[i].samples) {
            chunkRuns.emplace_back(static_cast<std::uint32_t>(i + 1), t.chunks[i].samples);
        }
    }
    put32(stsc, static_cast<std::uint32_t>(chunkRuns.size()));
    for (auto [first, n] : chunkRuns) {
        put32(stsc, first);
        put32(stsc, n);
        put32(stsc, 1);
    }
    kept.push_back(leaf("stsc", std::move(stsc)));
    // Sample sizes.
    Bytes stsz;
    put32(stsz, 0);
    put32(stsz, 0);
    put32(stsz, static_cast<std::uint32_t>(t.samples.size()));
    for (const auto& s : t.samples) put32(stsz, s.size);
    kept.push_back(leaf("stsz", std::move(stsz)));
    // Chunk offsets, 64-bit only when the file needs them.
    const bool wide = !t.chunks.empty() && t.chunks.back().offset > 0xffffffffu;
    Bytes co;
    put32(co, 0);
    put32(co, static_cast<std::uint32_t>(t.chunks.size()));
    for (const auto& c : t.chunks) {
        if (wide) {
            put64(co, c.offset);
        } else {
            put32(co, static_cast<std::uint32_t>(c.offset));
        }
    }
    kept.push_back(leaf(wide ? "co64" : "stco", std::move(co)));
    stbl->children = std::move(kept);
}

}  // namespace live_movie_detail

LiveMovieState liveMovieState(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return LiveMovieState::notLive;
    live_movie_detail::File file(fd);
    std::uint8_t h[12];
    // An empty file may be a recording's claimed name before its first write.
    struct stat info {};
    const bool empty = fstat(fd, &info) == 0 && info.st_size == 0;
    if (!empty && (!file.read(0, h, sizeof h) || std::memcmp(h + 4, "ftyp", 4) != 0 ||
                   std::memcmp(h + 8, kLiveMovieBrand.data(), 4) != 0)) {
        return LiveMovieState::notLive;
    }
    // A writer holds a shared lock on the movie it writes.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return LiveMovieState::inUse;
    flock(fd, LOCK_UN);
    return empty ? LiveMovieState::notLive : LiveMovieState::unfinished;
}

}  // namespace marlune
