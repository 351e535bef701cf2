#include "core/media_sample.h"

#include <ctime>

namespace marlune {

HostTime hostTimeNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<HostTime>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace marlune
