#pragma once

// The pieces `finishLiveMovie` works with: the MPEG-4 boxes of a live movie's indexes, the file
// they sit in, and the tracks rebuilt from its fragments. Internal to live_movie*.cpp.

#include <unistd.h>

#include <sys/stat.h>
#include <cerrno>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace marlune::live_movie_detail {

// ---------------------------------------------------------------------------------------------
// Bytes

using Bytes = std::vector<std::uint8_t>;

inline std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}
inline std::uint64_t be64(const std::uint8_t* p) {
    return (std::uint64_t{be32(p)} << 32) | be32(p + 4);
}
inline void put32(Bytes& out, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(v >> s));
}
inline void put64(Bytes& out, std::uint64_t v) {
    put32(out, static_cast<std::uint32_t>(v >> 32));
    put32(out, static_cast<std::uint32_t>(v));
}
inline void putType(Bytes& out, std::string_view type) {
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

// Parses the boxes laid end to end in `data`; nothing when they don't fit it exactly.
std::optional<std::vector<Box>> parseBoxes(std::span<const std::uint8_t> data, int depth = 0);
// Appends `box` (with its children) to `out`.
void serialize(const Box& box, Bytes& out);
Box leaf(std::string_view type, Bytes payload);

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
std::optional<TopBox> topBoxAt(const File& file, std::int64_t at, std::int64_t fileSize);

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

std::optional<TimedHeader> readTimed(const Bytes& p, std::size_t middleBytes);
Bytes writeTimed(const TimedHeader& h);
// Rewrites a timed header's duration; false when the box is missing or damaged.
bool setDuration(Box* box, std::size_t middleBytes, std::uint64_t duration);

// Reads one fragment's track runs into the tracks. False when the fragment's index is damaged
// or points outside its media box.
bool readFragment(const std::vector<Box>& moofChildren, std::int64_t moofOffset,
                  std::int64_t mdatBegin, std::int64_t mdatEnd,
                  std::map<std::uint32_t, Track*>& byId);

// The sample tables of a track, replacing the header's empty ones (the sample descriptions
// stay).
void fillSampleTables(Track& t);

}  // namespace marlune::live_movie_detail
