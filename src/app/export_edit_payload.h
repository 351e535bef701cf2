#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/json.h"

namespace marlune {

// The "edit.exportRender" payload for a render that the page does not drive (`marlune export`).
// Both functions only build JSON; the payload is then decoded by ExportRequest::fromPayload like
// any other, so nothing here decides what the export does with a value.

// What the payload needs to know about the recording.
struct EditPayloadContext {
    std::string name;             // the recording, as the payload names it
    std::int64_t durationMs = 0;  // its length, truncated to whole ms (as the library lists it)
    std::string wallpaper = "aurora";  // the first wallpaper the page offers: the default frame's
    Json look;  // the default look (app/editor_looks.h) a recording without an edit opens with
};

// The payload of the edit saved in a project file (its "edit" member), or of the edit the editor
// starts a recording with when the file holds none: what the editor's Export button would send
// for this recording (styled by the context's default look when the file holds no edit).
// `project` is the project object, or null when there is none. The rules
// are the page's own (web/js/edit_model.js: defaultEdit, restoreEdit, exportPayload), repeated
// here because the editor is not there to apply them; they must change together. A damaged or
// older edit opens as the editor opens it: each setting that is missing, of the wrong kind or out
// of range takes its default.
Json savedEditPayload(const Json& project, const EditPayloadContext& context);

// A payload written by hand (or saved from the page), completed for `context`'s recording:
// "name" is the recording's, whatever the file says; "startMs" and "endMs" default to the whole
// recording; a "cursor" section without a "path" takes the pointer path, clicks and caret recorded
// in the project file (the caret samples inside zooms that follow), and a missing "cursor" section
// is such a section, drawn with the default look; in a "webcam" section "enabled" defaults to
// true, and one without a "file" takes the recorded webcam movie and its offset. Everything else
// is left as written.
//
// Stricter than the page's commands, which never see hand-written JSON: a value the decoder would
// silently drop is refused, with a message saying which key and what it takes (the value is not
// an object; "startMs"/"endMs"/"targetHeight" not whole numbers; "zooms" not an array of objects,
// or a zoom without numeric "startMs", "endMs" and "scale"; "frame", "cursor", "webcam" or
// "audio" not objects; a "frame" without a known "type"; a "cursor" path without a usable sample;
// an enabled "webcam" whose file is not a ".webcam.mp4"). Unknown top-level keys, and tracks the
// file asks for that were not recorded, are reported in `notes` and the export goes on.
Result<Json> completeEditPayload(const Json& file, const Json& project,
                                 const EditPayloadContext& context,
                                 std::vector<std::string>& notes);

}  // namespace marlune
