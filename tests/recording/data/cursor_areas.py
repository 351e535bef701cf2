# A window of square areas, each showing one cursor: the theme's standard cursors by their X and
# CSS names, and a cursor of our own drawing that looks like none of them. Once the window is up
# it prints one line of JSON: {"areas": {name: [x, y]}}, the centre of each area in root-window
# pixels.
import json

import gi

gi.require_version("Gdk", "3.0")
gi.require_version("Gtk", "3.0")
from gi.repository import Gdk, GdkPixbuf, GLib, Gtk  # noqa: E402

NAMES = [
    "left_ptr", "default", "xterm", "text", "hand2", "pointer", "crosshair", "grab", "grabbing",
    "sb_h_double_arrow", "ew-resize", "sb_v_double_arrow", "ns-resize", "not-allowed", "custom",
]
SIDE = 90


def custom_cursor(display):
    # A solid 24 x 24 square with a hole in the middle, hot spot at the centre.
    size = 24
    pixels = bytearray()
    for y in range(size):
        for x in range(size):
            hole = 8 <= x < 16 and 8 <= y < 16
            pixels += bytes((40, 160, 90, 0 if hole else 255))
    pixbuf = GdkPixbuf.Pixbuf.new_from_bytes(
        GLib.Bytes.new(bytes(pixels)), GdkPixbuf.Colorspace.RGB, True, 8, size, size, size * 4)
    return Gdk.Cursor.new_from_pixbuf(display, pixbuf, size // 2, size // 2)


def main():
    window = Gtk.Window(title="cursor areas")
    window.set_keep_above(True)
    grid = Gtk.Grid()
    window.add(grid)
    areas = {}

    def set_cursor(box, name):
        display = box.get_display()
        cursor = custom_cursor(display) if name == "custom" else Gdk.Cursor.new_from_name(
            display, name)
        box.get_window().set_cursor(cursor)

    for i, name in enumerate(NAMES):
        box = Gtk.EventBox()
        box.set_size_request(SIDE, SIDE)
        box.add(Gtk.Label(label=name))
        grid.attach(box, i % 5, i // 5, 1, 1)
        box.connect("realize", set_cursor, name)
        areas[name] = box

    def report():
        centres = {}
        for name, box in areas.items():
            _, x, y = box.get_window().get_origin()
            alloc = box.get_allocation()
            centres[name] = [x + alloc.width // 2, y + alloc.height // 2]
        print(json.dumps({"areas": centres}), flush=True)
        return False

    window.connect("map-event", lambda *_: GLib.timeout_add(500, report) and False)
    window.connect("destroy", Gtk.main_quit)
    window.move(200, 150)
    window.show_all()
    Gtk.main()


main()
