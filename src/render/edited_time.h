#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "library/edit_document.h"
#include "render/time_map.h"

namespace marlune {

// Cuts and speed-ups move everything that happens in a recording onto the exported movie's
// clock. The motion (zoom regions, the pointer, caret and clicks) is simulated on the "edited
// clock": output time plus the source time where the output starts, so that without cuts or
// speeds it is the recording's own clock and nothing changes. A click or a sample inside a cut is
// gone; a zoom that spans a cut keeps going across the join; in a sped-up stretch everything
// happens faster. Pure functions; any thread.

// The time map of `request` over [startMs, endMs] with its cuts and speeds.
TimeMap requestTimeMap(const ExportRequest& request, std::int64_t startMs, std::int64_t endMs);

// Source time `srcMs` on the edited clock of `map` (a removed time goes where its cut went).
double editedMs(const TimeMap& map, double srcMs);

// The zoom regions on the edited clock: their edges mapped, a region left without length (all of
// it cut) dropped. Unchanged when the map does not change time.
std::vector<ZoomSegment> editedZooms(const std::vector<ZoomSegment>& zooms, const TimeMap& map);

// The cursor tracks on the edited clock: samples and clicks inside cuts dropped, the others'
// times mapped. Unchanged when the map does not change time.
std::optional<CursorFX> editedCursor(const std::optional<CursorFX>& cursor, const TimeMap& map);

}  // namespace marlune
