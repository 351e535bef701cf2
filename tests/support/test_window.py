#!/usr/bin/python3
"""A plain GTK 3 window for the desktop tests, painted one colour through CSS.

Prints its X window id on a line of its own once it is mapped, then serves commands read from
standard input, one per line, printing "ok" after each:
  color <css colour>   repaint in another colour
  move <x> <y>         move the window
  resize <w> <h>       resize the window
  quit                 close the window and end
End of input also ends it.
"""
import argparse
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
gi.require_version("GdkX11", "3.0")
from gi.repository import GLib  # noqa: E402

# Before GTK starts: it names the window's class (WM_CLASS) after the program.
GLib.set_prgname("marlune-test-window")
from gi.repository import Gdk, GdkX11, Gtk  # noqa: E402,F401

parser = argparse.ArgumentParser()
parser.add_argument("--title", default="")
parser.add_argument("--size", default="400x300")
parser.add_argument("--pos", default="50,50")
parser.add_argument("--color", default="#3366cc")
args = parser.parse_args()

css = Gtk.CssProvider()


def paint(colour):
    css.load_from_data(("window { background: %s; }" % colour).encode())


paint(args.color)
Gtk.StyleContext.add_provider_for_screen(
    Gdk.Screen.get_default(), css, Gtk.STYLE_PROVIDER_PRIORITY_USER)

win = Gtk.Window()
# Also when empty: an untitled GTK window would otherwise be named after the program.
win.set_title(args.title)
w, h = (int(v) for v in args.size.split("x"))
x, y = (int(v) for v in args.pos.split(","))
win.set_default_size(w, h)
win.move(x, y)
win.connect("destroy", Gtk.main_quit)


def announce(*_):
    # After the first frame is drawn, so that pictures of the window show its colour.
    def later():
        print(win.get_window().get_xid(), flush=True)
        return False
    GLib.timeout_add(100, later)


win.connect("map-event", announce)


def on_input(source, condition):
    line = sys.stdin.readline()
    if not line:
        Gtk.main_quit()
        return False
    words = line.split()
    if words and words[0] == "color":
        paint(words[1])
        win.queue_draw()
    elif words and words[0] == "move":
        win.move(int(words[1]), int(words[2]))
    elif words and words[0] == "resize":
        win.resize(int(words[1]), int(words[2]))
    elif words and words[0] == "quit":
        win.destroy()
        return False
    # Let the change reach the server and be drawn before answering.
    GLib.timeout_add(150, lambda: (print("ok", flush=True), False)[1])
    return True


GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, on_input)
win.show_all()
Gtk.main()
