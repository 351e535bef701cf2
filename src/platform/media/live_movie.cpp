#include "platform/media/live_movie.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace marlune {

namespace {

// ---------------------------------------------------------------------------------------------
// Bytes

using Bytes = std::vector<std::uint8_t>;

std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}
std::uint64_t be64(const std::uint8_t* p) {
    return (std::uint64_t{be32(p)} << 32) | be32(p + 4);
}
void put32(Bytes& out, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(v >> s));
}
void put64(Bytes& out, std::uint64_t v) {
    put32(out, static_cast<std::uint32_t>(v >> 32));
    put32(out, static_cast<std::uint32_t>(v));
}
void putType(Bytes& out, std::string_view type) {
    out.insert(out.end(), type.begin(), type.begin() + 4);
}

// A reader over a box's payload that fails softly: reads past the end give zero and mark it.
class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}
    std::uint32_t u32() {
        if (!need(4)) return 0;
        auto v = be32(data_.data() + pos_);
        pos_ += 4;
        return v;
    }
    std::uint64_t u64() {
        if (!need(8)) return 0;
        auto v = be64(data_.data() + pos_);
        pos_ += 8;
        return v;
    }
    bool ok() const { return ok_; }

  private:
    bool need(std::size_t n) {
        if (pos_ + n > data_.size()) ok_ = false;
        return ok_;
    }
    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

// ---------------------------------------------------------------------------------------------
// Boxes

// A box of the index: a container holds children, any other box its payload.
struct Box {
    std::string type;
    Bytes payload;
    std::vector<Box> children;
    bool container = false;

    Box* child(std::string_view t) {
        for (auto& c : children)
            if (c.type == t) return &c;
        return nullptr;
    }
    const Box* child(std::string_view t) const { return const_cast<Box*>(this)->child(t); }
};

bool isContainer(std::string_view type) {
    return type == "moov" || type == "trak" || type == "mdia" || type == "minf" || type == "stbl" ||
           type == "edts" || type == "mvex" || type == "moof" || type == "traf";
}

// Parses the boxes laid end to end in `data`; nothing when they don't fit it exactly.
std::optional<std::vector<Box>> parseBoxes(std::span<const std::uint8_t> data, int depth = 0) {
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

// ---------------------------------------------------------------------------------------------
// The file's top level

// File access through one descriptor; all reads are positioned.
class File {
  public:
    explicit File(int fd) : fd_(fd) {}
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }
    int fd() const { return fd_; }
    std::int64_t size() const {
        struct stat st {};
        return fstat(fd_, &st) == 0 ? st.st_size : -1;
    }
    bool read(std::int64_t at, void* into, std::size_t n) const {
        auto* p = static_cast<std::uint8_t*>(into);
        while (n > 0) {
            ssize_t got = pread(fd_, p, n, at);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            p += got;
            at += got;
            n -= static_cast<std::size_t>(got);
        }
        return true;
    }
    std::optional<Bytes> read(std::int64_t at, std::size_t n) const {
        Bytes out(n);
        if (!read(at, out.data(), n)) return std::nullopt;
        return out;
    }
    bool write(std::int64_t at, const void* from, std::size_t n) {
        const auto* p = static_cast<const std::uint8_t*>(from);
        while (n > 0) {
            ssize_t put = pwrite(fd_, p, n, at);
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return false;
            p += put;
            at += put;
            n -= static_cast<std::size_t>(put);
        }
        return true;
    }

  private:
    int fd_;
};

struct TopBox {
    std::string type;
    std::int64_t offset = 0;
    std::int64_t size = 0;
    int header = 8;
};

// The header of the top-level box at `at`; nothing when it doesn't fit the file.
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

// ---------------------------------------------------------------------------------------------
// Tracks

struct Sample {
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
    std::uint32_t duration = 0;
    std::int32_t compositionOffset = 0;
    bool sync = true;
};

struct Chunk {
    std::uint64_t offset = 0;
    std::uint32_t samples = 0;
};

struct Track {
    std::uint32_t id = 0;
    Box* trak = nullptr;  // inside the header being rebuilt
    std::uint32_t timescale = 0;
    std::int64_t mediaStart = 0;  // the edit's media time: the encoder's priming, skipped
    bool hasEdit = false;
    // Defaults from the header's track extends box.
    std::uint32_t defaultDuration = 0;
    std::uint32_t defaultSize = 0;
    std::uint32_t defaultFlags = 0;
    std::vector<Sample> samples;
    std::vector<Chunk> chunks;
    std::uint64_t nextDecodeTime = 0;

