"""The library, the shell (keys, labels, title row, window) and a whole recording."""

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

    @classmethod
    def tearDownClass(cls):
        cls.app.cleanup()

    def open_library(self):
        self.app.show("library")
        self.app.wait_for(lambda: len(self.app.card_names()) >= 3, 60, "the recordings")

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
        # Alt+2 and Alt+1 switch screens.
        for key, screen in [("2", "library"), ("1", "record")]:
            app.chord(Keys.ALT, key)
            app.wait_for(lambda: app.visible(f"#screen-{screen}"), 5, f"the {screen} screen")

    def test_08_recordings_removed_behind_the_page(self):
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

    def test_11_title_row_with_named_controls_maximises_the_window(self):
        app = self.app
        # No title bar of GTK's: the page fills the window's height.
        self.assertLess(geometry(app.main_window)["HEIGHT"] - app.js("return innerHeight"), 12)
        self.assertEqual([b.get_attribute("aria-label")
                          for b in app.find_all(".window-buttons button")],
                         ["Minimise", "Maximise", "Close"])
        app.screenshot("title-row")
        label = lambda: app.find(".window-button.maximize").get_attribute("aria-label")
        for want in ["Restore", "Maximise"]:
            app.click(".window-button.maximize")
            app.wait_for(lambda: label() == want, 10, f"the button to say {want}")

    def test_13_closing_the_main_view_ends_the_program(self):
        app = self.app
        pid = app.pid
        self.assertTrue(pid)
        app.driver.close()
        app.wait_for(lambda: not app._running(pid), 30, "the program to end")


class Sources(unittest.TestCase):
    """One program run: the picker, then the first display recorded through the bar."""

    @classmethod
    def setUpClass(cls):
        cls.app = MarluneApp().start(settings={"micEnabled": False, "systemAudioEnabled": False,
                                               "webcamEnabled": False})

    @classmethod
    def tearDownClass(cls):
        cls.app.cleanup()

    def test_record_three_seconds_pausing_with_space_in_the_bar(self):
        app = self.app
        display = ".source-card[data-kind='display']"
        app.wait_for(lambda: app.find_all(display), 30, "a display")
        self.assertFalse(app.find("#record-button").is_enabled())
        self.assertIn("Choose a display or a window", app.text("#record-reason"))
        app.click(display)
        app.wait_for(lambda: app.find_all("#preview img"), 30, "the preview")
        app.wait_for(lambda: app.find(display).get_attribute("aria-pressed") == "true", 10,
                     "the display card to be pressed")
        app.wait_for(lambda: app.find("#record-button").is_enabled(), 20, "Record to be enabled")
        app.screenshot("record")
        before = app.driver.get_window_size()
        app.click("#record-button")
        # The countdown shows in the window, then the window becomes the bar.
        app.wait_for(lambda: app.visible("#countdown"), 10, "the countdown")
        app.wait_for(lambda: app.visible("#bar"), 20, "the bar")
        app.wait_for(lambda: app.driver.get_window_size()["height"] < 120, 10, "the small window")
        app.wait_for(lambda: app.text("#bar-time") >= "00:03", 15, "three seconds")
        app.screenshot("bar")
        # Space pauses and resumes, even with the focus on Stop: real key presses to the window.
        app.wait_for(lambda: app.js("return document.activeElement.id") == "bar-stop", 10,
                     "the focus on Stop")
        subprocess.run(["xdotool", "windowactivate", "--sync", app.main_window], check=False)
        for phase in ["Paused", "Recording"]:
            subprocess.run(["xdotool", "key", "--clearmodifiers", "space"], check=True)
            app.wait_for(lambda: app.js("return document.getElementById('bar-phase').textContent")
                         == phase, 10, f"the bar to say {phase}")
        app.click("#bar-stop")
        # Saved: the window is back to its size and the new recording is open in the editor.
        app.wait_for(lambda: app.visible("#editor"), 30, "the editor")
        # The size comes back and stays, and so does the minimum (given back only once the size
        # is reached: given earlier, the window manager shrank the window to it).
        app.wait_for(lambda: abs(app.driver.get_window_size()["width"] - before["width"]) <= 40,
                     10, "the window's own size")
        app.wait_for(lambda: re.search(r"minimum size: 9\d\d by", subprocess.run(
            ["xprop", "-id", app.main_window, "WM_NORMAL_HINTS"], capture_output=True,
            text=True).stdout), 5, "the window's minimum size")
        self.assertAlmostEqual(app.driver.get_window_size()["width"], before["width"], delta=40)
        movies = [p.name for p in app.recordings.glob("*.mp4")]
        self.assertEqual(len(movies), 1, movies)
        name = movies[0]
        self.assertTrue(re.match(r"Marlune \d{4}-\d\d-\d\d at \d\d\.\d\d\.\d\d\.mp4$", name), name)
        app.wait_for(lambda: app.js("return document.getElementById('editor-title').textContent")
                     == name[:-4], 10, "its title")
        app.screenshot("after-recording")
        # The library lists it with its picture and length: three seconds and the pause.
        app.show("library")
        app.wait_for(lambda: name in app.card_names(), 30, "the new recording's card")
        app.wait_for(lambda: app.thumbnail_loaded(name), 20, "its thumbnail")
        self.assertRegex(app.card(name).text, r"0:0[3-9](?!\d)")
