#!/usr/bin/python3
"""A full-screen GTK 3 window (with an argument WxH, a window of that size) repainting itself in
a new shade of #..6699, #..9966 in its bottom-right ninth, so that the compositor has pictures to
cast; once on the screen it prints a line."""
import os
import sys

import gi

os.environ["GDK_BACKEND"] = "wayland"

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402

css = Gtk.CssProvider()
Gtk.StyleContext.add_provider_for_screen(
    Gdk.Screen.get_default(), css, Gtk.STYLE_PROVIDER_PRIORITY_USER)
shade = [0]


def tick():
    shade[0] = (shade[0] + 8) % 256
    css.load_from_data(b"window { background: #%02x6699; } #corner { background: #%02x9966; }"
                       % (shade[0], shade[0]))
    return GLib.SOURCE_CONTINUE


def thirds(orientation, last):
    box = Gtk.Box(orientation=orientation, homogeneous=True)
    for child in (Gtk.Box(), Gtk.Box(), last):
        box.pack_start(child, True, True, 0)
    return box


corner = Gtk.Box()
corner.set_name("corner")
win = Gtk.Window(title="painter")
if len(sys.argv) > 1 and sys.argv[1]:
    win.set_default_size(*(int(v) for v in sys.argv[1].split("x")))
else:
    win.fullscreen()
win.connect("destroy", Gtk.main_quit)
win.add(thirds(Gtk.Orientation.VERTICAL, thirds(Gtk.Orientation.HORIZONTAL, corner)))
GLib.timeout_add(15, tick)
win.connect("map-event", lambda *_: GLib.timeout_add(300, lambda: print("up", flush=True)))
win.show_all()
Gtk.main()
