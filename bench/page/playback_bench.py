"""How the editor plays a styled edit: the export's own pictures streamed from the application,
kept to the sound. Run inside the test desktop after building:

    scripts/with-desktop /usr/bin/python3 bench/page/playback_bench.py [--seconds=8] [--shot=PATH]

A 1920 x 1080, 30 fps recording with sound (made once under /tmp/marlune-bench-playback) is
opened with a wallpaper, padding, corners, a zoom that follows the pointer and a pointer path; the
editor's stage is 960 pixels wide. It plays `seconds` from the start and prints the pictures drawn
per second (and from the first one on, with the wait for it), those skipped, and how far each drawn picture's time was behind the sound's when it
was drawn (a picture is 33 ms at 30 per second). --shot saves a screenshot taken while playing.
"""

import json
import shutil
import statistics
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests/webdriver"))

from harness import MarluneApp, make_movie  # noqa: E402

CACHE = Path("/tmp/marlune-bench-playback")
NAME = "Bench take.mp4"
LENGTH_S = 20

# Plays for `seconds`, then answers the page's figures. One asynchronous driver command: WebKit
# under automation may hold back frames while no command is under way.
MEASURE = """
const [seconds, done] = arguments;
const started = performance.now();
const check = () => {
  const p = window.__marlunePlayback;
  if (performance.now() - started < seconds * 1000) return setTimeout(check, 50);
  document.getElementById('editor-play').click();
  done({ ...p, elapsed: performance.now() - p.startedAt });
};
check();
"""


def edit(seconds):
    return {
        "version": 1,
        "cursorPath": [[i * 100, 0.3 + 0.4 * i / (seconds * 10), 0.5, 0]
                       for i in range(seconds * 10)],
        "clicks": [{"t": 2000, "fx": 0.4, "fy": 0.5}],
        "edit": {"zooms": [{"id": "z1", "startMs": 1000, "endMs": 7000, "scale": 2,
                            "fx": 0.4, "fy": 0.5, "follow": "cursor"}],
                 "frame": {"type": "wallpaper", "id": "aurora", "paddingPct": 10,
                           "radiusPct": 6}}}


def main():
    seconds, shot = 8, None
    for arg in sys.argv[1:]:
        if arg.startswith("--seconds="):
            seconds = int(arg.split("=", 1)[1])
        if arg.startswith("--shot="):
            shot = Path(arg.split("=", 1)[1])
    source = CACHE / "source.mp4"
    if not source.exists():
        make_movie(source, LENGTH_S, size="1920x1080")
    with MarluneApp() as app:
        shutil.copy(source, app.recordings / NAME)
        (app.recordings / f"{NAME}.marlune.json").write_text(json.dumps(edit(LENGTH_S)))
        app.start()
        app.resize(1400, 900)
        app.open_in_editor(NAME)
        app.editor_settled(60)
        stage = app.js("return document.getElementById('editor-stage').clientWidth")
        app.driver.set_script_timeout(seconds + 60)
        if shot:
            app.click("#editor-play")
            app.wait_for(lambda: app.js("return (window.__marlunePlayback?.shown ?? 0) > 45"),
                         30, "pictures playing")
            shutil.copy(app.screenshot(shot.stem), shot)
            app.js("document.getElementById('editor-play').click()")
            app.editor_settled(60)
        # A press the page sees as the user's: the sound may only start from one.
        app.click("#editor-play")
        figures = app.driver.execute_async_script(MEASURE, seconds)
        lags = sorted(figures["lags"])
        per_second = figures["shown"] / (figures["elapsed"] / 1000)
        pick = lambda q: lags[min(len(lags) - 1, int(q * len(lags)))]
        print(f"stage {stage} px wide (picture asked for at most that many device pixels)")
        print(f"{figures['shown']} pictures drawn in {figures['elapsed'] / 1000:.1f} s: "
              f"{per_second:.1f} per second, {figures['skipped']} skipped")
        # From the first picture on, per second of the sound's own clock: the rate while
        # playing, apart from the wait for the first picture and for the sound to start.
        first = figures["firstAt"] - figures["startedAt"]
        played = (figures["clockMs"] - figures["firstClockMs"]) / 1000
        print(f"first picture {first:.0f} ms after Play, then {(figures['shown'] - 1) / played:.1f}"
              f" per second of sound")
        if lags:
            within = sum(1 for v in lags if abs(v) <= 1000 / 30) / len(lags)
            print(f"behind the sound: median {statistics.median(lags):.1f} ms, 95th "
                  f"{pick(0.95):.1f} ms, most {lags[-1]:.1f} ms, least {lags[0]:.1f} ms; "
                  f"{within * 100:.0f} % within one picture")


if __name__ == "__main__":
    main()
