"""The editor: playing, zoom regions, styling and undo, the edit kept, exports and cancelling."""

import json
import subprocess
import unittest

from harness import MarluneApp, Keys, make_movie
from selenium.webdriver.common.action_chains import ActionChains

NAME = "Demo take.mp4"
WALLPAPERS = '.wallpapers[data-kind="wallpaper"] .wallpaper'
SECONDS = 12
TRACKS = {
    "version": 1,
    "clicks": [{"t": 1500, "fx": 0.3, "fy": 0.3}, {"t": 4200, "fx": 0.7, "fy": 0.6}],
    "cursorPath": [[i * 100, 0.2 + i * 0.004, 0.3 + i * 0.002, 0] for i in range(SECONDS * 10)],
    "caretPath": [[5000, 0.6, 0.4]],
}

# Mean absolute difference of two pictures (data URLs) per colour channel, 0 to 255, measured
# on both drawn 160 pixels wide.
PICTURE_DIFFERENCE = """
const [a, b, done] = arguments;
const load = (src) => new Promise((resolve, reject) => Object.assign(new Image(),
  { onload() { resolve(this); }, onerror: reject, src }));
Promise.all([load(a), load(b)]).then(([x, y]) => {
  const w = 160, h = Math.round(160 * x.naturalHeight / x.naturalWidth);
  const g = Object.assign(document.createElement('canvas'), { width: w, height: h })
    .getContext('2d');
  const pixels = (image) => (g.drawImage(image, 0, 0, w, h), g.getImageData(0, 0, w, h).data);
  const [da, db] = [pixels(x), pixels(y)];
  let sum = 0;
  for (let i = 0; i < da.length; i += 1) if (i % 4 !== 3) sum += Math.abs(da[i] - db[i]);
  done(sum / (w * h * 3));
}, () => done(-1));
"""

PLAYED = "Played take.mp4"
PLAYED_EDIT = {"version": 1,
               "edit": {"frame": {"type": "color", "hex": "#ff00ff", "paddingPct": 12}}}
EARLY_MS = 8
# Waits until the playing clock is 3 s in (or playing ended), pauses, and answers the figures and
# the colour of the drawn picture's corner.
PLAY = """
const [done] = arguments;
let started = false;
const check = () => {
  const p = window.__marlunePlayback, a = document.getElementById('editor-audio');
  const playing = document.getElementById('editor-play').getAttribute('aria-label') === 'Pause';
  const shown = document.getElementById('editor-playing');
  started = started || playing;
  if (!started || (playing && (!a || !(p.clockMs >= 3000) || !shown))) {
    return requestAnimationFrame(check);
  }
  const g = Object.assign(document.createElement('canvas'), { width: 8, height: 8 })
    .getContext('2d');
  if (shown) g.drawImage(shown, 0, 0, shown.naturalWidth, shown.naturalHeight, 0, 0, 200, 200);
  if (playing) document.getElementById('editor-play').click();
  done({ shown: p.shown, lags: p.lags, corner: [...g.getImageData(1, 1, 1, 1).data.slice(0, 3)],
         soundMs: p.clockMs, soundError: p.soundError });
};
requestAnimationFrame(check);
"""