    std::uint64_t mediaDuration() const {
        std::uint64_t d = 0;
        for (const auto& s : samples) d += s.duration;
        return d;
    }
};

constexpr std::uint32_t kNonSync = 0x00010000;

// A full box's version, creation and modification times, one 32-bit field and a duration,
// in either layout: mvhd (timescale), tkhd (track id + reserved), mdhd (timescale).
struct TimedHeader {
    int version = 0;
    std::uint32_t flags = 0;
    std::uint64_t created = 0, modified = 0;
    Bytes middle;  // mvhd/mdhd: timescale; tkhd: track id and reserved
    std::uint64_t duration = 0;
    Bytes rest;
};

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

// Reads one fragment's track runs into the tracks. False when the fragment's index is damaged
// or points outside its media box.
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
        if (tfFlags & 0x1) base = r.u64();
        if (tfFlags & 0x2) r.u32();  // sample description index
        std::uint32_t defDuration = (tfFlags & 0x8) ? r.u32() : track.defaultDuration;
        std::uint32_t defSize = (tfFlags & 0x10) ? r.u32() : track.defaultSize;
        std::uint32_t defFlags = (tfFlags & 0x20) ? r.u32() : track.defaultFlags;
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
            if (flags & 0x1)
                next = base + static_cast<std::int64_t>(static_cast<std::int32_t>(t.u32()));
            std::optional<std::uint32_t> firstFlags;
            if (flags & 0x4) firstFlags = t.u32();
            // Every sample takes at least a byte of the media box (a bound on a damaged count).
            if (!t.ok() || count > static_cast<std::uint64_t>(mdatEnd - mdatBegin)) return false;
            Chunk chunk{next, 0};
            for (std::uint32_t i = 0; i < count; ++i) {
                Sample s;
                s.duration = (flags & 0x100) ? t.u32() : defDuration;
                s.size = (flags & 0x200) ? t.u32() : defSize;
                std::uint32_t sf = (flags & 0x400) ? t.u32() : defFlags;
                if (i == 0 && firstFlags) sf = *firstFlags;
                s.sync = (sf & kNonSync) == 0;
                if (flags & 0x800) s.compositionOffset = static_cast<std::int32_t>(t.u32());
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

Error failure(const std::string& what) {
    return Error{"The recording could not be finished: " + what};
}

Error systemFailure(const std::string& what) {
    return failure(what + " (" + std::strerror(errno) + ").");
}

}  // namespace

LiveMovieState liveMovieState(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return LiveMovieState::notLive;
    File file(fd);
    std::uint8_t h[12];
    if (!file.read(0, h, sizeof h) || std::memcmp(h + 4, "ftyp", 4) != 0 ||
        std::memcmp(h + 8, kLiveMovieBrand.data(), 4) != 0) {
        return LiveMovieState::notLive;
    }
    // A writer holds a shared lock on the movie it writes.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return LiveMovieState::inUse;
    flock(fd, LOCK_UN);
    return LiveMovieState::unfinished;
}

