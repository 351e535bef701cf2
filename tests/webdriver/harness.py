"""The real marlune program under WebKitWebDriver, each run with a private home (needs
scripts/with-desktop, webkit2gtk-driver, python3-selenium, ffmpeg and xdotool)."""

import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

from selenium import webdriver
from selenium.common.exceptions import JavascriptException, NoSuchElementException, \
    StaleElementReferenceException, WebDriverException
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.webkitgtk.options import Options
from selenium.webdriver.webkitgtk.service import Service

MARLUNE = os.environ.get("MARLUNE_BIN", str(Path(__file__).resolve().parents[2] / "build/bin/marlune"))
DRIVER = shutil.which("WebKitWebDriver") or "/usr/bin/WebKitWebDriver"
SHOTS = Path(os.environ.get("MARLUNE_SHOTS_DIR", tempfile.gettempdir()))
START_URL = "marlune://app/index.html"

__all__ = ["MarluneApp", "By", "Keys", "make_movie", "TimeoutError"]


def make_movie(path, seconds, size="640x360", tone=440, rate=30):
    """A movie with a moving test picture and a tone, like a short recording."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run(
        ["ffmpeg", "-v", "error", "-y",
         "-f", "lavfi", "-i", f"testsrc2=size={size}:rate={rate}:duration={seconds}",
         "-f", "lavfi", "-i", f"sine=frequency={tone}:sample_rate=48000:duration={seconds}",
         "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", str(rate),
         "-c:a", "aac", "-shortest", "-movflags", "+faststart", str(path)],
        check=True)
    return path


def geometry(window):
    """An X window's place and size on the screen, as xdotool sees it."""
    found = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window],
                           capture_output=True, text=True).stdout
    values = dict(line.split("=", 1) for line in found.split() if "=" in line)
    return {k: int(values.get(k, 0)) for k in ("X", "Y", "WIDTH", "HEIGHT")}


