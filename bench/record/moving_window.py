#!/usr/bin/python3
"""The moving content the recording benchmark records: a GTK 3 window of numbered text lines that
scroll upwards at 90 pixels a second, moved on every tick of GTK's frame clock (60 a second), while
the window drifts slowly over the screen. Plain GTK widgets only (a text view in a scrolled window),
so that nothing beyond the test packages is needed.

Prints its X window id (0 on Wayland, where it cannot be moved either) on a line of its own once
it is mapped; ends at end of input.

    moving_window.py [--size WxH]
"""
import argparse
import math
import sys
import time

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
gi.require_version("GdkX11", "3.0")
from gi.repository import GLib  # noqa: E402

GLib.set_prgname("marlune-bench-window")
from gi.repository import Gdk, GdkX11, Gtk  # noqa: E402,F401

parser = argparse.ArgumentParser()
parser.add_argument("--size", default="1100x700")
args = parser.parse_args()
width, height = (int(v) for v in args.size.split("x"))

WORDS = ["export", "render", "frame", "cursor", "zoom", "spring", "motion", "webcam", "audio",
         "track", "screen", "window", "text", "caret", "click", "ripple", "shadow", "padding"]
SCROLL = 90.0  # pixels a second


def text():
    """Numbered lines of words, the same every run."""
    seed = 7
    lines = []
    for n in range(1, 241):
        seed = (seed * 1103515245 + 12345) % 2**32
        count = 3 + (seed >> 16) % 10
        words = []
        for _ in range(count):
            seed = (seed * 1103515245 + 12345) % 2**32
            words.append(WORDS[(seed >> 16) % len(WORDS)])
        lines.append("%4d  %s" % (n, " ".join(words)))
    return "\n".join(lines)


css = Gtk.CssProvider()
css.load_from_data(b"textview, textview text { font: 15px 'DejaVu Sans Mono'; "
                   b"background: white; color: #202020; }")
Gtk.StyleContext.add_provider_for_screen(
    Gdk.Screen.get_default(), css, Gtk.STYLE_PROVIDER_PRIORITY_USER)

win = Gtk.Window()
win.set_title("Scrolling text")
win.set_default_size(width, height)
win.move(360, 140)
win.connect("destroy", Gtk.main_quit)
scroller = Gtk.ScrolledWindow()
scroller.set_policy(Gtk.PolicyType.NEVER, Gtk.PolicyType.EXTERNAL)
view = Gtk.TextView()
view.set_editable(False)
view.set_cursor_visible(False)
view.get_buffer().set_text(text())
scroller.add(view)
win.add(scroller)
start = time.monotonic()


def tick(widget, clock):
    t = time.monotonic() - start
    adj = scroller.get_vadjustment()
    span = adj.get_upper() - adj.get_page_size()
    if span > 0:
        # Down to the end, then back up: the content is never still.
        phase = (t * SCROLL) % (2 * span)
        adj.set_value(phase if phase < span else 2 * span - phase)
    win.move(int(360 + 200 * math.sin(t / 4)), int(140 + 80 * math.sin(t / 3)))
    return GLib.SOURCE_CONTINUE


win.add_tick_callback(tick)


def announce(*_):
    def later():
        window = win.get_window()
        # On Wayland (GDK_BACKEND=wayland) there is no X id: 0 says it is up all the same.
        print(window.get_xid() if hasattr(window, "get_xid") else 0, flush=True)
        return False
    GLib.timeout_add(200, later)


win.connect("map-event", announce)


def on_input(source, condition):
    if not sys.stdin.readline():
        Gtk.main_quit()
        return False
    return True


GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, on_input)
win.show_all()
Gtk.main()
