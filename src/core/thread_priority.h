#pragma once

#include <sys/resource.h>
#include <unistd.h>

namespace marlune {

// The nice value of work nobody is watching frame by frame (exports): a step below the window,
// the page and a recording's capture, so that on a busy machine the editor stays smooth and the
// export simply takes a little longer. With nothing else to run it is as fast as ever.
inline constexpr int kBackgroundNice = 10;

// Lowers the calling thread (only it: Linux keeps a nice value per thread) to kBackgroundNice.
// Threads it starts afterwards inherit the value. A failure leaves the thread as it was.
inline void lowerThisThreadPriority() {
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kBackgroundNice);
}

}  // namespace marlune
