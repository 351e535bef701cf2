#pragma once

#include <cstdint>
#include <optional>

#include "core/json.h"

namespace marlune {

// What a trimmed copy of [startMs, endMs) of a recording keeps of the recording's project file
// (its members as the recorder and the editor write them), on the copy's own timeline:
// - "clicks", "cursorPath", "caretPath": times shifted by −startMs, samples outside the copy
//   dropped; the pointer's and the caret's last place before the start is kept at time 0, so the
//   copy knows where they are from its first frame;
// - "edit": its "range" the whole copy, its "zooms" shifted and cut to the copy (those outside
//   dropped);
// - "webcam": kept when the webcam movie has pictures inside the copy, its "offsetMs" for the copy
//   (the webcam movie is trimmed by `webcamRange`); its "file" is the caller's to rename.
// Other members are kept as they are.
Json trimmedProject(const Json& project, std::int64_t startMs, std::int64_t endMs);

// The part of the webcam movie that goes with [startMs, endMs) of the recording, in the webcam
// movie's own milliseconds, for a webcam entry with `offsetMs` (webcam time = recording time −
// offsetMs); nothing when the webcam has no picture in that range.
struct MsRange {
    std::int64_t startMs = 0;
    std::int64_t endMs = 0;
    bool operator==(const MsRange&) const = default;
};
std::optional<MsRange> webcamRange(double offsetMs, std::int64_t startMs, std::int64_t endMs);

}  // namespace marlune
