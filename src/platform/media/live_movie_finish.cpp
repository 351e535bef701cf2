// Finishing a live movie, step by step. The order of the writes is what makes it safe to cut
// short: the new index is appended and made durable first, the live indexes become padding
// next, and the brand that marks the file live goes last (see finishLiveMovie in live_movie.h).

#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <cstring>

#include "platform/media/live_movie.h"
#include "platform/media/live_movie_format.h"

namespace marlune {

using namespace live_movie_detail;

namespace {

Error failure(const std::string& what, ErrorCode code = ErrorCode::failed) {
    return Error{"The recording could not be finished: " + what, code};
}

Error systemFailure(const std::string& what) {
    return failure(what + " (" + std::strerror(errno) + ").");
}

// ---------------------------------------------------------------------------------------------
// Reading the live file

// The file type box, when it marks the file as a live movie.
Result<Bytes> readLiveFileType(const File& file, std::int64_t fileSize) {
    auto ftyp = topBoxAt(file, 0, fileSize);
    if (!ftyp || ftyp->type != "ftyp" || ftyp->size < 16) {
        return std::unexpected(failure("it is not a movie.", ErrorCode::nothingKept));
    }
    auto ftypBytes = file.read(0, static_cast<std::size_t>(ftyp->size));
    if (!ftypBytes) return std::unexpected(systemFailure("cannot read it"));
    if (std::memcmp(ftypBytes->data() + 8, kLiveMovieBrand.data(), 4) != 0) {
        return std::unexpected(failure("it is not a movie being recorded."));
    }
    return std::move(*ftypBytes);
}

// What a top-level box after the file type is to the finishing. The live header and the fragment
// indexes may already have been turned into padding by an earlier run that was cut short:
// padding that holds a movie header or a fragment header is still read as one.
enum class TopLevelPart {
    media,          // a media box: it completes the fragment index before it
    liveHeader,     // the live header (a movie header with track extends)
    fragmentIndex,  // a fragment's index, once the live header has been seen
    earlierIndex,   // an ordinary header from an earlier run: the tail to rebuild starts there
    skipped,        // padding, or a box that is no index (large, or of another type)
    damaged,        // unreadable, or an index that does not parse: the walk ends there
};

struct ClassifiedPart {
    TopLevelPart part = TopLevelPart::skipped;
    std::vector<Box> children;  // of a live header or a fragment index
};

ClassifiedPart classifyTopLevelPart(const File& file, const TopBox& box, bool haveHeader) {
    if (box.type == "mdat") return {TopLevelPart::media, {}};
    // Indexes are small; a large padding box is only padding.
    const bool small = box.size <= (64 << 20);
    const bool mayBeIndex = box.type == "moov" || box.type == "free" || box.type == "moof";
    if (!mayBeIndex || !small) return {TopLevelPart::skipped, {}};
    auto bytes =
        file.read(box.offset + box.header, static_cast<std::size_t>(box.size - box.header));
    if (!bytes) return {TopLevelPart::damaged, {}};
    auto children = parseBoxes(*bytes);
    const bool parsed = children.has_value() && !children->empty();
    const std::string first = parsed ? children->front().type : "";
    if (parsed && first == "mvhd") {
        if (haveHeader) return {TopLevelPart::earlierIndex, {}};  // a second header
        const bool live = std::any_of(children->begin(), children->end(),
                                      [](const Box& b) { return b.type == "mvex"; });
        if (!live) return {TopLevelPart::earlierIndex, {}};
        return {TopLevelPart::liveHeader, std::move(*children)};
    }
    if (parsed && first == "mfhd" && haveHeader) {
        return {TopLevelPart::fragmentIndex, std::move(*children)};
    }
    return {box.type == "free" ? TopLevelPart::skipped : TopLevelPart::damaged, {}};
}

struct Fragment {
    std::int64_t offset;
    std::vector<Box> children;
    std::int64_t mdatBegin = 0, mdatEnd = 0;
};

// The live file's parts, as far as they are whole.
struct LiveLayout {
    std::optional<std::vector<Box>> header;
    std::int64_t headerOffset = -1;
    std::vector<Fragment> fragments;  // each with its media box
    std::int64_t goodEnd = 0;         // the end of the last complete part
};

LiveLayout walkTopLevel(const File& file, std::int64_t start, std::int64_t fileSize) {
    LiveLayout layout;
    layout.goodEnd = start;
    std::int64_t at = start;
    std::optional<Fragment> open;
    while (auto box = topBoxAt(file, at, fileSize)) {
        auto [part, children] = classifyTopLevelPart(file, *box, layout.header.has_value());
        switch (part) {
            case TopLevelPart::media:
                if (open) {
                    open->mdatBegin = box->offset + box->header;
                    open->mdatEnd = box->offset + box->size;
                    layout.fragments.push_back(std::move(*open));
                    open.reset();
                    layout.goodEnd = box->offset + box->size;
                }
                break;
            case TopLevelPart::liveHeader:
                layout.header = std::move(children);
                layout.headerOffset = box->offset;
                layout.goodEnd = box->offset + box->size;
                break;
            case TopLevelPart::fragmentIndex:
                open = Fragment{box->offset, std::move(children)};
                break;
            case TopLevelPart::skipped:
                break;
            case TopLevelPart::earlierIndex:
            case TopLevelPart::damaged:
                return layout;
        }
        at = box->offset + box->size;
    }
    return layout;
}

// ---------------------------------------------------------------------------------------------
// Rebuilding the index

struct TrackDefaults {
    std::uint32_t duration = 0, size = 0, flags = 0;
};

// Track defaults come from the live header's track extends box, which goes.
std::map<std::uint32_t, TrackDefaults> takeTrackDefaults(Box& moov) {
    std::map<std::uint32_t, TrackDefaults> defaults;
    if (Box* mvex = moov.child("mvex")) {
        for (const auto& trex : mvex->children) {
            if (trex.type != "trex") continue;
            Reader r(trex.payload);
            r.u32();
            const std::uint32_t id = r.u32();
            r.u32();  // sample description index
            TrackDefaults d;
            d.duration = r.u32();
            d.size = r.u32();
            d.flags = r.u32();
            if (r.ok()) defaults[id] = d;
        }
    }
    std::erase_if(moov.children, [](const Box& b) { return b.type == "mvex"; });
    return defaults;
}

std::uint32_t movieTimescaleOf(Box& moov) {
    std::uint32_t movieTimescale = 1000;
    if (Box* mvhd = moov.child("mvhd")) {
        if (auto h = readTimed(mvhd->payload, 4)) movieTimescale = be32(h->middle.data());
    }
    return movieTimescale == 0 ? 1000 : movieTimescale;
}

// The first non-empty edit's media time, when the track has one.
void readEdit(Box& trak, Track& t) {
    Box* edts = trak.child("edts");
    Box* elst = edts ? edts->child("elst") : nullptr;
    if (!elst) return;
    Reader r(elst->payload);
    const std::uint32_t version = r.u32() >> 24;
    const std::uint32_t entries = r.u32();
    for (std::uint32_t i = 0; i < entries && r.ok(); ++i) {
        if (version == 1) {
            r.u64();
        } else {
            r.u32();
        }
        const std::int64_t mediaTime =
            version == 1 ? static_cast<std::int64_t>(r.u64()) : static_cast<std::int32_t>(r.u32());
        r.u32();  // rate
        if (mediaTime >= 0 && r.ok()) {
            t.mediaStart = mediaTime;
            t.hasEdit = true;
            return;
        }
    }
}

// The tracks, as the header describes them. Each points into `moov`, which must stay put.
Result<std::vector<Track>> readTracks(Box& moov,
                                      const std::map<std::uint32_t, TrackDefaults>& defaults) {
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
        readEdit(c, t);
        if (t.timescale == 0) return std::unexpected(failure("a track has no time scale."));
        if (auto d = defaults.find(t.id); d != defaults.end()) {
            t.defaultDuration = d->second.duration;
            t.defaultSize = d->second.size;
            t.defaultFlags = d->second.flags;
        }
        tracks.push_back(std::move(t));
    }
    return tracks;
}

// Reads the fragments into the tracks, up to the first damaged one; the file's good end moves
// back to the end of the last fragment kept. The number kept.
int keepCompleteFragments(LiveLayout& layout, std::vector<Track>& tracks) {
    std::map<std::uint32_t, Track*> byId;
    for (auto& t : tracks) byId[t.id] = &t;
    int kept = 0;
    std::int64_t mediaEnd = layout.fragments.empty() ? layout.goodEnd : -1;
    for (const auto& f : layout.fragments) {
        if (!readFragment(f.children, f.offset, f.mdatBegin, f.mdatEnd, byId)) break;
        ++kept;
        mediaEnd = f.mdatEnd;
    }
    if (kept > 0 && kept < static_cast<int>(layout.fragments.size())) layout.goodEnd = mediaEnd;
    return kept;
}

// The ordinary header: sample tables filled, durations and edits set. Sets the summary's
// duration.
Bytes buildOrdinaryIndex(Box& moov, std::vector<Track>& tracks, std::uint32_t movieTimescale,
                         LiveMovieSummary& summary) {
    std::uint64_t movieDuration = 0;
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
    return index;
}

// ---------------------------------------------------------------------------------------------
// Writing, in the order that keeps the file whole

// Cuts off what cannot be kept and appends the index, durably, before the old headers go, so
// that an interruption never leaves a file with neither.
Result<void> appendIndex(File& file, std::int64_t goodEnd, const Bytes& index) {
    if (ftruncate(file.fd(), goodEnd) != 0) {
        return std::unexpected(systemFailure("cannot shorten it"));
    }
    if (!file.write(goodEnd, index.data(), index.size())) {
        auto error = systemFailure("no room for its index");
        (void)ftruncate(file.fd(), goodEnd);  // it stays a playable live movie
        return std::unexpected(error);
    }
    fdatasync(file.fd());
    return {};
}

// The live header and the indexes of the fragments kept become padding.
Result<void> turnLiveIndexesIntoPadding(File& file, const LiveLayout& layout, int kept) {
    static const char kFree[4] = {'f', 'r', 'e', 'e'};
    bool written = file.write(layout.headerOffset + 4, kFree, 4);
    for (int i = 0; i < kept; ++i) {
        written = written &&
                  file.write(layout.fragments[static_cast<std::size_t>(i)].offset + 4, kFree, 4);
    }
    if (!written) return std::unexpected(systemFailure("cannot write it"));
    fdatasync(file.fd());
    return {};
}

// Last, the brand that marked it live (as the major brand and among the compatible ones).
Result<void> replaceLiveBrand(File& file, Bytes type) {
    // Major brand at 8, minor version at 12, compatible brands from 16.
    static const std::uint8_t kIsom[4] = {'i', 's', 'o', 'm'};
    for (std::size_t i = 8; i + 4 <= type.size(); i += 4) {
        if (i == 8 || (i >= 16 && std::memcmp(type.data() + i, kLiveMovieBrand.data(), 4) == 0)) {
            std::copy(kIsom, kIsom + 4, type.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    if (!file.write(0, type.data(), type.size())) {
        return std::unexpected(systemFailure("cannot write it"));
    }
    fdatasync(file.fd());
    return {};
}

}  // namespace

Result<LiveMovieSummary> finishLiveMovie(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return std::unexpected(systemFailure("cannot open " + path.filename().string()));
    File file(fd);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return std::unexpected(failure("it is still being written."));
    const std::int64_t fileSize = file.size();

    auto fileType = readLiveFileType(file, fileSize);
    if (!fileType) return std::unexpected(fileType.error());
    LiveLayout layout = walkTopLevel(file, static_cast<std::int64_t>(fileType->size()), fileSize);
    if (!layout.header) {
        return std::unexpected(failure("its header is missing.", ErrorCode::nothingKept));
    }

    Box moov;
    moov.type = "moov";
    moov.container = true;
    moov.children = std::move(*layout.header);
    const auto defaults = takeTrackDefaults(moov);
    const std::uint32_t movieTimescale = movieTimescaleOf(moov);
    auto tracks = readTracks(moov, defaults);
    if (!tracks) return std::unexpected(tracks.error());

    const int kept = keepCompleteFragments(layout, *tracks);
    if (kept == 0) {
        return std::unexpected(failure("it holds no complete part.", ErrorCode::nothingKept));
    }

    LiveMovieSummary summary;
    const Bytes index = buildOrdinaryIndex(moov, *tracks, movieTimescale, summary);
    summary.fragments = kept;
    summary.bytesDropped = fileSize - layout.goodEnd;

    if (auto appended = appendIndex(file, layout.goodEnd, index); !appended) {
        return std::unexpected(appended.error());
    }
    if (auto padded = turnLiveIndexesIntoPadding(file, layout, kept); !padded) {
        return std::unexpected(padded.error());
    }
    if (auto rebranded = replaceLiveBrand(file, std::move(*fileType)); !rebranded) {
        return std::unexpected(rebranded.error());
    }
    return summary;
}

}  // namespace marlune
