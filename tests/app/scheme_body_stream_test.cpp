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
    bool reading = false, ended = false, cancelled = false;
    char buffer[8192];

    explicit Reader(GInputStream* s) : stream(s) {}
    ~Reader() {
        g_object_unref(cancellable);
        if (stream) g_object_unref(stream);
    }
    void readOnce() {
        reading = true;
        g_input_stream_read_async(
            stream, buffer, sizeof buffer, G_PRIORITY_DEFAULT, cancellable,
            +[](GObject* source, GAsyncResult* result, gpointer data) {
                auto* self = static_cast<Reader*>(data);
                GError* error = nullptr;
                gssize n = g_input_stream_read_finish(G_INPUT_STREAM(source), result, &error);
                self->reading = false;
                self->ended = n == 0;
                if (n > 0) self->received.append(self->buffer, static_cast<std::size_t>(n));
                if (n < 0) {
                    self->cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
                    g_error_free(error);
                }
            },
            this);
    }
    // Keeps reading until the end, a failure, or `limit` bytes.
    void readAll(std::size_t limit = SIZE_MAX) {
        while (!ended && !cancelled && received.size() < limit) {
            if (!reading) readOnce();
            ASSERT_TRUE(runMainUntil([&] { return !reading; }));
        }
    }
};

// Guards a feeder that is not told, or told twice, when the web view gives up on a body.
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
        if (how == Leave::cancelWhileWaiting) reader->readAll(20'000);
        if (how == Leave::cancelWhileWaiting || how == Leave::cancelBetweenReads) {
            if (how == Leave::cancelWhileWaiting) reader->readOnce();  // waits: nothing buffered
            g_cancellable_cancel(reader->cancellable);
            if (how == Leave::cancelBetweenReads) reader->readOnce();
            ASSERT_TRUE(runMainUntil([&] { return !reader->reading; }));
            EXPECT_TRUE(reader->cancelled);
        }
        if (how == Leave::close) g_input_stream_close(reader->stream, nullptr, nullptr);
        if (how == Leave::drop) reader.reset();
        EXPECT_EQ(stops, 1);
        EXPECT_EQ(ready, 1) << "a waiting handler is released when the reader leaves";
        EXPECT_TRUE(body.readerGone());
        body.push("more");
        body.finish();
        EXPECT_EQ(body.buffered(), 0u) << "nothing is kept for a reader that left";
        EXPECT_EQ(stops, 1);
    }
}

}  // namespace
}  // namespace marlune
