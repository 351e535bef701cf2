#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

typedef struct _GInputStream GInputStream;

namespace marlune {

// The body of one "marlune" scheme answer as the web view reads it: an input stream fed chunk by
// chunk. The scheme handler pushes whole 1 MiB chunks; WebKit pulls 8 KiB at a time with
// asynchronous reads, so the chunks wait here until they are read.
//
// The web view tells of a stop only through the stream: it cancels a read, closes the stream
// before the end or drops its last reference. Any of these counts as the reader being gone:
// `onStop` runs once, what is buffered is freed and later pushes are dropped.
//
// Main thread only (WebKit reads on the main thread; the stream also refuses synchronous reads
// that would have to wait). This object and the stream object share the state; either may go
// first.
class SchemeBodyStream {
  public:
    SchemeBodyStream();
    ~SchemeBodyStream();
    SchemeBodyStream(const SchemeBodyStream&) = delete;
    SchemeBodyStream& operator=(const SchemeBodyStream&) = delete;

    // The stream object, with the one reference this object had: call once, and hand it to the
    // reader.
    GInputStream* releaseStream();

    void push(std::string bytes);
    // No more bytes: once the buffer is read, reads answer end-of-stream.
    void finish();
    // Bytes pushed and not read yet.
    std::size_t buffered() const;
    bool readerGone() const;

    // Runs `ready` once fewer than `threshold` bytes wait: at once when that is already so, later
    // when a read brings the buffer below it, or when the reader goes away. A later call replaces
    // a waiting one.
    void whenBelow(std::size_t threshold, std::function<void()> ready);
    void setOnStop(std::function<void()> onStop);

    struct State;

  private:
    std::shared_ptr<State> state_;
    GInputStream* stream_ = nullptr;  // the reference not yet released
};

}  // namespace marlune
