"""How the editor's page keeps up while an export runs: the intervals between the page's animation
frames (requestAnimationFrame) during a styled export of a 1080p recording, with the progress bar
moving. Run inside the test desktop after
building:

    scripts/with-desktop /usr/bin/python3 bench/page/editor_bench.py [--seconds=30]

The recording (1920 x 1080, 30 fps, with sound) is made once under /tmp/marlune-bench-editor.
"""

import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests/webdriver"))

from harness import MarluneApp, make_movie  # noqa: E402

CACHE = Path("/tmp/marlune-bench-editor")
NAME = "Bench take.mp4"

# Collects the page's frame times until `until()` holds (checked every frame), then answers
# them. It runs as one asynchronous driver command: WebKit under automation may hold back frames
# while no command is under way.
MEASURE = """
const [done] = arguments;
const frames = [];
const started = performance.now();
const until = () => !!document.getElementById('export-result') ||
  performance.now() - started > 600000;
document.getElementById('editor-export').click();
const tick = (t) => {
  frames.push(t);
  if (until()) done(frames); else requestAnimationFrame(tick);
};
requestAnimationFrame(tick);
"""


def measure(app):
    app.driver.set_script_timeout(900)
    frames = app.driver.execute_async_script(MEASURE)
    return sorted(b - a for a, b in zip(frames, frames[1:]))


def summary(gaps):
    if not gaps:
        return "no frames"
    pick = lambda q: gaps[min(len(gaps) - 1, int(q * len(gaps)))]
    over = sum(1 for g in gaps if g > 50)
    return (f"{len(gaps) + 1} frames, median {pick(0.5):.1f} ms, 99th {pick(0.99):.1f} ms, "
            f"longest {gaps[-1]:.1f} ms, {over} over 50 ms")


def main():
    seconds = 30
    for arg in sys.argv[1:]:
        if arg.startswith("--seconds="):
            seconds = int(arg.split("=", 1)[1])
    source = CACHE / f"{seconds}s.mp4"
    if not source.exists():
        make_movie(source, seconds, size="1920x1080")
    with MarluneApp() as app:
        shutil.copy(source, app.recordings / NAME)
        (app.recordings / f"{NAME}.marlune.json").write_text(json.dumps({
            "version": 1,
            "cursorPath": [[i * 100, 0.3 + 0.4 * i / (seconds * 10), 0.5, 0]
                           for i in range(seconds * 10)],
            "clicks": [{"t": 2000, "fx": 0.4, "fy": 0.5}],
            "edit": {"zooms": [{"id": "z1", "startMs": 2000, "endMs": 8000, "scale": 2,
                                "fx": 0.4, "fy": 0.5, "follow": "cursor"}],
                     "frame": {"type": "wallpaper", "id": "aurora", "paddingPct": 10,
                               "radiusPct": 6}}}))
        app.start()
        app.show("library")
        app.wait_for(lambda: app.find_all(f'.rec-card[data-name="{NAME}"]'), 60, "the card")
        app.find(f'.rec-card[data-name="{NAME}"]').click()
        app.wait_for(lambda: app.js(
            "const b = [...document.querySelectorAll('#library-detail button')]"
            ".find(b => b.textContent.includes('Open in editor'));"
            "if (b && !b.disabled) { b.click(); return true; } return false;"), 30, "the editor")
        app.wait_for(lambda: app.js("return document.getElementById('editor-stage')"
                                    ".dataset.pending === 'false'"), 60, "the preview")
        time.sleep(1)
        started = time.time()
        during = measure(app)
        export_s = time.time() - started
        print(f"load average {os.getloadavg()[0]:.1f}")
        print(f"while exporting:  {summary(during)} (export of {seconds} s took {export_s:.1f} s)")


if __name__ == "__main__":
    main()
