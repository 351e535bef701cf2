#include "bridge/media_stream_route.h"

#include <algorithm>
#include <cstdio>

#include "core/random_hex.h"
#include "core/write_fully.h"

namespace marlune {

namespace {

constexpr std::string_view kBoundary = "marlunepicture";

}  // namespace

std::optional<std::string> PictureStreamTable::publish(std::shared_ptr<PictureStream> stream) {
    auto id = randomHex(12);
    if (!id) return std::nullopt;
    std::lock_guard guard(lock_);
    if (closed_) return std::nullopt;
    // Streams that ended are forgotten here, and so are the oldest of those never asked for (a
    // page that let go before reading), so the table never grows past a few.
    std::erase_if(entries_, [](const Entry& e) { return !e.waiting && e.sending.expired(); });
    for (std::size_t waiting = 0, i = entries_.size(); i-- > 0;) {
        if (entries_[i].waiting && ++waiting > kMaxWaiting) {
            entries_[i].waiting->cancel();
            entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    entries_.push_back({*id, std::move(stream), {}});
    return std::string(kPrefix) + *id;
}

std::shared_ptr<PictureStream> PictureStreamTable::take(std::string_view decodedPath) {
    if (!decodedPath.starts_with(kPrefix)) return nullptr;
    const std::string_view id = decodedPath.substr(kPrefix.size());
    std::lock_guard guard(lock_);
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [&](const Entry& e) { return e.waiting && e.id == id; });
    if (it == entries_.end()) return nullptr;
    std::shared_ptr<PictureStream> stream = std::move(it->waiting);
    it->waiting.reset();
    it->sending = stream;
    return stream;
}

void PictureStreamTable::cancelAll() {
    std::vector<std::shared_ptr<PictureStream>> live;
    {
        std::lock_guard guard(lock_);
        closed_ = true;
        for (auto& e : entries_) {
            if (auto s = e.waiting ? e.waiting : e.sending.lock()) live.push_back(std::move(s));
        }
        entries_.clear();
    }
    for (auto& s : live) s->cancel();
}

std::string pictureStreamHead() {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/x-marlune-pictures; boundary=" +
           std::string(kBoundary) +
           "\r\nCache-Control: no-store\r\nAccess-Control-Allow-Origin: *\r\n"
           "Access-Control-Expose-Headers: X-Marlune-Time\r\n";
}

std::string pictureStreamPart(const PictureStream::Part& part) {
    char time[32];
    std::snprintf(time, sizeof time, "%.3f", part.tMs);
    std::string text =
        "--" + std::string(kBoundary) +
        "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(part.jpeg.size()) +
        "\r\nX-Marlune-Time: " + time + "\r\n\r\n";
    text += part.jpeg;
    text += "\r\n";
    return text;
}

void sendPictureStream(int fd, PictureStream& stream) {
    while (auto part = stream.next()) {
        if (!sendFully(fd, pictureStreamPart(*part))) break;
    }
    stream.cancel();
    sendFully(fd, "--" + std::string(kBoundary) + "--\r\n");
}

}  // namespace marlune
