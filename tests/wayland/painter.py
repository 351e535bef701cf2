#!/usr/bin/python3
"""A full-screen GTK 3 window on the Wayland test desktop that repaints itself in a new colour
every few milliseconds until it is killed: the compositor then has new pictures to cast, where an
idle screen would give one picture only, and a cursor (GTK's) wherever the pointer goes."""
import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402

css = Gtk.CssProvider()
Gtk.StyleContext.add_provider_for_screen(
    Gdk.Screen.get_default(), css, Gtk.STYLE_PROVIDER_PRIORITY_USER)
shade = [0]


def tick():
    shade[0] = (shade[0] + 8) % 256
    css.load_from_data(b"window { background: #%02x6699; }" % shade[0])
    return GLib.SOURCE_CONTINUE


win = Gtk.Window(title="painter")
win.fullscreen()
win.connect("destroy", Gtk.main_quit)
GLib.timeout_add(15, tick)
win.show_all()
Gtk.main()
