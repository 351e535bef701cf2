#include "app/scheme_body_stream.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include "support/main_loop.h"

namespace marlune {
namespace {

using test::runMainUntil;

// Reads the stream the way the web view does: 8 KiB asynchronous reads, one at a time.
struct Reader {
    GInputStream* stream;
    GCancellable* cancellable = g_cancellable_new();
    std::string received;
    bool reading = false;
    bool ended = false;
    bool cancelled = false;
    char buffer[8192];

    explicit Reader(GInputStream* s) : stream(s) {}
    ~Reader() {
        g_object_unref(cancellable);
        if (stream) g_object_unref(stream);
    }

    void readOnce() {
        reading = true;
        g_input_stream_read_async(stream, buffer, sizeof buffer, G_PRIORITY_DEFAULT, cancellable,
                                  &Reader::done, this);
    }

    static void done(GObject* source, GAsyncResult* result, gpointer data) {
        auto* self = static_cast<Reader*>(data);
        GError* error = nullptr;
        gssize n = g_input_stream_read_finish(G_INPUT_STREAM(source), result, &error);
        self->reading = false;
        if (n < 0) {
            self->cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
            g_error_free(error);
        } else if (n == 0) {
            self->ended = true;
        } else {
            self->received.append(self->buffer, static_cast<std::size_t>(n));
        }
    }

    // Keeps reading until the end, a failure, or `limit` bytes.
    void readAll(std::size_t limit = SIZE_MAX) {
        while (!ended && !cancelled && received.size() < limit) {
            if (!reading) readOnce();
            ASSERT_TRUE(runMainUntil([&] { return !reading; }));
        }
    }
};

TEST(SchemeBodyStream, DeliversChunksInSmallReadsAndEnds) {
    SchemeBodyStream body;
    Reader reader(body.releaseStream());
    int stops = 0;
    body.setOnStop([&] { ++stops; });

    // A read made before any data waits for it.
    reader.readOnce();
    test::runMainFor(std::chrono::milliseconds(20));
    EXPECT_TRUE(reader.reading);
    std::string chunk(1'048'576, 'a');
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i % 253);
    body.push(chunk);
    body.push("tail");
    body.finish();
    reader.readAll();
    EXPECT_TRUE(reader.ended);
    EXPECT_EQ(reader.received, chunk + "tail");
    EXPECT_EQ(body.buffered(), 0u);
    g_input_stream_close(reader.stream, nullptr, nullptr);
    g_clear_object(&reader.stream);
    EXPECT_EQ(stops, 0) << "a body read to its end was not stopped";
}

TEST(SchemeBodyStream, AskForMoreOnlyWhenTheBufferRunsLow) {
    SchemeBodyStream body;
    Reader reader(body.releaseStream());
    body.push(std::string(300'000, 'x'));
    int ready = 0;
    body.whenBelow(100'000, [&] { ++ready; });
    EXPECT_EQ(ready, 0);
    reader.readAll(150'000);
    EXPECT_EQ(ready, 0) << "still more than the threshold waits";
    reader.readAll(200'001);
    EXPECT_EQ(ready, 1);
    body.whenBelow(100'000, [&] { ++ready; });  // already below: at once
    EXPECT_EQ(ready, 2);
}

TEST(SchemeBodyStream, ReaderLeavingStopsOnce) {
    enum class Leave { cancelWhileWaiting, cancelBetweenReads, close, drop };
    for (Leave how :
         {Leave::cancelWhileWaiting, Leave::cancelBetweenReads, Leave::close, Leave::drop}) {
        SCOPED_TRACE(static_cast<int>(how));
        SchemeBodyStream body;
        auto reader = std::make_unique<Reader>(body.releaseStream());
        int stops = 0, ready = 0;
        body.setOnStop([&] { ++stops; });
        body.push(std::string(20'000, 'x'));
        body.whenBelow(1, [&] { ++ready; });
        reader->readAll(8192);

        switch (how) {
            case Leave::cancelWhileWaiting:
                reader->readAll(20'000);
                reader->readOnce();  // waits: the buffer is empty
                g_cancellable_cancel(reader->cancellable);
                ASSERT_TRUE(runMainUntil([&] { return !reader->reading; }));
                EXPECT_TRUE(reader->cancelled);
                break;
            case Leave::cancelBetweenReads:
                g_cancellable_cancel(reader->cancellable);
                reader->readOnce();
                ASSERT_TRUE(runMainUntil([&] { return !reader->reading; }));
                EXPECT_TRUE(reader->cancelled);
                break;
            case Leave::close:
                g_input_stream_close(reader->stream, nullptr, nullptr);
                break;
            case Leave::drop:
                reader.reset();
                break;
        }
        EXPECT_EQ(stops, 1);
        EXPECT_EQ(ready, 1) << "a waiting handler is released when the reader leaves";
        EXPECT_TRUE(body.readerGone());
        body.push("more");
        body.finish();
        EXPECT_EQ(body.buffered(), 0u) << "nothing is kept for a reader that left";
        EXPECT_EQ(stops, 1);
    }
}

TEST(SchemeBodyStream, OutlivesItsFeeder) {
    auto body = std::make_unique<SchemeBodyStream>();
    Reader reader(body->releaseStream());
    body->push("abc");
    body->finish();
    body.reset();
    reader.readAll();
    EXPECT_EQ(reader.received, "abc");
    EXPECT_TRUE(reader.ended);
}

}  // namespace
}  // namespace marlune
