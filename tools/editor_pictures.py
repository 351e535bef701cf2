"""Makes pictures for the README: the area picker (docs/area.png), a still of a styled edit
(docs/editor.png) and a short movie of scrubbing through a zoom (docs/editor-scrub.webm). Run it
inside the test desktop after building:

    scripts/with-desktop /usr/bin/python3 tools/editor_pictures.py [docs]

It drives the program with the WebDriver tests' harness (tests/webdriver/harness.py).
"""

import json
import os
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests/webdriver"))

from harness import MarluneApp, make_movie  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402

OUT = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "docs")
NAME = "Product tour.mp4"
SECONDS = 10


def settled(app):
    app.editor_settled()
    # The window's pixels lag behind the page under load: let them catch up.
    time.sleep(0.8)


def window_geometry(window):
    found = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window],
                           capture_output=True, text=True, check=True).stdout
    g = dict(line.split("=", 1) for line in found.split() if "=" in line)
    return int(g["X"]), int(g["Y"]), int(g["WIDTH"]), int(g["HEIGHT"])


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    with MarluneApp() as app:
        make_movie(app.recordings / NAME, SECONDS, size="1920x1080")
        path = [[i * 100, 0.25 + 0.5 * i / (SECONDS * 10), 0.3 + 0.3 * i / (SECONDS * 10), 0]
                for i in range(SECONDS * 10)]
        (app.recordings / f"{NAME}.marlune.json").write_text(json.dumps(
            {"version": 1, "cursorPath": path,
             "clicks": [{"t": 2500, "fx": 0.37, "fy": 0.38}, {"t": 6000, "fx": 0.55, "fy": 0.48}]}))
        app.start()
        app.resize(1280, 800)
        # The area picker over the display, with the first usual size chosen.
        app.show("record")
        app.click(".area-card")
        app.wait_for(lambda: app.visible(".area-dialog"), 20, "the area picker")
        app.find_all(".area-presets button")[0].click()
        time.sleep(1.0)
        (OUT / "area.png").write_bytes(app.screenshot("area").read_bytes())
        app.click(".area-dialog .button.ghost:not(.small)")  # Cancel
        app.open_in_editor(NAME)
        settled(app)
        # A styled edit: a wallpaper, padding, round corners, and a zoom from 3 s to 7 s.
        app.find_all('.wallpapers[data-kind="wallpaper"] .wallpaper')[2].click()
        app.set_control("#edit-padding", 10)
        app.set_control("#edit-radius", 6)
        app.set_control("#edit-shadow", 70)
        app.find("#editor-title").click()
        app.press("z")  # a zoom region at the playhead
        block = app.wait_for(lambda: app.find_all(".zoom-block"), 10, "a zoom region")[0]
        per_second = app.find("#tl-ruler").rect["width"] / SECONDS
        ActionChains(app.driver).click_and_hold(block).move_by_offset(3 * per_second, 0) \
            .release().perform()
        edge = app.find(".zoom-block .zoom-edge.end")
        ActionChains(app.driver).click_and_hold(edge).move_by_offset(per_second, 0) \
            .release().perform()
        app.set_control("#zoom-scale", 2)
        app.js("document.querySelector('[data-mode=\"cursor\"]').click()")
        ruler = app.find("#tl-ruler")
        width = ruler.rect["width"]
        ActionChains(app.driver).move_to_element_with_offset(ruler, 5.2 * per_second - width / 2,
                                                             0).click().perform()
        settled(app)
        time.sleep(1.7)
        (OUT / "editor.png").write_bytes(app.screenshot("editor").read_bytes())

        # Scrubbing from 1 s to 9 s with the real pointer (xdotool), filmed from the screen.
        x, y, w, h = window_geometry(app.main_window)
        inner_w, inner_h = app.js("return [innerWidth, innerHeight]")
        left, top = x + (w - inner_w) // 2, y + h - inner_h   # the page sits at the bottom
        box = app.js("const r = document.getElementById('tl-ruler').getBoundingClientRect();"
                     "return [r.left, r.top, r.width]")
        raw = OUT / "editor-scrub.raw.webm"
        movie = OUT / "editor-scrub.webm"
        film = subprocess.Popen(
            ["ffmpeg", "-v", "error", "-y", "-f", "x11grab", "-framerate", "15",
             "-video_size", f"{w}x{h}", "-i", f"{os.environ['DISPLAY']}+{x},{y}",
             "-vf", "scale=960:-2", "-c:v", "libvpx", "-b:v", "900k", "-deadline", "realtime",
             "-cpu-used", "8", str(raw)], stdin=subprocess.PIPE)
        time.sleep(1)
        at = lambda f: [str(int(left + box[0] + f * box[2])), str(int(top + box[1] + 6))]
        subprocess.run(["xdotool", "mousemove", *at(0.1), "mousedown", "1"], check=True)
        f = 0.1
        while f < 0.9:
            f += 0.005
            subprocess.run(["xdotool", "mousemove", *at(f)], check=True)
            time.sleep(0.03)
        subprocess.run(["xdotool", "mouseup", "1"], check=True)
        time.sleep(1.5)
        film.communicate(b"q")
        # Filming the screen slows a loaded machine down: the film runs four times as fast.
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", str(raw), "-vf",
                        "setpts=PTS/4,fps=15", "-an", "-c:v", "libvpx", "-b:v", "900k",
                        str(movie)], check=True)
        raw.unlink()
        # Playing, with the styling drawn by the page (kept with the test pictures).
        app.js("document.getElementById('editor-play').click()")
        time.sleep(2.5)
        app.screenshot("editor-playing")
        print(OUT / "editor.png", movie)


if __name__ == "__main__":
    main()
