#pragma once

// Moves headless mutter's pointer through a remote-desktop session living as long as the object.

#include <gio/gio.h>

namespace marlune::test {

class PointerMover {
  public:
    PointerMover() {
        bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        GVariant* reply = call("/org/gnome/Mutter/RemoteDesktop", "org.gnome.Mutter.RemoteDesktop",
                               "CreateSession", nullptr);
        if (!reply) return;
        g_variant_get(reply, "(o)", &session_);
        g_variant_unref(reply);
        if ((reply = call(session_, kSession, "Start", nullptr))) g_variant_unref(reply);
    }
    ~PointerMover() {
        if (session_) g_variant_unref(call(session_, kSession, "Stop", nullptr));
        g_free(session_);
        g_object_unref(bus_);
    }
    void move(double dx, double dy) {
        if (!session_) return;
        GVariant* reply =
            call(session_, kSession, "NotifyPointerMotionRelative", g_variant_new("(dd)", dx, dy));
        if (reply) g_variant_unref(reply);
    }

  private:
    static constexpr const char* kSession = "org.gnome.Mutter.RemoteDesktop.Session";
    GVariant* call(const char* path, const char* iface, const char* method, GVariant* args) {
        return g_dbus_connection_call_sync(bus_, "org.gnome.Mutter.RemoteDesktop", path, iface,
                                           method, args, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000,
                                           nullptr, nullptr);
    }
    GDBusConnection* bus_ = nullptr;
    char* session_ = nullptr;
};

}  // namespace marlune::test