class MarluneApp:
    """One run of the program under WebDriver, with a private home."""

    def __init__(self):
        self.home = Path(tempfile.mkdtemp(prefix="marlune-webdriver-"))
        self.recordings = self.home / "Videos" / "Marlune"
        self.recordings.mkdir(parents=True)
        self.trash = self.home / ".local/share/Trash/files"
        self.driver = self.service = self.pid = None

    def env(self):
        env = {key: value for key, value in os.environ.items() if key != "XDG_VIDEOS_DIR"}
        env.update(HOME=str(self.home), XDG_CONFIG_HOME=str(self.home / ".config"),
                   XDG_DATA_HOME=str(self.home / ".local/share"),
                   XDG_CACHE_HOME=str(self.home / ".cache"))
        return env

    def start(self, settings=None):
        if settings:
            config = self.home / ".config/marlune"
            config.mkdir(parents=True, exist_ok=True)
            (config / "defaults.json").write_text(json.dumps(settings))
        options = Options()
        options.binary_location = MARLUNE
        # The driver starts the binary with exactly these arguments.
        options.add_argument("--automation")
        # The name the program gives its automation sessions (the default names MiniBrowser).
        options.set_capability("browserName", "marlune")
        # The driver passes its environment on to the program it starts: the private home.
        self.service = Service(executable_path=DRIVER, env=self.env(),
                               log_path=str(self.home / "driver.log"))
        self.service.start()
        try:
            self.driver = webdriver.Remote(command_executor=self.service.service_url,
                                           options=options)
        except Exception:
            self.service.stop()
            raise
        self.driver.set_script_timeout(30)
        # The main view is handed to the session with the page already loaded, and until the
        # session first navigates WebKit runs no animation frames or intersection observers in
        # it: load the page once more through the driver.
        self.driver.get(START_URL)
        self.wait_ready()
        # The main window (and nothing else) carries the application's name: any other window
        # of that name that shows up is one of its dialogs.
        self.main_windows = self._named_windows()
        self.main_window = max(self.main_windows, key=self._area)
        found = subprocess.run(["xdotool", "getwindowpid", self.main_window],
                               capture_output=True, text=True).stdout.strip()
        self.pid = int(found) if found.isdigit() else None
        return self

    def stop(self):
        if self.driver:
            try:
                self.driver.quit()
            except WebDriverException:
                pass
            self.driver = None
        if self.service:
            self.service.stop()
            self.service = None
        # The driver ends the program when its session ends, but not always when the driver
        # itself is stopped first: the next test starts without this program and its window.
        pid = self.pid
        if pid:
            self.pid = None
            for sig in (None, signal.SIGTERM, signal.SIGKILL):
                if sig:
                    try:
                        os.kill(pid, sig)
                    except ProcessLookupError:
                        break
                deadline = time.time() + 5
                while self._running(pid) and time.time() < deadline:
                    time.sleep(0.1)
                if not self._running(pid):
                    break

    @staticmethod
    def _running(pid):
        try:
            with open(f"/proc/{pid}/stat") as f:
                return f.read().rsplit(")", 1)[1].split()[0] != "Z"
        except OSError:
            return False

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.home, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()

    def wait_for(self, predicate, timeout=20, what="the condition"):
        deadline = time.time() + timeout
        last_error = None
        while time.time() < deadline:
            try:
                value = predicate()
                if value:
                    return value
            except (NoSuchElementException, StaleElementReferenceException,
                    JavascriptException) as error:
                last_error = error
            time.sleep(0.1)
        raise TimeoutError(f"timed out after {timeout} s waiting for {what}"
                           + (f" (last error: {last_error})" if last_error else ""))

    def wait_ready(self, timeout=30):
        self.wait_for(lambda: self.js("return document.documentElement.dataset.ready === 'true'"),
                      timeout, "the page to say it is ready")
        self.wait_for(lambda: self.text("#bridge-state") == "Ready", timeout, "Ready")

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def find(self, css):
        return self.driver.find_element(By.CSS_SELECTOR, css)

    def find_all(self, css):
        return self.driver.find_elements(By.CSS_SELECTOR, css)

    def text(self, css):
        return self.find(css).text

    def visible(self, css):
        elements = self.find_all(css)
        return bool(elements) and elements[0].is_displayed()

    def click(self, css):
        # The page redraws lists when replies arrive: an element found a moment ago may be gone
        # by the time it is clicked, so finding and clicking are retried together.
        def attempt():
            element = self._enabled(css)
            if element:
                element.click()
            return element
        return self.wait_for(attempt, 20, f"{css} to be enabled")

    def open_in_editor(self, name):
        """Shows the library, chooses the recording's card, presses "Open in editor" and waits
        for the editor."""
        self.show("library")
        card = f'.rec-card[data-name="{name}"]'
        self.wait_for(lambda: self.find_all(card), 30, "the card")
        def open_it():
            if self.js("return document.querySelector('.rec-card[aria-selected=\"true\"]')"
                       "?.dataset.name") != name:
                # A click that landed while the grid was drawn again, or a listing that came in
                # after it and chose another card: the card is chosen again.
                self.click(card)
                return False
            return self.js("const b = [...document.querySelectorAll('#library-detail button')]"
                           ".find(b => b.textContent.includes('Open in editor'));"
                           "if (b && !b.disabled) { b.click(); return true; } return false;")
        self.wait_for(open_it, 20, "Open in editor")
        self.wait_for(lambda: self.visible("#editor"), 20, "the editor")

    def card_names(self):
        return self.js("return [...document.querySelectorAll('.rec-card:not([hidden])')]"
                       ".map(c => c.dataset.name)")

    def card(self, name):
        return self.find(f'.rec-card[data-name="{name}"]')

    def thumbnail_loaded(self, name):
        return self.js("const i = document.querySelector(`.rec-card[data-name=\"${arguments[0]}\"]"
                       " img`); return !!i && i.complete && i.naturalWidth > 0;", name)

    def set_control(self, css, value):
        """Moves a slider (or sets a field) and lets go of it, as a hand would."""
        self.js("const i = document.querySelector(arguments[0]); i.value = arguments[1];"
                "i.dispatchEvent(new Event('input')); i.dispatchEvent(new Event('change'));",
                css, str(value))

    def editor_settled(self, timeout=30):
        """Waits for the editor's picture asked for last to be shown; returns it (a data URL)."""
        self.wait_for(lambda: self.js(
            "const s = document.getElementById('editor-stage'), i = document.getElementById("
            "'editor-preview'); return s.dataset.pending === 'false' && !i.hidden && "
            "i.complete && i.naturalWidth > 0"), timeout, "the preview")
        return self.js("return document.getElementById('editor-preview').src")

    def _enabled(self, css):
        element = self.find(css)
        return element if element.is_displayed() and element.is_enabled() else None

    def press(self, *keys):
        webdriver.ActionChains(self.driver).send_keys(*keys).perform()

    def wait_toast(self, fragment, timeout=20):
        toasts = lambda: self.js("return [...document.querySelectorAll('.toast')]"
                                 ".map(t => t.textContent)")
        try:
            return self.wait_for(lambda: next((t for t in toasts() if fragment in t), None),
                                 timeout, f"a message saying “{fragment}”")
        except TimeoutError as error:
            raise TimeoutError(f"{error}; messages shown: {toasts()}") from None

    def chord(self, modifier, key):
        webdriver.ActionChains(self.driver).key_down(modifier).send_keys(key) \
            .key_up(modifier).perform()

    def show(self, screen):
        self.click(f'.tab[data-screen="{screen}"]')
        self.wait_for(lambda: self.visible(f"#screen-{screen}"), 10, f"the {screen} screen")

    def command(self, cmd, payload=None, timeout=30):
        """Sends one command through the page's own message handler and returns the reply
        envelope; for checks the page itself does not show."""
        script = """
            const [cmd, payload, done] = arguments;
            const id = 'wd-' + Math.random().toString(36).slice(2);
            const deliver = window.__marluneDeliver;
            window.__marluneDeliver = (reply) => {
              if (reply && reply.id === id) {
                window.__marluneDeliver = deliver;
                done(reply);
              } else {
                deliver(reply);
              }
            };
            window.webkit.messageHandlers.marlune.postMessage({id, cmd, payload});
        """
        self.driver.set_script_timeout(timeout)
        return self.driver.execute_async_script(script, cmd, payload or {})

    @staticmethod
    def _area(window):
        size = geometry(window)
        return size["WIDTH"] * size["HEIGHT"]

    def _named_windows(self):
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Marlune Studio$"],
                               capture_output=True, text=True)
        return set(found.stdout.split())

    def answer_dialog(self, ok=True, timeout=10):
        """Answers the application's confirmation dialog (a native window, outside the page):
        Return takes its default answer (the action), Escape cancels."""
        dialog = self.wait_for(lambda: self._named_windows() - self.main_windows, timeout,
                               "the confirmation dialog")
        window = sorted(dialog)[-1]
        # Real key presses to the active window: the toolkit ignores keys sent to a window.
        subprocess.run(["xdotool", "windowactivate", "--sync", window], check=False)
        subprocess.run(["xdotool", "key", "--clearmodifiers", "Return" if ok else "Escape"],
                       check=True)
        self.wait_for(lambda: window not in self._named_windows(), timeout,
                      "the dialog to close")

    def screenshot(self, name, timeout=10):
        """Saves a picture of the main window as it is on the screen as SHOTS/name.png. (The
        driver's own screenshots can lag behind what the window shows, and miss pictures that
        are still being decoded.)"""
        window = self.main_window
        last = [None]
        # Something that moves for ever (the recording bar's pulsing dot) never settles: after
        # a few seconds any picture that shows something is taken.
        settle_until = time.monotonic() + min(3.0, timeout / 2)
        def grab():
            # WebKit paints a moment after the page changed (and after the window was
            # resized): the picture is taken once two grabs in a row agree and show something.
            png = subprocess.run(["import", "-window", window, "rgba:-"], capture_output=True,
                                 check=True).stdout
            settled = png == last[0] or time.monotonic() > settle_until
            last[0] = png
            if not settled:
                time.sleep(0.5)
                return None
            png = subprocess.run(["import", "-window", window, "png:-"], capture_output=True,
                                 check=True).stdout
            # A window that has not drawn yet is one flat colour.
            spread = subprocess.run(["convert", "png:-", "-format", "%[fx:standard_deviation]",
                                     "info:"], input=png, capture_output=True, check=True).stdout
            return png if float(spread or 0) >= 0.01 else None
        png = self.wait_for(grab, timeout, "a settled picture that is not blank")
        SHOTS.mkdir(parents=True, exist_ok=True)
        path = SHOTS / f"{name}.png"
        path.write_bytes(png)
        return path

    def resize(self, width, height):
        self.driver.set_window_size(width, height)
        self.wait_for(lambda: abs(self.js("return window.innerWidth") - width) < 60, 10,
                      f"the window to be {width} wide")
