#include "platform/desktop/accessibility.h"

#include <gio/gio.h>

#include <string>

namespace marlune::desktop {

namespace {

constexpr const char* kBusName = "org.a11y.Bus";
constexpr const char* kBusPath = "/org/a11y/bus";
constexpr const char* kStatusInterface = "org.a11y.Status";
// Switching: the launcher is activated on the first call; it answers well within this once started.
constexpr int kTimeoutMs = 2000;

std::string takeMessage(GError* error) {
    std::string text = error ? error->message : "the accessibility bus did not answer";
    g_clear_error(&error);
    return text;
}

GDBusConnection* sessionBus(GError** error) {
    return g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error);
}

}  // namespace

std::optional<bool> accessibilityEnabled(std::chrono::milliseconds timeout) {
    GError* error = nullptr;
    GDBusConnection* bus = sessionBus(&error);
    if (!bus) {
        g_clear_error(&error);
        return std::nullopt;
    }
    GVariant* reply = g_dbus_connection_call_sync(
        bus, kBusName, kBusPath, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", kStatusInterface, "IsEnabled"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, static_cast<gint>(timeout.count()), nullptr, &error);
    g_object_unref(bus);
    if (!reply) {
        g_clear_error(&error);
        return std::nullopt;
    }
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    std::optional<bool> enabled;
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN)) {
        enabled = g_variant_get_boolean(value) != FALSE;
    }
    g_variant_unref(value);
    g_variant_unref(reply);
    return enabled;
}

Result<void> setAccessibilityEnabled(bool enabled) {
    GError* error = nullptr;
    GDBusConnection* bus = sessionBus(&error);
    if (!bus) return fail(takeMessage(error));
    GVariant* reply = g_dbus_connection_call_sync(
        bus, kBusName, kBusPath, "org.freedesktop.DBus.Properties", "Set",
        g_variant_new("(ssv)", kStatusInterface, "IsEnabled", g_variant_new_boolean(enabled)),
        nullptr, G_DBUS_CALL_FLAGS_NONE, kTimeoutMs, nullptr, &error);
    g_object_unref(bus);
    if (!reply) return fail(takeMessage(error));
    g_variant_unref(reply);
    return {};
}

}  // namespace marlune::desktop
