# A window with one focused text entry in a monospaced font. Once it has the keyboard focus it
# prints one line of JSON: {"entry": [x, y, width, height]} in root-window pixels.
import json

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402


def main():
    window = Gtk.Window(title="caret entry")
    entry = Gtk.Entry()
    entry.set_width_chars(60)
    css = Gtk.CssProvider()
    css.load_from_data(b"entry { font: 16px monospace; }")
    entry.get_style_context().add_provider(css, Gtk.STYLE_PROVIDER_PRIORITY_APPLICATION)
    window.add(entry)

    def report():
        if not entry.has_focus():
            return True
        _, x, y = entry.get_window().get_origin()
        alloc = entry.get_allocation()
        print(json.dumps({"entry": [x, y, alloc.width, alloc.height]}), flush=True)
        return False

    window.connect("destroy", Gtk.main_quit)
    window.move(120, 300)
    window.show_all()
    window.present()
    entry.grab_focus()
    GLib.timeout_add(300, report)
    Gtk.main()


main()
