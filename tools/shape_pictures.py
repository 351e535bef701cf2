"""Makes the README's pictures of output shapes and looks: the editor with a 9:16 edit and the
Looks panel (docs/looks.png), and a picture of the 9:16 movie that `marlune export` makes of that
edit (docs/shape-9x16.png). It also checks that a recording opened afterwards, which has no edit of
its own, takes the default look. Run it inside the test desktop after building:

    scripts/with-desktop /usr/bin/python3 tools/shape_pictures.py [docs]
"""

import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests/webdriver"))

from harness import MARLUNE, MarluneApp, make_movie  # noqa: E402

OUT = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "docs")
NAME = "Product tour.mp4"
OTHER = "Second take.mp4"
SECONDS = 8


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    with MarluneApp() as app:
        make_movie(app.recordings / NAME, SECONDS, size="1920x1080")
        make_movie(app.recordings / OTHER, 3, size="1280x720")
        path = [[i * 100, 0.25 + 0.5 * i / (SECONDS * 10), 0.3 + 0.3 * i / (SECONDS * 10), 0]
                for i in range(SECONDS * 10)]
        (app.recordings / f"{NAME}.marlune.json").write_text(json.dumps(
            {"version": 1, "cursorPath": path, "clicks": [{"t": 3900, "fx": 0.5, "fy": 0.45}]}))
        app.start()
        app.resize(1280, 900)
        app.open_in_editor(NAME)
        app.editor_settled()
        app.find_all('.wallpapers[data-kind="wallpaper"] .wallpaper')[1].click()
        app.set_control("#edit-padding", 6)
        app.set_control("#edit-radius", 5)
        app.set_control("#editor-shape", "9:16")
        app.find("#editor-title").click()
        app.editor_settled()
        app.set_control("#look-name", "Vertical demo")
        app.click("#look-save")
        app.wait_toast("Saved the look")
        app.click("#look-default")
        app.wait_toast("New recordings will open with this look")
        app.js("document.querySelector('[data-panel=\"looks\"]').scrollIntoView()")
        time.sleep(1.5)
        (OUT / "looks.png").write_bytes(app.screenshot("looks").read_bytes())

        app.open_in_editor(OTHER)
        app.editor_settled()
        opened = app.js("return [document.getElementById('editor-shape').value,"
                        " document.getElementById('editor-preview').naturalWidth,"
                        " document.getElementById('editor-preview').naturalHeight]")
        print("the other recording opened with:", opened)
        assert opened[0] == "9:16" and opened[1] < opened[2], opened
        app.screenshot("looks-applied")

        # The export of the saved 9:16 edit, from the command line, and one of its pictures.
        with tempfile.TemporaryDirectory() as scratch:
            movie = Path(scratch) / "vertical.mp4"
            env = {k: v for k, v in app.env().items() if k != "WAYLAND_DISPLAY"}
            subprocess.run([MARLUNE, "export", NAME, "--out", str(movie)], env=env, check=True)
            print(subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                                  "stream=width,height", "-of", "csv=p=0", str(movie)],
                                 capture_output=True, text=True).stdout.strip())
            subprocess.run(["ffmpeg", "-v", "error", "-y", "-ss", "4.3", "-i", str(movie),
                            "-frames:v", "1", "-vf", "scale=540:-2",
                            str(OUT / "shape-9x16.png")], check=True)
            keep = os.environ.get("MARLUNE_KEEP_MOVIE")
            if keep:
                subprocess.run(["cp", str(movie), keep], check=True)
    print(OUT / "looks.png", OUT / "shape-9x16.png")


if __name__ == "__main__":
    main()
