# A window with two text entries in a monospaced font, one above the other. Once the first has
# the keyboard focus it prints one line of JSON: {"entry": [x, y, width, height]}, the first
# entry's place in root-window pixels.
import json

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402


def main():
    window = Gtk.Window(title="caret entry")
    box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=20)
    css = Gtk.CssProvider()
    css.load_from_data(b"entry { font: 16px monospace; }")
    entries = []
    for _ in range(2):
        entry = Gtk.Entry()
        entry.set_width_chars(60)
        entry.get_style_context().add_provider(css, Gtk.STYLE_PROVIDER_PRIORITY_APPLICATION)
        box.add(entry)
        entries.append(entry)
    window.add(box)
    first = entries[0]

    def report():
        if not first.has_focus():
            return True
        _, x, y = first.get_window().get_origin()
        alloc = first.get_allocation()
        print(json.dumps({"entry": [x, y, alloc.width, alloc.height]}), flush=True)
        return False

    window.connect("destroy", Gtk.main_quit)
    window.move(120, 300)
    window.show_all()
    window.present()
    first.grab_focus()
    GLib.timeout_add(300, report)
    Gtk.main()


main()
