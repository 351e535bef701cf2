"""The page's header as the window's title row in the real program: one row (GTK draws no title
bar above it), its menu and window buttons reachable by keyboard and named for screen readers,
and the window moved and maximised from it."""

import subprocess
import unittest

from harness import MarluneApp


def geometry(window):
    found = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window],
                           capture_output=True, text=True).stdout
    values = dict(line.split("=", 1) for line in found.split() if "=" in line)
    return {k: int(values.get(k, 0)) for k in ("X", "Y", "WIDTH", "HEIGHT")}


class TitleRow(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.app = MarluneApp().start()
        cls.app.wait_for(lambda: cls.app.find_all(".window-buttons button"), 10,
                         "the window buttons")

    @classmethod
    def tearDownClass(cls):
        cls.app.cleanup()

    def label(self, css):
        return self.app.js("return document.querySelector(arguments[0])"
                           ".getAttribute('aria-label')", css)

    def test_one_row_with_named_controls_and_a_keyboard_menu(self):
        app = self.app
        # No title bar of GTK's: the page fills the window's height.
        self.assertLess(geometry(app.main_window)["HEIGHT"] - app.js("return innerHeight"), 12)
        self.assertEqual([b.get_attribute("aria-label")
                          for b in app.find_all(".window-buttons button")],
                         ["Minimise", "Maximise", "Close"])
        app.js("document.getElementById('title-menu-button').focus()")
        app.press("\ue007")  # Enter opens the menu on its first entry
        app.wait_for(lambda: app.visible("#title-menu"), 10, "the menu")
        entries = app.js("return [...document.querySelectorAll('#title-menu [role=menuitem]')]"
                         ".map((e) => e.firstChild.textContent)")
        self.assertEqual(entries, ["About Marlune Studio", "Reload UI", "Quit Marlune Studio"])
        focused = "return document.activeElement.textContent"
        self.assertTrue(app.js(focused).startswith("About"))
        app.press("\ue015")  # ArrowDown
        self.assertTrue(app.js(focused).startswith("Reload UI"))
        self.assertIn("Ctrl+R", app.js(focused))
        app.press("\ue00c")  # Escape closes it and gives the focus back
        app.wait_for(lambda: not app.visible("#title-menu"), 10, "the menu to close")
        self.assertEqual(app.js("return document.activeElement.id"), "title-menu-button")
        self.assertEqual(app.find("#title-menu-button").get_attribute("aria-expanded"), "false")
        app.screenshot("title-row")

    def test_the_header_moves_and_maximises_the_window(self):
        app = self.app
        before = geometry(app.main_window)
        # A point of the header between the name and the tabs, in the window's pixels.
        x, y = app.js("const b = document.querySelector('.brand').getBoundingClientRect(),"
                      " t = document.querySelector('.tabs').getBoundingClientRect();"
                      "return [Math.round((b.right + t.left) / 2), Math.round(t.top + t.height / 2)]")
        subprocess.run(["xdotool", "mousemove", "--sync", str(before["X"] + x),
                        str(before["Y"] + y), "mousedown", "1"], check=True)
        # The page hands the drag to the window manager through the bridge, a moment after the
        # press: the pointer keeps moving, as a hand would, until the window follows it.
        moved = lambda: geometry(app.main_window)["X"] - before["X"] > 40
        for step in range(1, 60):
            subprocess.run(["xdotool", "mousemove", "--sync", str(before["X"] + x + 5 * step),
                            str(before["Y"] + y + 3 * step)], check=True)
            if step >= 6 and moved():
                break
        subprocess.run(["xdotool", "mouseup", "1"], check=True)
        app.wait_for(moved, 10, "the window to follow the pointer")
        app.click(".window-button.maximize")
        app.wait_for(lambda: self.label(".window-button.maximize") == "Restore", 10,
                     "the window maximised")
        app.click(".window-button.maximize")
        app.wait_for(lambda: self.label(".window-button.maximize") == "Maximise", 10,
                     "the window restored")


if __name__ == "__main__":
    unittest.main()
