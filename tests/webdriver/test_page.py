"""The library, the shell (keys, focus, title row, window), bad input and a whole recording."""

import re
import subprocess
import time
import unittest

from harness import MarluneApp, Keys, geometry, make_movie


class Library(unittest.TestCase):
    """One program run over a folder of real movies, the steps in order."""

    @classmethod
    def setUpClass(cls):
        cls.app = MarluneApp()
        folder = cls.app.recordings
        # Oldest first: the listing sorts by creation time.
        make_movie(folder / "Older demo.mp4", 2, tone=330)
        time.sleep(1.1)
        # A movie whose beginning was lost: nothing in it can be read.
        movie = make_movie(folder / "Broken take.mp4", 3).read_bytes()
        (folder / "Broken take.mp4").write_bytes(movie[len(movie) // 2:])
        time.sleep(1.1)
        make_movie(folder / "Product tour.mp4", 4)
        make_movie(folder / "Product tour.webcam.mp4", 4, size="320x240")
        cls.app.start()
        # The commands the page sends, seen on their way out. The page looks the handler up at
        # every command, and WebKit makes a new one once nothing holds the last: the page keeps
        # this one, with its hook, alive.
        cls.app.js("const h = window.webkit.messageHandlers.marlune, post = h.postMessage.bind(h);"
                   "window.__sent = []; h.postMessage = (m) => { window.__sent.push(m.cmd); post(m); };"
                   "window.__hookedHandler = h;")

    @classmethod
    def tearDownClass(cls):
        cls.app.cleanup()

    def open_library(self):
        self.app.show("library")
        self.app.wait_for(lambda: len(self.app.card_names()) >= 3, 60, "the recordings")

    def send(self, *events):
        """Events as the application sends them to the page."""
        for name, data in events:
            self.app.js("window.__marluneEvent(arguments[0])", {"name": name, "data": data})

    def sent(self, *commands):
        return [c for c in self.app.js("return window.__sent") if c in commands]

    def test_01_grid_lists_newest_first_and_marks_the_damaged_movie(self):
        app = self.app
        self.open_library()
        self.assertEqual(app.card_names(), ["Product tour.mp4", "Broken take.mp4",
                                            "Older demo.mp4"])
        # The pictures come one by one as the cards show.
        for name in ["Product tour.mp4", "Older demo.mp4"]:
            app.wait_for(lambda: app.thumbnail_loaded(name), 30, f"the thumbnail of {name}")
        app.wait_for(lambda: "Can’t be read" in app.card("Broken take.mp4").text, 30,
                     "the damaged movie's card to say so")
        self.assertRegex(app.card("Product tour.mp4").text,
                         r"(?s)0:04.*Webcam.*Today at.*\d+(\.\d)? (kB|MB)")
        broken = app.card("Broken take.mp4")
        self.assertNotIn("0:00", broken.text)
        self.assertNotIn("Webcam", app.card("Older demo.mp4").text)
        self.assertEqual([app.text("#library-summary"), app.text("#library-count")],
                         ["3 recordings", "3"])
        # Choosing the damaged movie says so instead of offering to play it.
        broken.click()
        app.wait_for(lambda: "can’t be read" in app.text("#library-detail"), 10, "the note")
        self.assertEqual(app.find_all("#library-detail video"), [])

    def test_02_plays_in_place_with_its_waveform_then_a_trimmed_copy_to_the_trash(self):
        app = self.app
        app.card("Product tour.mp4").click()
        app.wait_for(lambda: app.find_all("#library-player"), 10, "the player")
        # Waveform drawn: its "reading" note gone.
        app.wait_for(lambda: not app.find_all("#waveform-note"), 30, "the waveform")
        # The trim covers the whole recording.
        self.assertIn("0:00.0 – 0:04.0", app.text("#trim-range"))
        self.assertFalse(app.find("#trim-export").is_enabled(), "nothing to trim yet")
        # Space plays and pauses while a card has the focus.
        app.card("Product tour.mp4").click()
        app.press(Keys.SPACE)
        app.wait_for(lambda: app.js("return document.getElementById('library-player')"
                                    ".currentTime > 0.3"), 20, "the movie to play")
        app.press(Keys.SPACE)
        app.wait_for(lambda: app.js("return document.getElementById('library-player').paused"),
                     5, "the movie to pause")
        app.screenshot("library")
        # The keyboard moves the trim handles: start to 1.0 s, end to 3.0 s.
        start = app.find(".trim-handle.start")
        start.click()
        start.send_keys(*[Keys.ARROW_RIGHT] * 10)
        app.find(".trim-handle.end").send_keys(*[Keys.ARROW_LEFT] * 10)
        self.assertIn("0:01.0 – 0:03.0", app.text("#trim-range"))
        app.click("#trim-export")
        app.wait_toast("Saved “Product tour trimmed”", 60)
        name = "Product tour trimmed.mp4"
        copy = app.recordings / name
        self.assertTrue(copy.exists())
        # The copy is listed and chosen, about two seconds long.
        app.wait_for(lambda: name in app.card_names(), 30, "the copy's card")
        app.wait_for(lambda: app.find('.rec-card[aria-selected="true"]').get_attribute("data-name")
                     == name, 10, "the copy to be chosen")
        self.assertRegex(app.card(name).text, r"0:0[12](?!\d)")
        # Delete asks first; Cancel keeps the file.
        app.card(name).click()
        app.press(Keys.DELETE)
        app.answer_dialog(ok=False)
        time.sleep(0.5)
        self.assertTrue(copy.exists())
        # The button, confirmed, moves it to the trash.
        app.click("#library-detail .button.danger")
        app.answer_dialog(ok=True)
        app.wait_toast("Moved “Product tour trimmed” to the trash")
        app.wait_for(lambda: name not in app.card_names(), 10, "the card to go")
        self.assertFalse(copy.exists())
        self.assertTrue((app.trash / name).exists())

    def test_04_search_by_name(self):
        app = self.app
        self.open_library()
        search = app.find("#library-search")
        search.clear()
        search.send_keys("TOUR")
        app.wait_for(lambda: app.card_names() == ["Product tour.mp4"], 5, "one match")
        self.assertEqual(app.text("#library-summary"), "1 of 3")
        search.send_keys(" nothing")
        app.wait_for(lambda: app.card_names() == [], 5, "no match")
        self.assertIn("No recording’s name matches", app.text("#library-list"))
        search.send_keys(Keys.ESCAPE)
        app.wait_for(lambda: len(app.card_names()) == 3, 5, "every card again")

    def test_05_keyboard_and_labels(self):
        app = self.app
        app.show("record")
        # Every control has a name a screen reader can say.
        unnamed = app.js("""
            const named = (e) => (e.getAttribute('aria-label') || e.textContent || e.title ||
              (e.id && document.querySelector(`label[for="${e.id}"]`)?.textContent) ||
              e.closest('label')?.textContent || '').trim();
            return [...document.querySelectorAll('button, input, select, [role="slider"]')]
              .filter(e => !named(e)).map(e => e.outerHTML.slice(0, 80));""")
        self.assertEqual(unnamed, [])
        # Alt+2 and Alt+1 switch screens; Tab reaches the Record screen's controls with a ring.
        for key, screen in [("2", "library"), ("1", "record")]:
            app.chord(Keys.ALT, key)
            app.wait_for(lambda: app.visible(f"#screen-{screen}"), 5, f"the {screen} screen")
        app.find(".tab[data-screen='record']").click()
        app.screenshot("record-screen")
        app.press(Keys.TAB)
        focused = app.js("const e = document.activeElement;"
                         "return [e.dataset.screen, getComputedStyle(e).outlineStyle];")
        self.assertEqual(focused[0], "library")
        self.assertNotEqual(focused[1], "none", "a focus ring")

    def test_06_options_and_source_cards_keep_the_focus_across_changes(self):
        # Before the bar (step 10): the whole window coming back lists the sources again.
        app = self.app
        app.wait_for(lambda: app.find_all(".source-card"), 30, "the source cards")
        for control, change in [
            ("#setting-showCursor", lambda: app.find("#setting-showCursor").click()),
            (".source-card", lambda: app.js("document.getElementById('sources-refresh').click()")),
        ]:
            app.js("const e = document.querySelector(arguments[0]); e.focus(); e.__kept = true;"
                   "window.__sent = [];", control)
            change()
            # The change is answered (a setting stored, the sources listed again) ...
            app.wait_for(lambda: self.sent("settings.set", "sources.list") and app.js(
                "return !document.querySelector('#settings [aria-busy]') &&"
                " !document.getElementById('sources-refresh').classList.contains('busy')"),
                20, f"{control} changed")
            # ... and the control the keyboard was on is still there, with the focus.
            self.assertTrue(app.js("return document.activeElement.__kept === true"), control)

    def test_07_layout_from_small_to_large(self):
        app = self.app
        screen = app.js("return [screen.width, screen.height]")
        for width, height in [(960, 600), (min(2560, screen[0]), min(1440, screen[1]))]:
            app.resize(width, height)
            for name in ["record", "library"]:
                app.show(name)
                overflow = app.js("return document.documentElement.scrollWidth - innerWidth")
                self.assertLessEqual(overflow, 0, f"{name} at {width}×{height}")
                for css in [".tab[data-screen='library']", "#theme-toggle"]:
                    box = app.find(css).rect
                    self.assertLessEqual(box["x"] + box["width"], app.js("return innerWidth"))
            app.show("record")
            button = app.find("#record-button").rect
            self.assertLessEqual(button["y"] + button["height"], app.js("return innerHeight"),
                                 f"Record button visible at {width}×{height}")
        app.resize(1160, 740)

    def test_08_recordings_removed_behind_the_page(self):
        # Before any reply is swallowed (step 9): a listing still waited on would hide this one.
        app = self.app
        self.open_library()
        app.card("Older demo.mp4").click()
        app.wait_for(lambda: app.find_all("#library-player"), 10, "the player")
        for f in app.recordings.iterdir():
            f.unlink()
        app.click("#library-refresh")
        app.wait_for(lambda: "No recordings yet" in app.text("#library-list"), 20,
                     "the empty state")
        app.wait_toast("no longer in the recordings folder")
        self.assertFalse(app.visible("#library-detail"))
        app.screenshot("library-empty")

    def test_09_a_reply_that_never_comes(self):
        app = self.app
        app.show("record")
        # Replies are swallowed: the page gives up with a message instead of hanging.
        app.js("window.__keep = window.__marluneDeliver; window.__marluneDeliver = () => {};")
        try:
            app.set_control("#setting-fps", "60")
            app.wait_toast("did not answer in time (settings.set)", 40)
            self.assertEqual(app.text("#bridge-state"), "Not answering")
            self.assertTrue(app.find("#setting-fps").is_enabled(), "the control is usable again")
        finally:
            app.js("window.__marluneDeliver = window.__keep;")
        # The next answer shows the application is back.
        app.find("#theme-toggle").click()
        app.wait_for(lambda: app.text("#bridge-state") == "Ready", 10, "Ready again")
        app.find("#theme-toggle").click()

    def test_10_window_becomes_the_bar_where_space_pauses_and_resumes(self):
        """The window follows the announced phases: countdown, compact bar, whole window again.
        In the bar, Space pauses and resumes (it never stops)."""
        app = self.app
        size = app.driver.get_window_size
        before = size()
        pause = lambda: app.find("#bar-pause").get_attribute("aria-label")
        self.send(("state", {"phase": "preparing", "elapsedMs": 0}),
                  ("state", {"phase": "countdown", "elapsedMs": 0}), ("countdown", {"n": 3}))
        app.wait_for(lambda: app.visible("#countdown") and app.text("#countdown-number") == "3",
                     5, "the countdown")
        self.send(("countdown", {"n": 0}), ("state", {"phase": "recording", "elapsedMs": 0}),
                  ("tick", {"elapsedMs": 83500}))
        app.wait_for(lambda: size()["height"] < 100, 10, "the bar")
        self.assertEqual([size(), app.visible("#countdown"), app.text("#bar-time"), pause()],
                         [{"width": 340, "height": 56}, False, "01:23", "Pause"])
        app.screenshot("bar", timeout=30)
        app.wait_for(lambda: app.js("return document.activeElement.id") == "bar-stop", 10,
                     "the focus on Stop")
        # Real key presses, to the window made active (as the harness answers dialogs).
        subprocess.run(["xdotool", "windowactivate", "--sync", app.main_window], check=False)
        bar_commands = ("recording.pause", "recording.resume", "recording.stop")
        for phase, shown, want in [("recording", ["Pause", "Recording"], "recording.pause"),
                                   ("paused", ["Resume", "Paused"], "recording.resume")]:
            self.send(("state", {"phase": phase, "elapsedMs": 83600}))
            app.wait_for(lambda: [pause(), app.js("return document.getElementById('bar-phase')"
                                                  ".textContent")] == shown, 5, f"the bar {phase}")
            app.js("window.__sent = []")
            subprocess.run(["xdotool", "key", "--clearmodifiers", "space"], check=True)
            app.wait_for(lambda: self.sent(*bar_commands), 10, "a command from Space")
            self.assertEqual(self.sent(*bar_commands), [want], phase)
        self.send(("state", {"phase": "stopping", "elapsedMs": 83600}))
        self.assertFalse(app.find("#bar-stop").is_enabled(), "nothing to stop while saving")
        self.send(("state", {"phase": "idle", "elapsedMs": 0}))
        app.wait_for(lambda: size()["height"] > 500, 10, "the whole window")
        self.assertEqual(size(), before)
        self.assertTrue(app.visible("#screen-record"))

    def test_11_title_row_with_named_controls_a_keyboard_menu_and_moving(self):
        app = self.app
        # No title bar of GTK's: the page fills the window's height.
        self.assertLess(geometry(app.main_window)["HEIGHT"] - app.js("return innerHeight"), 12)
        self.assertEqual([b.get_attribute("aria-label")
                          for b in app.find_all(".window-buttons button")],
                         ["Minimise", "Maximise", "Close"])
        app.js("document.getElementById('title-menu-button').focus()")
        app.press(Keys.ENTER)  # opens the menu on its first entry
        app.wait_for(lambda: app.visible("#title-menu"), 10, "the menu")
        entries = app.js("return [...document.querySelectorAll('#title-menu [role=menuitem]')]"
                         ".map((e) => e.firstChild.textContent)")
        self.assertEqual(entries, ["About Marlune Studio", "Reload UI", "Quit Marlune Studio"])
        focused = "return document.activeElement.textContent"
        self.assertTrue(app.js(focused).startswith("About"))
        app.press(Keys.ARROW_DOWN)
        self.assertTrue(app.js(focused).startswith("Reload UI"))
        self.assertIn("Ctrl+R", app.js(focused))
        app.press(Keys.ESCAPE)  # closes it and gives the focus back
        app.wait_for(lambda: not app.visible("#title-menu"), 10, "the menu to close")
        self.assertEqual(app.js("return document.activeElement.id"), "title-menu-button")
        self.assertEqual(app.find("#title-menu-button").get_attribute("aria-expanded"), "false")
        app.screenshot("title-row")
        # The header moves the window and its button maximises it.
        label = lambda: app.find(".window-button.maximize").get_attribute("aria-label")
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
        for want in ["Restore", "Maximise"]:
            app.click(".window-button.maximize")
            app.wait_for(lambda: label() == want, 10, f"the button to say {want}")

    def test_13_closing_the_main_view_ends_the_program(self):
        app = self.app
        pid = app.pid
        self.assertTrue(pid)
        app.driver.close()
        app.wait_for(lambda: not app._running(pid), 30, "the program to end")


SHORT_LIVED = '.source-card[aria-label*="Short-lived window"]'
TEST_WINDOW = """
import gi
gi.require_version('Gtk', '3.0')
from gi.repository import Gtk
w = Gtk.Window(title='Short-lived window')
w.set_default_size(480, 320)
# The program keeps the focus: taking it back would list the sources again (the picker does
# when its window comes forward) and drop the card before the test presses Record.
w.set_accept_focus(False)
w.set_focus_on_map(False)
w.connect('destroy', Gtk.main_quit)
w.show_all()
Gtk.main()
"""


class Sources(unittest.TestCase):
    """One program run with the real listing of displays and windows: the picker, a chosen window
    that closes, then a recording of the first display from Record to playing it."""

    @classmethod
    def setUpClass(cls):
        cls.app = MarluneApp().start(settings={"micEnabled": False, "systemAudioEnabled": False,
                                               "webcamEnabled": False})

    @classmethod
    def tearDownClass(cls):
        cls.app.cleanup()

    def test_1_choose_a_display_then_a_window_that_closes_before_the_start(self):
        app = self.app
        display = ".source-card[data-kind='display']"
        app.wait_for(lambda: app.find_all(display), 30, "a display")
        self.assertFalse(app.find("#record-button").is_enabled())
        self.assertIn("Choose a display or a window", app.text("#record-reason"))
        app.click(display)
        app.wait_for(lambda: app.find_all("#preview img"), 30, "the preview")
        app.wait_for(lambda: app.find(display).get_attribute("aria-pressed") == "true", 10,
                     "the display card to be pressed")
        self.assertTrue(app.find("#record-button").is_enabled())
        app.screenshot("record")
        # A window of another program, chosen in the picker, then closed.
        window = subprocess.Popen(["/usr/bin/python3", "-c", TEST_WINDOW])
        try:
            app.wait_for(lambda: (app.click("#sources-refresh"), app.find_all(SHORT_LIVED))[1],
                         30, "the test window")
            # The refreshes asked for above must be over before the window closes, or one of
            # them sees it gone and drops the choice before the test gets to use it. A click on
            # a card that was drawn again in between is made again.
            def settled():
                if app.find_all("#sources-refresh.busy"):
                    return False
                if app.find(SHORT_LIVED).get_attribute("aria-pressed") != "true":
                    app.find(SHORT_LIVED).click()
                    return False
                return True
            app.wait_for(settled, 20, "the picker to settle on the test window")
        finally:
            window.terminate()
            window.wait()
        # The program is gone, but the X server drops its window only when it notices: wait for
        # that too, so that the application cannot still find it.
        app.wait_for(lambda: subprocess.run(
            ["xdotool", "search", "--name", "^Short-lived window$"], capture_output=True,
            text=True).stdout.strip() == "", 10, "the test window to close")
        app.click("#record-button")
        # The application's message is shown; listed again, the picker says the window is gone.
        app.wait_toast("The selected window is no longer available", 30)
        again = app.wait_toast("The recording did not start.", 30)
        self.assertIn("is no longer available", again)
        app.wait_for(lambda: not app.find_all(SHORT_LIVED), 10, "the window's card to go")
        self.assertFalse(app.find("#record-button").is_enabled())
        self.assertIn("Choose a display or a window", app.text("#record-reason"))

    def test_2_record_three_seconds(self):
        app = self.app
        app.click(".source-card[data-kind='display']")
        app.wait_for(lambda: app.find("#record-button").is_enabled(), 20, "Record to be enabled")
        before = app.driver.get_window_size()
        app.click("#record-button")
        # The countdown shows in the window, then the window becomes the bar.
        app.wait_for(lambda: app.visible("#countdown"), 10, "the countdown")
        app.wait_for(lambda: app.visible("#bar"), 20, "the bar")
        app.wait_for(lambda: app.driver.get_window_size()["height"] < 120, 10, "the small window")
        app.wait_for(lambda: app.text("#bar-time") >= "00:03", 15, "three seconds")
        app.screenshot("bar")
        app.click("#bar-stop")
        # Saved: the window is back to its size and the new recording is open in the editor.
        app.wait_for(lambda: app.visible("#editor"), 30, "the editor")
        # The window's size comes back, and stays, and so does its minimum (given back once the
        # size is reached, so that the window manager does not shrink it to the minimum).
        app.wait_for(lambda: abs(app.driver.get_window_size()["width"] - before["width"]) <= 40,
                     10, "the window's own size")
        app.wait_for(lambda: re.search(r"minimum size: 9\d\d by", subprocess.run(
            ["xprop", "-id", app.main_window, "WM_NORMAL_HINTS"], capture_output=True,
            text=True).stdout), 5, "the window's minimum size")
        time.sleep(0.5)
        self.assertAlmostEqual(app.driver.get_window_size()["width"], before["width"], delta=40)
        movies = [p.name for p in app.recordings.glob("*.mp4")]
        self.assertEqual(len(movies), 1, movies)
        name = movies[0]
        self.assertTrue(re.match(r"Marlune \d{4}-\d\d-\d\d at \d\d\.\d\d\.\d\d\.mp4$", name), name)
        app.wait_for(lambda: app.js("return document.getElementById('editor-title').textContent")
                     == name[:-4], 10, "its title")
        app.screenshot("after-recording")
        # The library lists it with its picture and length: three seconds, and the moment the
        # bar's picture took.
        app.show("library")
        app.wait_for(lambda: name in app.card_names(), 30, "the new recording's card")
        app.card(name).click()
        app.wait_for(lambda: app.thumbnail_loaded(name), 20, "its thumbnail")
        self.assertRegex(app.card(name).text, r"0:0[3-9](?!\d)")
        # A click that landed while the grid was drawn again after the "saved" listing is
        # simply made again, as a person would.
        app.wait_for(lambda: app.find_all("#library-player") or app.card(name).click(), 10,
                     "the player")
        # Playing, trimming and deleting are the Library group's, on movies of the same kind.
        app.js("document.getElementById('library-player').play()")
        app.wait_for(lambda: app.js("return document.getElementById('library-player')"
                                    ".currentTime > 0.3"), 20, "the movie to play")


if __name__ == "__main__":
    unittest.main(verbosity=2)
