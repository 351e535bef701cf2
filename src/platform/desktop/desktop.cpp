#include "platform/desktop/desktop.h"

#include <gio/gio.h>

#include <string>

#include "core/debug_log.h"
#include "core/queue.h"

namespace marlune::desktop {

namespace {

// Long enough for a file manager that has to start; short enough that nothing waits on a bus
// where nobody will ever answer.
constexpr int kFileManagerTimeoutMs = 3000;

std::string uriOf(const std::filesystem::path& path) {
    GFile* file = g_file_new_for_path(path.c_str());
    char* uri = g_file_get_uri(file);
    std::string out = uri ? uri : "";
    g_free(uri);
    g_object_unref(file);
    return out;
}

struct LaunchRequest {
    std::string uri;
};

void launched(GObject*, GAsyncResult* result, gpointer data) {
    auto* request = static_cast<LaunchRequest*>(data);
    GError* error = nullptr;
    if (!g_app_info_launch_default_for_uri_finish(result, &error)) {
        systemLog("Marlune: could not open " + request->uri + ": " +
                  (error ? error->message : "unknown error"));
        g_clear_error(&error);
    }
    delete request;
}

void launchDefault(const std::string& uri) {
    auto* request = new LaunchRequest{uri};
    g_app_info_launch_default_for_uri_async(uri.c_str(), nullptr, nullptr, launched, request);
}

struct RevealRequest {
    std::filesystem::path path;
};

void shown(GObject* source, GAsyncResult* result, gpointer data) {
    auto* request = static_cast<RevealRequest*>(data);
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (reply) {
        g_variant_unref(reply);
    } else {
        g_clear_error(&error);
        launchDefault(uriOf(request->path.parent_path()));
    }
    delete request;
}

void gotBus(GObject*, GAsyncResult* result, gpointer data) {
    auto* request = static_cast<RevealRequest*>(data);
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_finish(result, &error);
    if (!bus) {
        g_clear_error(&error);
        launchDefault(uriOf(request->path.parent_path()));
        delete request;
        return;
    }
    GVariantBuilder uris;
    g_variant_builder_init(&uris, G_VARIANT_TYPE("as"));
    g_variant_builder_add(&uris, "s", uriOf(request->path).c_str());
    // A bus that knows no file manager (none running, none it could start) answers at once.
    g_dbus_connection_call(bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                           "org.freedesktop.FileManager1", "ShowItems",
                           g_variant_new("(ass)", &uris, ""), nullptr, G_DBUS_CALL_FLAGS_NONE,
                           kFileManagerTimeoutMs, nullptr, shown, request);
    g_object_unref(bus);
}

}  // namespace

Result<void> moveToTrash(const std::filesystem::path& path) {
    GFile* file = g_file_new_for_path(path.c_str());
    GError* error = nullptr;
    bool ok = g_file_trash(file, nullptr, &error);
    g_object_unref(file);
    if (ok) return {};
    std::string message = error ? error->message : "Could not move the file to the trash.";
    g_clear_error(&error);
    return fail(std::move(message));
}

void revealInFileManager(const std::filesystem::path& path) {
    MARLUNE_ASSERT_ON(Queue::main());
    g_bus_get(G_BUS_TYPE_SESSION, nullptr, gotBus, new RevealRequest{path});
}

void openWithDefaultApplication(const std::filesystem::path& path) {
    MARLUNE_ASSERT_ON(Queue::main());
    launchDefault(uriOf(path));
}

}  // namespace marlune::desktop
