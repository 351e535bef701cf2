"""Makes the README's picture of automatic zooms (docs/auto-zoom.png): a recording with a burst of
clicks, some typing and a last click, after "Auto zoom" proposed its regions. Run it inside the
test desktop after building:

    scripts/with-desktop /usr/bin/python3 tools/auto_zoom_picture.py [docs]

It drives the program with the WebDriver tests' harness (tests/webdriver/harness.py).
"""

import json
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests/webdriver"))

from harness import Keys, MarluneApp, make_movie  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402

OUT = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "docs")
NAME = "Settings walkthrough.mp4"
SECONDS = 24


def project():
    # Three clicks on a toolbar, a form filled in, and a save button far away.
    clicks = [{"t": t, "fx": fx, "fy": fy} for t, fx, fy in
              [(2500, 0.22, 0.18), (3600, 0.28, 0.2), (4700, 0.25, 0.26), (21000, 0.8, 0.86)]]
    caret = [[11000 + 125 * i, 0.42 + 0.006 * i, 0.55] for i in range(30)]
    path = [[i * 100, 0.5 + 0.3 * ((i % 60) / 60 - 0.5), 0.5, 0] for i in range(SECONDS * 10)]
    return {"version": 1, "clicks": clicks, "caretPath": caret, "cursorPath": path}


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    with MarluneApp() as app:
        make_movie(app.recordings / NAME, SECONDS, size="1920x1080")
        (app.recordings / f"{NAME}.marlune.json").write_text(json.dumps(project()))
        app.start()
        app.resize(1280, 800)
        app.open_in_editor(NAME)
        app.editor_settled()
        app.click("#zoom-auto")
        app.wait_toast("Added 3 zooms")
        labels = app.wait_for(lambda: app.js(
            "const b = [...document.querySelectorAll('#tl-zooms .zoom-block')];"
            "return b.length === 3 && b.map(x => [x.dataset.startMs, x.dataset.endMs,"
            " x.textContent])"), 20, "the three regions on the timeline")
        print("regions:", labels)
        # The playhead in the typing region, which follows the caret, and that region chosen.
        ruler = app.find("#tl-ruler")
        width = ruler.rect["width"]
        ActionChains(app.driver).move_to_element_with_offset(
            ruler, 13.5 / SECONDS * width - width / 2, 0).click().perform()
        app.find("#tl-zooms .zoom-block:nth-child(2)").send_keys(Keys.ENTER)
        app.editor_settled()
        time.sleep(1.0)
        (OUT / "auto-zoom.png").write_bytes(app.screenshot("auto-zoom").read_bytes())
        print(OUT / "auto-zoom.png")


if __name__ == "__main__":
    main()
