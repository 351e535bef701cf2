#pragma once

#include <vector>

#include "core/json.h"
#include "library/edit_document.h"

namespace marlune {

// Zoom regions proposed from what happened in a recording: its clicks and its caret (typing).
// The editor offers them as a starting point ("Auto zoom"); the person keeps, moves or removes them
// like regions placed by hand. Pure functions of the tracks: no state, any thread.
//
// The rules, in order:
// 1. Clicks at most kClickGapMs apart, inside a square kClickSpread of the frame wide, are one
//    burst of clicking. Caret samples (taken only while the caret moves) at most kTypingGapMs
//    apart and at most kTypingJump from the previous one are one burst of typing; a burst needs
//    kMinTypingSamples samples, so a click into a field is not typing.
// 2. Each burst becomes a region from kLeadMs before its first event (the zoom is in by then) to
//    kTailMs after its last (it stays in a moment, then goes out), kept inside the recording and at
//    least kMinLengthMs long: the zoom's whole way in and out.
// 3. Regions that overlap or leave less than kJoinGapMs between them are joined, so the camera
//    does not go out only to come straight back, as long as the joined region stays within
//    kMaxJoinMs. Longer ones are cut where the activity changes, and meet there: the zoom holds
//    across the join and only its scale and aim change. So regions never overlap and the gap
//    between two is either none or at least kJoinGapMs.
// 4. With a recorded pointer path a region follows: the caret when it holds typing, else the
//    pointer, starting from its first event. Without one it holds still on the middle of its
//    events. The scale shows how spread the events are: closer activity zooms further, from
//    kMaxScale for one spot down to kMinScale; a still region's view takes in all its events.

// What the proposal reads from a recording's project file.
struct AutoZoomTracks {
    std::vector<TrackPoint> clicks;  // mouse-downs
    std::vector<TrackPoint> caret;   // caret samples
    bool pointer = false;            // a pointer path exists: regions can follow
    double durationMs = 0;           // the recording's length; 0 when not known (no end bound)

    // From the project file's "clicks" ({t, fx, fy}), "caretPath" ([t, fx, fy]) and "cursorPath"
    // members. Malformed samples are skipped; positions are kept inside the frame; both tracks come
    // out in time order. Anything else, or no object at all, gives empty tracks.
    static AutoZoomTracks fromProject(const Json& project, double durationMs = 0);
};

struct AutoZoom {
    ZoomSegment zoom;     // default ramps; follow as rule 4 says
    bool typing = false;  // the region holds typing: a following camera follows the caret
};

inline constexpr double kClickGapMs = 3000;
inline constexpr double kClickSpread = 0.4;
inline constexpr double kTypingGapMs = 1500;
inline constexpr double kTypingJump = 0.3;
inline constexpr int kMinTypingSamples = 4;
inline constexpr double kLeadMs = ZoomSegment::defaultInMs;
inline constexpr double kTailMs = 1000 + ZoomSegment::defaultOutMs;
inline constexpr double kMinLengthMs = ZoomSegment::defaultInMs + ZoomSegment::defaultOutMs;
inline constexpr double kJoinGapMs = 2000;
inline constexpr double kMaxJoinMs = 20000;
inline constexpr double kMinScale = 1.25;
inline constexpr double kMaxScale = 2.5;

// The proposal, in time order. Start and end are whole milliseconds; scales are multiples of 0.05.
std::vector<AutoZoom> proposeZooms(const AutoZoomTracks& tracks);

// The reply of "edit.autoZoom": {"zooms": [...]} with each region in the edit document's zoom
// form (startMs, endMs, scale, fx, fy, follow, inMs, outMs) and "typing" saying which track a
// following region follows.
Json autoZoomReply(const std::vector<AutoZoom>& zooms);

}  // namespace marlune
