#pragma once

#include <string>
#include <vector>

namespace marlune {

// `marlune export NAME [--edit FILE.json] [--height N] [--out PATH] [--quiet] [--print-edit]`:
// renders one recording of the recordings folder with an edit, through the export the editor
// uses, and without a display (no toolkit, no X connection). `args` are the arguments after
// "export"; `--help` describes them.
//
// The edit is the file given with --edit (the "edit.exportRender" payload, completed by
// completeEditPayload), else the one saved in the recording's project file, else the editor's
// default one. The movie goes where the editor's export puts it ("NAME export.mp4" beside the
// recording, never replacing a file), or to --out PATH, which must not exist yet. Progress goes to
// standard error (a bar on a terminal, else one line per percent); at the end the movie's path
// goes to standard output.
//
// Exit status: 0 done; 1 failed, with the reason on standard error; 2 unusable arguments, with
// the usage; 128 + the signal for SIGINT, SIGTERM and SIGHUP, which cancel the export. Whatever the
// failure, no partial movie is left anywhere. Main thread; runs the GLib main loop until done.
int runCommandLineExport(const std::vector<std::string>& args);

}  // namespace marlune
