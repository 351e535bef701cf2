#pragma once

// libavfilter (the GIF palette) and libavdevice (cameras) are opened the first time they are
// needed instead of at launch: between them they bring 45 libraries the rest of the program does
// not use, among them speech-synthesis voices whose symbol bindings alone took a third of the
// dynamic loader's work at every start. Included only by .cpp files of this folder.

#include <cstdint>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

#include "core/error.h"

namespace marlune::av {

#define MARLUNE_AVFILTER_FUNCTIONS(X) \
    X(avfilter_graph_alloc)           \
    X(avfilter_graph_free)            \
    X(avfilter_graph_create_filter)   \
    X(avfilter_get_by_name)           \
    X(avfilter_inout_alloc)           \
    X(avfilter_inout_free)            \
    X(avfilter_graph_parse_ptr)       \
    X(avfilter_graph_config)          \
    X(av_buffersrc_add_frame_flags)   \
    X(av_buffersink_get_frame)        \
    X(av_buffersink_get_time_base)

// libavfilter's functions this program calls, under their own names.
struct FilterLibrary {
#define MARLUNE_DECLARE(name) decltype(&::name) name = nullptr;
    MARLUNE_AVFILTER_FUNCTIONS(MARLUNE_DECLARE)
#undef MARLUNE_DECLARE
};

// Opened once for the process; the error names the library that could not be loaded.
Result<const FilterLibrary*> filterLibrary();

// Registers libavdevice's inputs (V4L2, the test pictures) once for the process.
Result<void> registerDevices();

}  // namespace marlune::av
