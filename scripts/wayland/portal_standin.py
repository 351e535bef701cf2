#!/usr/bin/python3
"""The desktop portal's ScreenCast interface on a private session bus, without a dialog.

scripts/with-wayland starts it next to a headless mutter. It owns org.freedesktop.portal.Desktop
and answers CreateSession, SelectSources, Start and OpenPipeWireRemote the way
xdg-desktop-portal does (every call returns a Request object path; the answer comes later as that
Request's Response signal), but Start records mutter's first monitor through
org.gnome.Mutter.ScreenCast instead of asking the user. A window selection records the window
that has the keyboard focus (mutter's RecordWindow without a window id): there is no one here to
pick one. Restore tokens are accepted and a new one is handed
out on every Start, as a persisting portal does.

It also answers the GlobalShortcuts portal (CreateSession, BindShortcuts, ListShortcuts): every
shortcut is bound with its preferred trigger, no confirmation asked. Nothing presses keys here, so
tests fire a shortcut through the stand-in's own interface: app.marlune.PortalStandin.Activate(id)
emits Activated (then Deactivated) for every session holding that shortcut. Started with
MARLUNE_PORTAL_NO_SHORTCUTS=1 it leaves GlobalShortcuts out, as desktops without it do.

Runs on Debian's /usr/bin/python3 with python3-gi (Gio's D-Bus); no other dependency.
"""

import os
import socket
import sys
import uuid

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

PORTAL_NAME = "org.freedesktop.portal.Desktop"
PORTAL_PATH = "/org/freedesktop/portal/desktop"
MUTTER_NAME = "org.gnome.Mutter.ScreenCast"
MUTTER_PATH = "/org/gnome/Mutter/ScreenCast"

# Portal bit values: source types monitor 1, window 2; cursor modes hidden 1, embedded 2,
# metadata 4. Mutter counts its cursor modes 0 hidden, 1 embedded, 2 metadata.
SOURCE_MONITOR = 1
AVAILABLE_SOURCE_TYPES = 1 | 2
AVAILABLE_CURSOR_MODES = 1 | 2 | 4
MUTTER_CURSOR_MODE = {1: 0, 2: 1, 4: 2}

# Portal response codes.
SUCCESS, CANCELLED, OTHER = 0, 1, 2

INTROSPECTION = """
<node>
  <interface name="org.freedesktop.portal.ScreenCast">
    <method name="CreateSession">
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="o" name="handle" direction="out"/>
    </method>
    <method name="SelectSources">
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="o" name="handle" direction="out"/>
    </method>
    <method name="Start">
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="s" name="parent_window" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="o" name="handle" direction="out"/>
    </method>
    <method name="OpenPipeWireRemote">
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="h" name="fd" direction="out"/>
    </method>
    <property name="AvailableSourceTypes" type="u" access="read"/>
    <property name="AvailableCursorModes" type="u" access="read"/>
    <property name="version" type="u" access="read"/>
  </interface>
  <interface name="org.freedesktop.portal.GlobalShortcuts">
    <method name="CreateSession">
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="o" name="handle" direction="out"/>
    </method>
    <method name="BindShortcuts">
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="a(sa{sv})" name="shortcuts" direction="in"/>
      <arg type="s" name="parent_window" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="o" name="handle" direction="out"/>
    </method>
    <method name="ListShortcuts">
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="o" name="handle" direction="out"/>
    </method>
    <signal name="Activated">
      <arg type="o" name="session_handle"/>
      <arg type="s" name="shortcut_id"/>
      <arg type="t" name="timestamp"/>
      <arg type="a{sv}" name="options"/>
    </signal>
    <signal name="Deactivated">
      <arg type="o" name="session_handle"/>
      <arg type="s" name="shortcut_id"/>
      <arg type="t" name="timestamp"/>
      <arg type="a{sv}" name="options"/>
    </signal>
    <property name="version" type="u" access="read"/>
  </interface>
  <interface name="app.marlune.PortalStandin">
    <method name="Activate">
      <arg type="s" name="shortcut_id" direction="in"/>
      <arg type="u" name="sessions" direction="out"/>
    </method>
  </interface>
  <interface name="org.freedesktop.portal.Session">
    <method name="Close"/>
    <signal name="Closed"><arg type="a{sv}" name="details"/></signal>
    <property name="version" type="u" access="read"/>
  </interface>
  <interface name="org.freedesktop.portal.Request">
    <method name="Close"/>
    <signal name="Response">
      <arg type="u" name="response"/>
      <arg type="a{sv}" name="results"/>
    </signal>
  </interface>
</node>
"""
NODE = Gio.DBusNodeInfo.new_for_xml(INTROSPECTION)
SCREENCAST_IFACE = NODE.lookup_interface("org.freedesktop.portal.ScreenCast")
SESSION_IFACE = NODE.lookup_interface("org.freedesktop.portal.Session")
REQUEST_IFACE = NODE.lookup_interface("org.freedesktop.portal.Request")
SHORTCUTS_IFACE = NODE.lookup_interface("org.freedesktop.portal.GlobalShortcuts")
STANDIN_IFACE = NODE.lookup_interface("app.marlune.PortalStandin")


