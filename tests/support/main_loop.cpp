#include "support/main_loop.h"

#include <glib.h>

namespace marlune::test {

bool runMainUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    GMainContext* ctx = g_main_context_default();
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        // Wake at least every few milliseconds so the deadline is honoured.
        GSource* tick = g_timeout_source_new(5);
        g_source_set_callback(
            tick, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
        g_source_attach(tick, ctx);
        g_main_context_iteration(ctx, TRUE);
        g_source_destroy(tick);
        g_source_unref(tick);
    }
    return true;
}

void runMainFor(std::chrono::milliseconds duration) {
    auto deadline = std::chrono::steady_clock::now() + duration;
    runMainUntil([&] { return std::chrono::steady_clock::now() >= deadline; }, duration * 2);
}

}  // namespace marlune::test
