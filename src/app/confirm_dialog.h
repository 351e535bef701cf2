#pragma once

#include <functional>
#include <string>

typedef struct _GtkWindow GtkWindow;
typedef struct _GtkWidget GtkWidget;

namespace marlune {

// Asks the user to confirm: a modal warning dialog with `title` as its text, `message` (when not
// empty) below it, and the buttons `okLabel` and "Cancel", in that order; `okLabel` is the
// default. With a parent the dialog is modal to it and stays on top of it; without one it is
// modal to the whole application. `done` runs exactly once, on the main thread, when the dialog
// goes: true only for `okLabel`; Cancel, Escape, closing the dialog and its parent's
// destruction answer false. Returns the dialog, which destroys itself when answered. Main thread.
GtkWidget* runConfirmDialog(GtkWindow* parent, const std::string& title, const std::string& message,
                            const std::string& okLabel, std::function<void(bool)> done);

}  // namespace marlune