def log(message):
    print(f"portal-standin: {message}", file=sys.stderr, flush=True)


def sender_part(sender):
    # ":1.42" -> "1_42", as the portal builds request and session paths.
    return sender.lstrip(":").replace(".", "_")


class Session:
    def __init__(self, portal, sender, path):
        self.portal = portal
        self.sender = sender
        self.path = path
        self.cursor_mode = 2
        self.source_types = SOURCE_MONITOR
        self.restore_token = None
        self.mutter_session = None
        self.started = False
        self.closed = False
        self.signal_ids = []
        self.registration = portal.bus.register_object(
            path, SESSION_IFACE, self.on_call, self.on_property, None)

    def on_call(self, _bus, _sender, _path, _iface, method, _params, invocation):
        if method == "Close":
            self.close(notify=False)
            invocation.return_value(None)

    def on_property(self, _bus, _sender, _path, _iface, name):
        return GLib.Variant("u", 1) if name == "version" else None

    def close(self, notify):
        """Ends the session: stops mutter's recording (which removes the PipeWire node, ending the
        client's stream) and, when the close did not come from the client, says so with Closed."""
        if self.closed:
            return
        self.closed = True
        for sid in self.signal_ids:
            self.portal.bus.signal_unsubscribe(sid)
        if self.mutter_session:
            self.portal.bus.call(MUTTER_NAME, self.mutter_session,
                                 "org.gnome.Mutter.ScreenCast.Session", "Stop", None, None,
                                 Gio.DBusCallFlags.NONE, -1, None, None)
        if notify:
            self.portal.bus.emit_signal(self.sender, self.path, "org.freedesktop.portal.Session",
                                        "Closed", GLib.Variant("(a{sv})", ({},)))
        self.portal.bus.unregister_object(self.registration)
        self.portal.sessions.pop(self.path, None)
        log(f"session {self.path} closed")


class ShortcutSession:
    """A GlobalShortcuts session: the shortcuts bound in it, {id: trigger description}."""

    def __init__(self, portal, sender, path):
        self.portal = portal
        self.sender = sender
        self.path = path
        self.shortcuts = {}
        self.registration = portal.bus.register_object(
            path, SESSION_IFACE, self.on_call, lambda *a: GLib.Variant("u", 1), None)

    def on_call(self, _bus, _sender, _path, _iface, method, _params, invocation):
        if method == "Close":
            self.close()
            invocation.return_value(None)

    def close(self):
        if self.path in self.portal.shortcut_sessions:
            self.portal.bus.unregister_object(self.registration)
            del self.portal.shortcut_sessions[self.path]

    def listed(self):
        return [(sid, {"description": GLib.Variant("s", text[0]),
                       "trigger_description": GLib.Variant("s", text[1])})
                for sid, text in self.shortcuts.items()]


