#pragma once

// The AVX2 and baseline versions of a loop are picked at load time by an ifunc resolver, which
// runs before ThreadSanitizer has set itself up and crashes it: a TSan build keeps the baseline.
#if defined(__SANITIZE_THREAD__)
#define MARLUNE_PIXEL_LOOP
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MARLUNE_PIXEL_LOOP
#endif
#endif
#ifndef MARLUNE_PIXEL_LOOP
#define MARLUNE_PIXEL_LOOP __attribute__((target_clones("avx2", "default")))
#endif
