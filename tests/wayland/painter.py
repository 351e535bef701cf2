#!/usr/bin/python3
"""A full-screen GTK 3 window on the Wayland test desktop that repaints itself in a new colour
every few milliseconds until it is killed: the compositor then has new pictures to cast, where an
idle screen would give one picture only, and a cursor (GTK's) wherever the pointer goes. It is
#..6699 but for its bottom-right third, #..9966 (for areas); with an argument WxH, a window.
Once it is on the screen it creates the file $PAINTER_READY names, when set."""
import os
import sys

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
if len(sys.argv) > 1:
    win.set_default_size(*(int(v) for v in sys.argv[1].split("x")))
else:
    win.fullscreen()
win.connect("destroy", Gtk.main_quit)
win.add(thirds(Gtk.Orientation.VERTICAL, thirds(Gtk.Orientation.HORIZONTAL, corner)))
GLib.timeout_add(15, tick)


def up():
    if "PAINTER_READY" in os.environ:
        open(os.environ["PAINTER_READY"], "w").close()


win.connect("map-event", lambda *_: GLib.timeout_add(300, up))
win.show_all()
Gtk.main()