class Portal:
    def __init__(self, bus):
        self.bus = bus
        self.sessions = {}
        self.shortcut_sessions = {}
        bus.register_object(PORTAL_PATH, SCREENCAST_IFACE, self.on_call, self.on_property, None)
        if not os.environ.get("MARLUNE_PORTAL_NO_SHORTCUTS"):
            bus.register_object(PORTAL_PATH, SHORTCUTS_IFACE, self.on_shortcuts_call,
                                lambda *a: GLib.Variant("u", 1), None)
        bus.register_object(PORTAL_PATH, STANDIN_IFACE, self.on_standin_call, None, None)
        # A client that leaves without closing its sessions loses them, as with the real portal.
        bus.signal_subscribe("org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                             "/org/freedesktop/DBus", None, Gio.DBusSignalFlags.NONE,
                             self.on_name_owner_changed)

    def on_name_owner_changed(self, _bus, _sender, _path, _iface, _signal, params):
        name, _old, new = params.unpack()
        if name.startswith(":") and not new:
            for session in [s for s in self.sessions.values() if s.sender == name]:
                session.close(notify=False)
            for session in [s for s in self.shortcut_sessions.values() if s.sender == name]:
                session.close()

    def on_shortcuts_call(self, _bus, sender, _path, _iface, method, params, invocation):
        args = params.unpack()
        options = args[-1]
        request, respond = self.new_request(sender, options)
        invocation.return_value(GLib.Variant("(o)", (request,)))
        if method == "CreateSession":
            token = options.get("session_handle_token") or uuid.uuid4().hex
            spath = f"{PORTAL_PATH}/session/{sender_part(sender)}/{token}"
            if spath in self.shortcut_sessions or spath in self.sessions:
                respond(OTHER, {})
                return
            self.shortcut_sessions[spath] = ShortcutSession(self, sender, spath)
            respond(SUCCESS, {"session_handle": GLib.Variant("s", spath)})
            return
        session = self.shortcut_sessions.get(args[0])
        if not session or session.sender != sender:
            respond(OTHER, {})
            return
        if method == "BindShortcuts":
            for sid, props in args[1]:
                trigger = props.get("preferred_trigger", "")
                session.shortcuts[sid] = (props.get("description", ""), trigger)
            log(f"session {session.path} bound {sorted(session.shortcuts)}")
        respond(SUCCESS, {"shortcuts": GLib.Variant("a(sa{sv})", session.listed())})

    def on_standin_call(self, _bus, _sender, _path, _iface, _method, params, invocation):
        (sid,) = params.unpack()
        holders = [s for s in self.shortcut_sessions.values() if sid in s.shortcuts]
        stamp = GLib.get_monotonic_time() // 1000
        for session in holders:
            for signal in ("Activated", "Deactivated"):
                self.bus.emit_signal(session.sender, PORTAL_PATH,
                                     "org.freedesktop.portal.GlobalShortcuts", signal,
                                     GLib.Variant("(osta{sv})", (session.path, sid, stamp, {})))
        invocation.return_value(GLib.Variant("(u)", (len(holders),)))

    def on_property(self, _bus, _sender, _path, _iface, name):
        values = {"AvailableSourceTypes": AVAILABLE_SOURCE_TYPES,
                  "AvailableCursorModes": AVAILABLE_CURSOR_MODES, "version": 4}
        return GLib.Variant("u", values[name]) if name in values else None

    def new_request(self, sender, options):
        """Registers the Request object the call returns; its Response is sent later, after the
        method reply, so a client that subscribes once it knows the path still hears it."""
        token = options.get("handle_token") or uuid.uuid4().hex
        path = f"{PORTAL_PATH}/request/{sender_part(sender)}/{token}"
        reg = self.bus.register_object(path, REQUEST_IFACE, lambda *a: a[-1].return_value(None),
                                       None, None)

        def respond(code, results):
            def emit():
                # Broadcast, as xdg-desktop-portal's Request does: clients must subscribe.
                self.bus.emit_signal(None, path, "org.freedesktop.portal.Request", "Response",
                                     GLib.Variant("(ua{sv})", (code, results)))
                self.bus.unregister_object(reg)
                return GLib.SOURCE_REMOVE
            GLib.idle_add(emit)
        return path, respond

    def session_for(self, sender, path):
        session = self.sessions.get(path)
        return session if session and session.sender == sender and not session.closed else None

    def on_call(self, _bus, sender, _path, _iface, method, params, invocation):
        args = params.unpack()
        if method == "CreateSession":
            options = args[0]
            token = options.get("session_handle_token") or uuid.uuid4().hex
            spath = f"{PORTAL_PATH}/session/{sender_part(sender)}/{token}"
            request, respond = self.new_request(sender, options)
            invocation.return_value(GLib.Variant("(o)", (request,)))
            if spath in self.sessions:
                respond(OTHER, {})
                return
            self.sessions[spath] = Session(self, sender, spath)
            respond(SUCCESS, {"session_handle": GLib.Variant("s", spath)})
        elif method == "SelectSources":
            spath, options = args
            session = self.session_for(sender, spath)
            request, respond = self.new_request(sender, options)
            invocation.return_value(GLib.Variant("(o)", (request,)))
            if not session or session.started:
                respond(OTHER, {})
                return
            session.cursor_mode = options.get("cursor_mode", 1)
            session.source_types = options.get("types", SOURCE_MONITOR)
            session.restore_token = options.get("restore_token")
            respond(SUCCESS, {})
        elif method == "Start":
            spath, _parent, options = args
            session = self.session_for(sender, spath)
            request, respond = self.new_request(sender, options)
            invocation.return_value(GLib.Variant("(o)", (request,)))
            if not session or session.started:
                respond(OTHER, {})
                return
            session.started = True
            self.start_mutter(session, respond)
        elif method == "OpenPipeWireRemote":
            spath, _options = args
            session = self.session_for(sender, spath)
            if not session or not session.started:
                invocation.return_dbus_error("org.freedesktop.portal.Error.NotAllowed",
                                             "The session has not been started")
                return
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                sock.connect(os.path.join(os.environ["XDG_RUNTIME_DIR"], "pipewire-0"))
            except OSError as error:
                sock.close()
                invocation.return_dbus_error("org.freedesktop.portal.Error.Failed", str(error))
                return
            fds = Gio.UnixFDList.new()
            fds.append(sock.fileno())  # duplicates it; ours closes with the socket
            sock.close()
            invocation.return_value_with_unix_fd_list(GLib.Variant("(h)", (0,)), fds)

    def start_mutter(self, session, respond):
        """CreateSession -> RecordMonitor -> subscribe to PipeWireStreamAdded -> Start on mutter;
        the node id mutter announces becomes the portal's one stream."""
        bus = self.bus

        def failed(error):
            log(f"mutter refused: {error}")
            respond(OTHER, {})
            session.close(notify=True)

        try:
            mutter_session = bus.call_sync(
                MUTTER_NAME, MUTTER_PATH, MUTTER_NAME, "CreateSession",
                GLib.Variant("(a{sv})", ({},)), GLib.VariantType("(o)"),
                Gio.DBusCallFlags.NONE, 5000, None).unpack()[0]
            session.mutter_session = mutter_session
            session_iface = MUTTER_NAME + ".Session"
            cursor = {"cursor-mode": GLib.Variant("u", MUTTER_CURSOR_MODE.get(session.cursor_mode, 1))}
            if session.source_types & SOURCE_MONITOR:
                record = ("RecordMonitor", GLib.Variant("(sa{sv})", ("", cursor)))
            else:
                record = ("RecordWindow", GLib.Variant("(a{sv})", (cursor,)))
            stream = bus.call_sync(
                MUTTER_NAME, mutter_session, session_iface, record[0], record[1],
                GLib.VariantType("(o)"), Gio.DBusCallFlags.NONE, 5000, None).unpack()[0]
        except GLib.Error as error:
            failed(error.message)
            return

        def on_stream_added(_bus, _sender, _path, _iface, _signal, params):
            node_id = params.unpack()[0]
            props = {"source_type": GLib.Variant("u", session.source_types & AVAILABLE_SOURCE_TYPES)}
            try:
                parameters = bus.call_sync(
                    MUTTER_NAME, stream, "org.freedesktop.DBus.Properties", "Get",
                    GLib.Variant("(ss)", (MUTTER_NAME + ".Stream", "Parameters")),
                    GLib.VariantType("(v)"), Gio.DBusCallFlags.NONE, 5000, None).unpack()[0]
                for key in ("position", "size"):
                    if key in parameters:
                        props[key] = GLib.Variant("(ii)", tuple(parameters[key]))
            except GLib.Error as error:
                log(f"stream parameters unknown: {error.message}")
            token = uuid.uuid4().hex
            log(f"session {session.path} streams node {node_id}")
            respond(SUCCESS, {"streams": GLib.Variant("a(ua{sv})", [(node_id, props)]),
                              "restore_token": GLib.Variant("s", token)})

        def on_mutter_closed(*_args):
            session.mutter_session = None
            session.close(notify=True)

        session.signal_ids.append(bus.signal_subscribe(
            MUTTER_NAME, MUTTER_NAME + ".Stream", "PipeWireStreamAdded", stream, None,
            Gio.DBusSignalFlags.NONE, on_stream_added))
        session.signal_ids.append(bus.signal_subscribe(
            MUTTER_NAME, session_iface, "Closed", mutter_session, None,
            Gio.DBusSignalFlags.NONE, on_mutter_closed))
        bus.call(MUTTER_NAME, mutter_session, session_iface, "Start", None, None,
                 Gio.DBusCallFlags.NONE, 5000, None,
                 lambda b, res: self.finish_start(b, res, failed))

    @staticmethod
    def finish_start(bus, result, failed):
        try:
            bus.call_finish(result)
        except GLib.Error as error:
            failed(error.message)


def main():
    loop = GLib.MainLoop()
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    portal = Portal(bus)

    def lost(*_args):
        log(f"could not own {PORTAL_NAME}")
        loop.quit()

    Gio.bus_own_name_on_connection(bus, PORTAL_NAME, Gio.BusNameOwnerFlags.DO_NOT_QUEUE,
                                   None, lost)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, 15, lambda: loop.quit() or GLib.SOURCE_REMOVE)
    loop.run()
    for session in list(portal.sessions.values()):
        session.close(notify=False)


if __name__ == "__main__":
    main()
