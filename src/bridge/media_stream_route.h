#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marlune {

// A live sequence of JPEG pictures that the media server sends as one
// "multipart/x-mixed-replace" answer: the editor plays the export's own pictures from it.
// next() and cancel() are called from the server's sending thread, cancel() also from the
// server's queue; both must be safe together.
class PictureStream {
  public:
    struct Part {
        std::string jpeg;  // the picture's bytes
        double tMs = 0;    // the recording time it shows
    };

    virtual ~PictureStream() = default;
    // Blocks until the next picture is due and made; nothing once the stream has ended (its range
    // is over, it failed, or it was cancelled).
    virtual std::optional<Part> next() = 0;
    // Ends the stream: a next() under way returns soon, later ones return nothing.
    virtual void cancel() = 0;
};

// The streams the media server has been given and not yet ended. A stream is published under a
// random id and taken by the first request for "/.stream/<id>" (a second request gets 404); at
// most kMaxWaiting wait unread.
// Every member may be called from any thread.
class PictureStreamTable {
  public:
    static constexpr std::string_view kPrefix = "/.stream/";
    // Published streams kept unread: older ones are cancelled and forgotten.
    static constexpr std::size_t kMaxWaiting = 4;

    // The path that takes `stream` ("/.stream/<id>"), or nothing when no random id can be made.
    std::optional<std::string> publish(std::shared_ptr<PictureStream> stream);
    // The stream a decoded request path names, removed from the table; null when none.
    std::shared_ptr<PictureStream> take(std::string_view decodedPath);
    // Cancels every stream, published or being sent, and refuses new ones.
    void cancelAll();

  private:
    struct Entry {
        std::string id;
        std::shared_ptr<PictureStream> waiting;  // until taken
        std::weak_ptr<PictureStream> sending;    // once taken
    };
    std::mutex lock_;
    std::vector<Entry> entries_;
    bool closed_ = false;
};

// The answer's head, without the connection field: the part boundary, no caching, and readable by
// the page's scripts (whose origin is the "marlune" scheme; the URL's token is the secret).
std::string pictureStreamHead();
// One part as sent: boundary line, type, length, "X-Marlune-Time" (ms, the recording time), the
// picture and its line end.
std::string pictureStreamPart(const PictureStream::Part& part);

// Sends parts on a blocking socket until the stream ends or the client leaves. On the server's
// sending thread; the head is already sent.
void sendPictureStream(int fd, PictureStream& stream);

}  // namespace marlune