class Editor(unittest.TestCase):
    """One program run: the first step plays PLAYED; the others go on from NAME's edit in turn."""

    @classmethod
    def setUpClass(cls):
        cls.app = MarluneApp()
        make_movie(cls.app.recordings / NAME, SECONDS, size="1280x720")
        (cls.app.recordings / f"{NAME}.marlune.json").write_text(json.dumps(TRACKS))
        make_movie(cls.app.recordings / PLAYED, 6, size="1280x720")
        (cls.app.recordings / f"{PLAYED}.marlune.json").write_text(json.dumps(PLAYED_EDIT))
        cls.app.start()

    @classmethod
    def tearDownClass(cls):
        cls.app.cleanup()

    def open_editor(self):
        app = self.app
        if not (app.visible("#editor") and app.text("#editor-title") == "Demo take"):
            app.open_in_editor(NAME)
            app.editor_settled()

    def difference(self, a, b):
        self.app.driver.set_script_timeout(20)
        return self.app.driver.execute_async_script(PICTURE_DIFFERENCE, a, b)

    def regions(self):
        return self.app.js("return [...document.querySelectorAll('#tl-zooms .zoom-block')]"
                           ".map(b => [Number(b.dataset.startMs), Number(b.dataset.endMs)])")

    def seek(self, ms):
        # Selenium's offsets are from the middle of the element.
        width = self.app.find("#tl-ruler").rect["width"]
        ActionChains(self.app.driver).move_to_element_with_offset(
            self.app.find("#tl-ruler"), ms / (SECONDS * 1000) * width - width / 2, 0).click() \
            .perform()

    def drag(self, element, dx, steps=5):
        """Drags `element` dx pixels to the right as a hand would."""
        actions = ActionChains(self.app.driver).click_and_hold(element).pause(0.2)
        for _ in range(steps):
            actions.move_by_offset(dx / steps, 0).pause(0.1)
        actions.pause(0.2).release().perform()

    def test_0_pictures_keep_to_the_sound_and_the_still_comes_back(self):
        """Playing draws styled pictures when the sound reaches them; pausing brings the still."""
        app = self.app
        app.open_in_editor(PLAYED)
        app.wait_for(lambda: app.js("return document.getElementById('editor-title')"
                                    ".textContent") == "Played take", 20, "the title")
        app.editor_settled()
        app.driver.set_script_timeout(180)
        # A press the page sees as the user's: the sound may only start from one.
        app.click("#editor-play")
        played = app.driver.execute_async_script(PLAY)

        self.assertGreaterEqual(played["soundMs"], 3000, played)
        self.assertGreaterEqual(played["shown"], 2, played)
        lags = played["lags"]
        # Never drawn before its time, never queued behind the sound (late pictures are skipped;
        # how close it stays is bench/page/playback_bench.py's figure).
        self.assertGreaterEqual(min(lags), -EARLY_MS - 1, lags)
        self.assertLess(max(lags), 1000, lags)
        # The styled picture: the edit's background, not the recording's own.
        for got, want in zip(played["corner"], (255, 0, 255)):
            self.assertAlmostEqual(got, want, delta=40, msg=played["corner"])
        # The still picture comes back where pausing left the time.
        app.wait_for(lambda: app.js("return Number(document.getElementById('editor-preview')"
                                    ".dataset.tMs)") >= 2900, 20,
                     "the still picture where pausing left the time")
        app.wait_for(lambda: not app.find_all("#editor-playing"), 20,
                     "the still picture in place of the played one")

    def test_1_zoom_region_add_move_resize(self):
        app = self.app
        self.open_editor()
        whole = app.editor_settled()
        # Z at the playhead (the start): a three-second region, chosen.
        app.find("#editor-title").click()
        app.press("z")
        app.wait_for(lambda: self.regions() == [[0, 3000]], 5, "a zoom region")
        self.assertIn("selected", app.find(".zoom-block").get_attribute("class"))
        # Dragged by its middle two seconds later, then its end stretched by one second.
        block = app.find(".zoom-block")
        per_second = app.find("#tl-ruler").rect["width"] / SECONDS
        self.drag(block, 2 * per_second)
        # The page handles the pointer's events after the driver has sent them.
        start, end = app.wait_for(lambda: self.regions()[0][0] > 0 and self.regions()[0], 10,
                                  "the region to move")
        self.assertAlmostEqual(start, 2000, delta=150)
        self.assertEqual(end - start, 3000)
        edge = app.find(".zoom-block .zoom-edge.end")
        self.drag(edge, per_second)
        start2, end2 = app.wait_for(lambda: self.regions()[0][1] > end and self.regions()[0], 10,
                                    "the region to stretch")
        self.assertEqual(start2, start)
        self.assertAlmostEqual(end2 - start2, 4000, delta=150)
        # A zoom of 3× looking at the top-left, clicked on the whole picture.
        app.set_control("#zoom-scale", 3)
        stage = app.find("#editor-stage").rect
        ActionChains(app.driver).move_to_element_with_offset(
            app.find("#editor-stage"), -stage["width"] * 0.3, -stage["height"] * 0.3).click() \
            .perform()
        app.editor_settled()
        # Let go of the region: the picture in the middle of it is zoomed.
        app.press(Keys.ESCAPE)
        self.seek(start2 + 2500)
        zoomed = app.editor_settled()
        self.assertGreater(self.difference(whole, zoomed), 10, "the zoom shows in the preview")
        self.app.screenshot("editor-zoomed")

    def test_2_styling_changes_the_preview_and_undo_restores_it(self):
        app = self.app
        self.open_editor()
        self.seek(500)
        before = app.editor_settled()
        wallpapers = app.find_all(WALLPAPERS)
        self.assertGreaterEqual(len(wallpapers), 2)
        wallpapers[1].click()
        app.set_control("#edit-padding", 20)
        app.set_control("#edit-radius", 10)
        styled = app.editor_settled()
        self.assertGreater(self.difference(before, styled), 8, "the styling shows in the preview")
        self.app.screenshot("editor-styled")
        # Three undos: radius, padding, wallpaper; the preview is the one before.
        app.find("#editor-title").click()
        for _ in range(3):
            app.chord(Keys.CONTROL, "z")
        self.assertLess(self.difference(before, app.editor_settled()), 1.0,
                        "undo restores the preview")
        self.assertEqual(wallpapers[1].get_attribute("aria-pressed"), "false")
        # And redone.
        for _ in range(3):
            ActionChains(app.driver).key_down(Keys.CONTROL).key_down(Keys.SHIFT).send_keys("z") \
                .key_up(Keys.SHIFT).key_up(Keys.CONTROL).perform()
        self.assertEqual(app.find("#edit-padding").get_attribute("value"), "20")

    def test_3_reload_restores_the_edit_from_the_project_file(self):
        app = self.app
        self.open_editor()
        app.wait_for(lambda: "saved" in app.find("#editor-save-state").get_attribute("class"),
                     10, "the edit to be saved")
        saved = json.loads((app.recordings / f"{NAME}.marlune.json").read_text())
        # The recorded tracks are kept beside the edit.
        self.assertEqual({key: saved[key] for key in TRACKS}, TRACKS)
        self.assertEqual([saved["edit"]["frame"]["paddingPct"], len(saved["edit"]["zooms"])],
                         [20, 1])
        regions = self.regions()
        app.driver.refresh()
        app.wait_ready()
        self.open_editor()
        app.wait_for(lambda: self.regions() == regions, 10, "the zoom region again")
        self.assertEqual([app.find("#edit-padding").get_attribute("value"),
                          app.find("#edit-radius").get_attribute("value"),
                          app.find_all(WALLPAPERS)[1].get_attribute("aria-pressed")],
                         ["20", "10", "true"])

    def test_4_export_to_the_end_then_another_kept_on_leaving_then_cancelled(self):
        app = self.app
        self.open_editor()
        app.set_control("#editor-output", 480)
        app.click("#editor-export")
        app.wait_for(lambda: app.visible("#export-bar"), 10, "the progress bar")
        result = app.wait_for(lambda: app.find_all("#export-result") and
                              app.find("#export-result").get_attribute("data-name"), 180,
                              "the export to finish")
        size = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                               "stream=width,height", "-of", "csv=p=0", app.recordings / result],
                              capture_output=True, text=True, check=True).stdout.strip()
        self.assertEqual([result, size], ["Demo take export.mp4", "852,480"])
        self.app.screenshot("editor-exported")
        # The library lists the new movie.
        app.show("library")
        app.wait_for(lambda: result in app.card_names(), 30, "the exported movie in the library")
        # A second export, cancelled once it has begun: nothing of it is left.
        self.open_editor()
        before = sorted(p.name for p in app.recordings.iterdir())
        app.click("#editor-export")
        app.wait_for(lambda: app.visible("#export-cancel"), 10, "Cancel")
        app.wait_for(lambda: float(app.find("#export-bar").get_attribute("value") or 0) > 0, 60,
                     "the export to begin")
        # Leaving for the library asks first; staying keeps the export.
        app.find('.tab[data-screen="library"]').click()
        app.answer_dialog(ok=False)
        self.assertTrue(app.visible("#editor") and app.visible("#export-cancel"))
        app.click("#export-cancel")
        app.wait_toast("Export cancelled")
        app.wait_for(lambda: not app.visible("#export-panel"), 10, "the panel to close")
        self.assertEqual(sorted(p.name for p in app.recordings.iterdir()), before)
