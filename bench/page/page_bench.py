"""How quickly the page is ready and shows a large library, in the real program.

    scripts/with-desktop /usr/bin/python3 bench/page/page_bench.py [--runs N]

With 200 recordings in the library (one 10-second 1080p movie made once under
/tmp/marlune-bench-page and hard-linked 200 times), it prints:

- ready: from starting `marlune --smoke` to the page's "app.ready" (the program prints
  MARLUNE_SMOKE_OK when it arrives), best and median of N runs;
- library: from opening the Library screen to the grid listing every card and to the first
  thumbnail drawn (the pictures are fetched as cards come into view), and the listing reply
  without pictures against the one that carries every picture (what the page would otherwise
  wait for);
- scrolling: the frame intervals while the 200-card grid scrolls from top to bottom in 3 s.

Figures taken while other programs use the cores are only indicative.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests/webdriver"))
import harness  # noqa: E402

CACHE = Path("/tmp/marlune-bench-page")
COUNT = 200


def prepare():
    source = CACHE / "source.mp4"
    if not source.exists():
        print("making the 10-second 1080p source movie (once)…", file=sys.stderr)
        CACHE.mkdir(parents=True, exist_ok=True)
        harness.make_movie(source, 10, size="1920x1080")
    home = CACHE / "home"
    folder = home / "Videos/Marlune"
    folder.mkdir(parents=True, exist_ok=True)
    for i in range(1, COUNT + 1):
        link = folder / f"Recording {i:03}.mp4"
        if not link.exists():
            os.link(source, link)
    return home


def ready_times(home, runs):
    env = dict(os.environ, HOME=str(home), XDG_CONFIG_HOME=str(home / ".config"),
               XDG_DATA_HOME=str(home / ".local/share"), XDG_CACHE_HOME=str(home / ".cache"))
    times = []
    for _ in range(runs):
        start = time.monotonic()
        child = subprocess.Popen([harness.MARLUNE, "--smoke"], env=env, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, text=True)
        for line in child.stdout:
            if line.strip() == "MARLUNE_SMOKE_OK":
                times.append((time.monotonic() - start) * 1000)
                break
        child.wait()
    return times


def library_times(app):
    """Opens the Library screen on a freshly loaded page; returns (every card listed, first
    picture drawn) in milliseconds from opening it."""
    app.driver.get(harness.START_URL)
    app.wait_ready()
    script = """
        const done = arguments[arguments.length - 1];
        const t0 = Date.now();
        let cards = null;
        const check = () => {
          if (cards === null && document.querySelectorAll('.rec-card').length >= %d) {
            cards = Date.now() - t0;
          }
          const first = window.__marluneTimings.firstThumbnail;
          if (cards !== null && first) return done([cards, first - t0]);
          if (Date.now() - t0 > 600000) return done(null);
          setTimeout(check, 5);
        };
        document.querySelector('.tab[data-screen="library"]').click();
        check();
    """ % COUNT
    app.driver.set_script_timeout(600)
    return app.driver.execute_async_script(script)


def full_listing_ms(app):
    start = time.monotonic()
    reply = app.command("library.list", {}, timeout=600)
    assert reply["ok"] and len(reply["result"]["items"]) == COUNT
    return (time.monotonic() - start) * 1000


def bare_listing_ms(app):
    start = time.monotonic()
    reply = app.command("library.list", {"thumbs": False}, timeout=600)
    assert reply["ok"] and len(reply["result"]["items"]) == COUNT
    return (time.monotonic() - start) * 1000


def scroll_frames(app):
    script = """
        const done = arguments[arguments.length - 1];
        const list = document.getElementById('library-list');
        list.scrollTop = 0;
        const span = list.scrollHeight - list.clientHeight;
        const frames = [];
        let start = null, last = null;
        const step = (t) => {
          if (start === null) { start = t; last = t; }
          frames.push(t - last);
          last = t;
          const f = Math.min(1, (t - start) / 3000);
          list.scrollTop = span * f;
          if (f < 1) requestAnimationFrame(step); else done(frames.slice(1));
        };
        requestAnimationFrame(step);
    """
    return app.driver.execute_async_script(script)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    home = prepare()

    ready = ready_times(home, args.runs)
    print(f"ready (launch → app.ready), {COUNT} recordings, {len(ready)} runs: "
          f"best {min(ready):.0f} ms, median {statistics.median(ready):.0f} ms")

    app = harness.MarluneApp()
    shutil.rmtree(app.recordings)
    app.recordings.symlink_to(home / "Videos/Marlune")
    try:
        app.start()
        cards, first = [], []
        for _ in range(max(1, args.runs // 2)):
            c, f = library_times(app)
            cards.append(c)
            first.append(f)
        print(f"library opened → every card listed: median {statistics.median(cards):.0f} ms; "
              f"→ first thumbnail drawn: median {statistics.median(first):.0f} ms")
        print(f"listing reply without pictures: {bare_listing_ms(app):.0f} ms; "
              f"with every picture (the listing's own way): {full_listing_ms(app):.0f} ms")
        # Twice: first while the pictures come in as their cards scroll into view, then again
        # over the pictures fetched by then.
        for what in ("first time", "second time"):
            frames = sorted(scroll_frames(app))
            if frames:
                p95 = frames[int(len(frames) * 0.95) - 1]
                slow = sum(1 for f in frames if f > 50)
                print(f"scrolling {COUNT} cards in 3 s, {what}: {len(frames)} frames, median "
                      f"{statistics.median(frames):.1f} ms, 95th percentile {p95:.1f} ms, "
                      f"{slow} longer than 50 ms")
            loaded = app.js("return [...document.querySelectorAll('.rec-card img')]"
                            ".filter((i) => i.complete && i.naturalWidth > 0).length")
            print(f"  pictures drawn after it: {loaded} of {COUNT}")
    finally:
        app.recordings.unlink()
        app.recordings.mkdir()
        app.cleanup()


if __name__ == "__main__":
    main()
