#pragma once

#include <filesystem>

#include "core/error.h"

namespace marlune::desktop {

// Moves a file or folder to the user's trash (the freedesktop Trash: the desktop can list and
// restore it). Blocking but short: a rename within the file system plus a small info file;
// never a copy. Fails with GLib's text. Any thread.
Result<void> moveToTrash(const std::filesystem::path& path);

// Asks the desktop's file manager to show `path` selected (org.freedesktop.FileManager1 over
// the session bus); when none answers within a short time, opens the folder that holds it.
// Returns at once; failures end in one system-log line. Main thread.
void revealInFileManager(const std::filesystem::path& path);

// Opens a file or folder in the user's default application for it. Returns at once; failures
// (such as no application for the type) end in one system-log line. Main thread.
void openWithDefaultApplication(const std::filesystem::path& path);

}  // namespace marlune::desktop