Result<LiveMovieSummary> finishLiveMovie(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return std::unexpected(systemFailure("cannot open " + path.filename().string()));
    File file(fd);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return std::unexpected(failure("it is still being written."));
    const std::int64_t fileSize = file.size();

    auto ftyp = topBoxAt(file, 0, fileSize);
    if (!ftyp || ftyp->type != "ftyp" || ftyp->size < 16) {
        return std::unexpected(failure("it is not a movie."));
    }
    auto ftypBytes = file.read(0, static_cast<std::size_t>(ftyp->size));
    if (!ftypBytes) return std::unexpected(systemFailure("cannot read it"));
    if (std::memcmp(ftypBytes->data() + 8, kLiveMovieBrand.data(), 4) != 0) {
        return std::unexpected(failure("it is not a movie being recorded."));
    }

    // Walk the top level. The live header and the fragment indexes may already have been
    // turned into padding by an earlier run that was cut short: padding that holds a movie
    // header or a fragment header is still read as one.
    std::optional<std::vector<Box>> header;
    std::int64_t headerOffset = -1;
    struct Fragment {
        std::int64_t offset;
        std::vector<Box> children;
        std::int64_t mdatBegin = 0, mdatEnd = 0;
    };
    std::vector<Fragment> fragments;
    std::int64_t goodEnd = ftyp->size;  // the end of the last complete part
    std::int64_t at = ftyp->size;
    std::optional<Fragment> open;
    while (auto box = topBoxAt(file, at, fileSize)) {
        // Indexes are small; a large padding box is only padding.
        const bool small = box->size <= (64 << 20);
        if (box->type == "mdat") {
            if (open) {
                open->mdatBegin = box->offset + box->header;
                open->mdatEnd = box->offset + box->size;
                fragments.push_back(std::move(*open));
                open.reset();
                goodEnd = box->offset + box->size;
            }
        } else if ((box->type == "moov" || box->type == "free" || box->type == "moof") && small) {
            auto bytes = file.read(box->offset + box->header,
                                   static_cast<std::size_t>(box->size - box->header));
            if (!bytes) break;
            auto children = parseBoxes(*bytes);
            const bool parsed = children.has_value() && !children->empty();
            const std::string first = parsed ? children->front().type : "";
            if (parsed && first == "mvhd" && !header) {
                Box moov;
                moov.type = "moov";
                moov.container = true;
                moov.children = std::move(*children);
                if (!moov.child("mvex")) {
                    // An ordinary index from an earlier run: the tail to rebuild starts here.
                    break;
                }
                header = std::move(moov.children);
                headerOffset = box->offset;
                goodEnd = box->offset + box->size;
            } else if (parsed && first == "mvhd") {
                break;  // a second header: an earlier run's index
            } else if (parsed && first == "mfhd" && header) {
                open = Fragment{box->offset, std::move(*children)};
            } else if (box->type != "free") {
                break;  // damaged
            }
        }
        at = box->offset + box->size;
    }
    if (!header) return std::unexpected(failure("its header is missing."));

    // The tracks, as the header describes them.
    Box moov;
    moov.type = "moov";
    moov.container = true;
    moov.children = std::move(*header);
    // Track defaults come from the live header's track extends box, which goes.
    struct Defaults {
        std::uint32_t duration = 0, size = 0, flags = 0;
    };
    std::map<std::uint32_t, Defaults> defaults;
    if (Box* mvex = moov.child("mvex")) {
        for (const auto& trex : mvex->children) {
            if (trex.type != "trex") continue;
            Reader r(trex.payload);
            r.u32();
            const std::uint32_t id = r.u32();
            r.u32();  // sample description index
            Defaults d;
            d.duration = r.u32();
            d.size = r.u32();
            d.flags = r.u32();
            if (r.ok()) defaults[id] = d;
        }
    }
    std::erase_if(moov.children, [](const Box& b) { return b.type == "mvex"; });
    std::uint32_t movieTimescale = 1000;
    if (Box* mvhd = moov.child("mvhd")) {
        if (auto h = readTimed(mvhd->payload, 4)) movieTimescale = be32(h->middle.data());
    }
    if (movieTimescale == 0) movieTimescale = 1000;
    std::vector<Track> tracks;
    for (auto& c : moov.children) {
        if (c.type != "trak") continue;
        Track t;
        t.trak = &c;
        if (Box* tkhd = c.child("tkhd")) {
            if (auto h = readTimed(tkhd->payload, 8)) t.id = be32(h->middle.data());
        }
        Box* mdia = c.child("mdia");
        if (Box* mdhd = mdia ? mdia->child("mdhd") : nullptr) {
            if (auto h = readTimed(mdhd->payload, 4)) t.timescale = be32(h->middle.data());
        }
        if (Box* edts = c.child("edts")) {
            if (Box* elst = edts->child("elst")) {
                Reader r(elst->payload);
                const std::uint32_t version = r.u32() >> 24;
                const std::uint32_t entries = r.u32();
                for (std::uint32_t i = 0; i < entries && r.ok(); ++i) {
                    if (version == 1) {
                        r.u64();
                    } else {
                        r.u32();
                    }
                    const std::int64_t mediaTime = version == 1
                                                       ? static_cast<std::int64_t>(r.u64())
                                                       : static_cast<std::int32_t>(r.u32());
                    r.u32();  // rate
                    if (mediaTime >= 0 && r.ok()) {
                        t.mediaStart = mediaTime;
                        t.hasEdit = true;
                        break;  // the first non-empty edit
                    }
                }
            }
        }
        if (t.timescale == 0) return std::unexpected(failure("a track has no time scale."));
        if (auto d = defaults.find(t.id); d != defaults.end()) {
            t.defaultDuration = d->second.duration;
            t.defaultSize = d->second.size;
            t.defaultFlags = d->second.flags;
        }
        tracks.push_back(std::move(t));
    }
    std::map<std::uint32_t, Track*> byId;
    for (auto& t : tracks) byId[t.id] = &t;

    // The fragments, up to the first damaged one.
    int kept = 0;
    std::int64_t mediaEnd = fragments.empty() ? goodEnd : -1;
    for (const auto& f : fragments) {
        if (!readFragment(f.children, f.offset, f.mdatBegin, f.mdatEnd, byId)) break;
        ++kept;
        mediaEnd = f.mdatEnd;
    }
    if (kept == 0) return std::unexpected(failure("it holds no complete part."));
    if (kept < static_cast<int>(fragments.size())) goodEnd = mediaEnd;

    // The ordinary header: sample tables filled, durations and edits set.
    std::uint64_t movieDuration = 0;
    LiveMovieSummary summary;
    for (auto& t : tracks) {
        fillSampleTables(t);
        const std::uint64_t media = t.mediaDuration();
        const std::uint64_t shown =
            media > static_cast<std::uint64_t>(t.mediaStart) ? media - t.mediaStart : 0;
        const std::uint64_t shownMovie = shown * movieTimescale / t.timescale;
        movieDuration = std::max(movieDuration, shownMovie);
        summary.durationSeconds =
            std::max(summary.durationSeconds, static_cast<double>(shown) / t.timescale);
        setDuration(t.trak->child("tkhd"), 8, shownMovie);
        if (Box* mdia = t.trak->child("mdia")) setDuration(mdia->child("mdhd"), 4, media);
        if (t.hasEdit) {
            Bytes elst;
            put32(elst, 1u << 24);
            put32(elst, 1);
            put64(elst, shownMovie);
            put64(elst, static_cast<std::uint64_t>(t.mediaStart));
            put32(elst, 0x00010000);
            Box edts;
            edts.type = "edts";
            edts.container = true;
            edts.children.push_back(leaf("elst", std::move(elst)));
            *t.trak->child("edts") = std::move(edts);
        }
    }
    setDuration(moov.child("mvhd"), 4, movieDuration);
    Bytes index;
    serialize(moov, index);

    // 1. Cut off what cannot be kept and append the index; make that durable before the old
    //    headers go, so that an interruption never leaves a file with neither.
    summary.fragments = kept;
    summary.bytesDropped = fileSize - goodEnd;
    if (ftruncate(fd, goodEnd) != 0) return std::unexpected(systemFailure("cannot shorten it"));
    if (!file.write(goodEnd, index.data(), index.size())) {
        auto error = systemFailure("no room for its index");
        (void)ftruncate(fd, goodEnd);  // it stays a playable live movie
        return std::unexpected(error);
    }
    fdatasync(fd);
    // 2. The live header and the fragment indexes become padding.
    static const char kFree[4] = {'f', 'r', 'e', 'e'};
    bool flipped = file.write(headerOffset + 4, kFree, 4);
    for (int i = 0; i < kept; ++i) {
        flipped =
            flipped && file.write(fragments[static_cast<std::size_t>(i)].offset + 4, kFree, 4);
    }
    if (!flipped) return std::unexpected(systemFailure("cannot write it"));
    fdatasync(fd);
    // 3. Last, the brand that marked it live.
    // Major brand at 8, minor version at 12, compatible brands from 16.
    Bytes type = *ftypBytes;
    static const std::uint8_t kIsom[4] = {'i', 's', 'o', 'm'};
    for (std::size_t i = 8; i + 4 <= type.size(); i += 4) {
        if (i == 8 || (i >= 16 && std::memcmp(type.data() + i, kLiveMovieBrand.data(), 4) == 0)) {
            std::copy(kIsom, kIsom + 4, type.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    if (!file.write(0, type.data(), type.size()))
        return std::unexpected(systemFailure("cannot write it"));
    fdatasync(fd);
    return summary;
}

}  // namespace marlune
