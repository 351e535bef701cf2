#include <gtk/gtk.h>

#include <string>

#include "app/app_delegate.h"
#include "app/commands/commands.h"
#include "core/queue.h"

namespace marlune {

namespace {

// What the clipboard offers for one copied file: the file managers' own list, a URI list (chats,
// browsers, mail) and the plain path (terminals, text fields).
struct CopiedFile {
    std::string uri;
    std::string path;
};

enum Target : guint { kGnomeCopiedFiles, kUriList, kText };

void putFileOnClipboard(const std::string& path, const std::string& uri) {
    MARLUNE_ASSERT_ON(Queue::main());
    static const GtkTargetEntry targets[] = {
        {const_cast<gchar*>("x-special/gnome-copied-files"), 0, kGnomeCopiedFiles},
        {const_cast<gchar*>("text/uri-list"), 0, kUriList},
        {const_cast<gchar*>("UTF8_STRING"), 0, kText},
        {const_cast<gchar*>("text/plain;charset=utf-8"), 0, kText},
        {const_cast<gchar*>("text/plain"), 0, kText},
    };
    auto* copied = new CopiedFile{uri, path};
    GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    bool owned = gtk_clipboard_set_with_data(
        clipboard, targets, G_N_ELEMENTS(targets),
        [](GtkClipboard*, GtkSelectionData* data, guint info, gpointer user) {
            const auto* file = static_cast<const CopiedFile*>(user);
            std::string text = info == kGnomeCopiedFiles ? "copy\n" + file->uri
                               : info == kUriList        ? file->uri + "\r\n"
                                                         : file->path;
            gtk_selection_data_set(data, gtk_selection_data_get_target(data), 8,
                                   reinterpret_cast<const guchar*>(text.data()),
                                   static_cast<gint>(text.size()));
        },
        [](GtkClipboard*, gpointer user) { delete static_cast<CopiedFile*>(user); }, copied);
    if (!owned) delete copied;
    // Kept for pasting after the program has quit, where a clipboard manager runs.
    gtk_clipboard_set_can_store(clipboard, nullptr, 0);
}

}  // namespace

void addLibraryFileCommands(AppDelegate& app) {
    // {"name", "newName"} -> {"name": the recording's new file name}. The movie, its project file
    // and its webcam movie are renamed together or not at all, never over another file. Refused
    // while an export runs: it may be reading the recording or its companions by name.
    app.command("library.rename",
                [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
                    auto name = readString(payload, "name");
                    auto newName = readString(payload, "newName");
                    if (!name || !newName) return reply(fail("Missing file name"));
                    if (app.exports->isRunning()) {
                        return reply(
                            fail("Recordings can't be renamed while an export is "
                                 "running; try again once it has finished."));
                    }
                    auto renamed = app.library->rename(*name, *newName);
                    if (!renamed) return reply(std::unexpected(renamed.error()));
                    reply(Json{{"name", *renamed}});
                });

    // {"name"} -> {"uri"}: puts the movie on the clipboard as a file, so that it pastes into a
    // chat, a mail or a file manager. The headless host has no clipboard: it only answers.
    app.command("library.copy", [](AppDelegate& app, const Json& payload, WebBridge::Reply reply) {
        auto name = readString(payload, "name");
        if (!name) return reply(fail("Missing file name"));
        auto location = RecordingsLibrary::safeLocation(*name);
        if (!location) return reply(fail("Invalid file name."));
        auto opened = location->open();
        if (!opened) return reply(fail(opened.error().message()));
        const std::string path = location->full().string();
        gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
        if (!uri) return reply(fail("Invalid file name."));
        std::string text = uri;
        g_free(uri);
        if (app.windowController) putFileOnClipboard(path, text);
        reply(Json{{"uri", text}});
    });
}

}  // namespace marlune
