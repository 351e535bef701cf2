#pragma once

namespace marlune {

class AppDelegate;

// The page's commands, one group per area, each adding its handlers to the application's table.
// A handler is glue: it reads the payload, calls the service and turns its result into the reply.
// Handlers run on the main thread and only while the application lives.

// "app.*": readiness and the main window.
void addAppCommands(AppDelegate& app);
// "permissions.*".
void addPermissionsCommands(AppDelegate& app);
// "sources.*": the screens and windows to capture.
void addSourcesCommands(AppDelegate& app);
// "recording.*".
void addRecordingCommands(AppDelegate& app);
// "library.*", "media.*" and "project.*": the recordings folder, waveforms and project files.
void addLibraryCommands(AppDelegate& app);
// "library.rename" and "library.copy": a recording's name and the clipboard.
void addLibraryFileCommands(AppDelegate& app);
// "edit.*": exports (trimmed copies and renders) and the editor's preview pictures.
void addEditCommands(AppDelegate& app);
// "webcam.*".
void addWebcamCommands(AppDelegate& app);
// "auth.*": sign-in.
void addAccountCommands(AppDelegate& app);
// "settings.*".
void addSettingsCommands(AppDelegate& app);
// "window.*": the page's title row acting on the main window.
void addWindowCommands(AppDelegate& app);

}  // namespace marlune
