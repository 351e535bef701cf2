"""Playing in the editor, in the real program: the pictures drawn are the export's own (styled),
each drawn when the sound reaches its time, and the still picture comes back on pause."""

import json
import unittest

from harness import MarluneApp, make_movie

NAME = "Played take.mp4"
EDIT = {"version": 1, "edit": {"frame": {"type": "color", "hex": "#ff00ff", "paddingPct": 12}}}
EARLY_MS = 8

# While playing, waits until the sound is 3 s in (or playing ended), then pauses and answers the figures and the
# colour of the drawn picture's corner (the edit's background).
PLAY = """
const [done] = arguments;
let started = false;
const check = () => {
  const p = window.__marlunePlayback, a = document.getElementById('editor-audio');
  const playing = document.getElementById('editor-play').getAttribute('aria-label') === 'Pause';
  const shown = document.getElementById('editor-playing');
  started = started || playing;
  if (!started || (playing && (!a || a.currentTime < 3 || !shown))) {
    return requestAnimationFrame(check);
  }
  let corner = null;
  if (shown) {
    const g = Object.assign(document.createElement('canvas'), { width: 8, height: 8 })
      .getContext('2d');
    g.drawImage(shown, 0, 0, shown.naturalWidth, shown.naturalHeight, 0, 0, 200, 200);
    corner = [...g.getImageData(1, 1, 1, 1).data.slice(0, 3)];
  }
  if (playing) document.getElementById('editor-play').click();
  done({ shown: p.shown, lags: p.lags, corner, soundMs: a.currentTime * 1000,
         soundError: p.soundError });
};
requestAnimationFrame(check);
"""


class Playback(unittest.TestCase):
    def test_pictures_keep_to_the_sound_and_the_still_comes_back(self):
        with MarluneApp() as app:
            make_movie(app.recordings / NAME, 6, size="1280x720")
            (app.recordings / f"{NAME}.marlune.json").write_text(json.dumps(EDIT))
            app.start()
            if not app.has_command("edit.previewStream", {}):
                raise unittest.SkipTest("this build streams no pictures")
            app.open_in_editor(NAME)
            app.editor_settled()
            app.driver.set_script_timeout(180)
            # A press the page sees as the user's: the sound may only start from one.
            app.click("#editor-play")
            played = app.driver.execute_async_script(PLAY)

            self.assertGreaterEqual(played["soundMs"], 3000, played)
            # More than one picture: a stream, not a still (how many is the bench's figure).
            self.assertGreaterEqual(played["shown"], 2, played)
            lags = played["lags"]
            # Never drawn before its time (but for the early margin), and never queued behind
            # the sound: pictures that came late are skipped, so the lag does not build up over
            # the seconds played (how close it stays is bench/page/playback_bench.py's figure).
            self.assertGreaterEqual(min(lags), -EARLY_MS - 1, lags)
            self.assertLess(max(lags), 1000, lags)
            # The styled picture: the edit's background, not the recording's own.
            for got, want in zip(played["corner"], (255, 0, 255)):
                self.assertAlmostEqual(got, want, delta=40, msg=played["corner"])
            # The time ran with the sound from Play on, and the still picture asked for on pause
            # (a frame or two after the click) is where pausing left it.
            app.wait_for(lambda: app.js("return Number(document.getElementById('editor-preview')"
                                        ".dataset.tMs)") >= 2900, 20,
                         "the still picture where pausing left the time")
            app.wait_for(lambda: not app.find_all("#editor-playing"), 20,
                         "the still picture in place of the played one")


if __name__ == "__main__":
    unittest.main()
