#pragma once

#include <chrono>
#include <functional>

namespace marlune::test {

// Runs the main context until `done` returns true or `timeout` passes; returns `done()`.
bool runMainUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5));
// Runs the main context for a while, handling whatever becomes ready.
void runMainFor(std::chrono::milliseconds duration);

}  // namespace marlune::test
