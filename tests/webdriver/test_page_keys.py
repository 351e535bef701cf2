"""The page's keys, focus and window in the real program: Space in the recording bar, controls
that keep the keyboard's focus while the page updates around them, and closing the window."""

import subprocess
import unittest

from harness import MarluneApp


class Keyboard(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.app = MarluneApp().start()
        # The commands the page sends, seen on their way out. The page looks the handler up at
        # every command, and WebKit makes a new one once nothing holds the last: the page keeps
        # this one, with its hook, alive.
        cls.app.js("const h = window.webkit.messageHandlers.marlune, post = h.postMessage.bind(h);"
                   "window.__sent = []; h.postMessage = (m) => { window.__sent.push(m.cmd); post(m); };"
                   "window.__hookedHandler = h;")

    @classmethod
    def tearDownClass(cls):
        cls.app.cleanup()

    def send(self, *events):
        for name, data in events:
            self.app.js("window.__marluneEvent(arguments[0])", {"name": name, "data": data})

    def sent(self, *commands):
        return [c for c in self.app.js("return window.__sent") if c in commands]

    def test_space_in_the_bar_pauses_and_resumes_instead_of_stopping(self):
        app = self.app
        self.send(("state", {"phase": "recording", "elapsedMs": 0}))
        app.wait_for(lambda: app.visible("#bar") and app.js(
            "return document.activeElement.id") == "bar-stop", 10, "the bar, focus on Stop")
        # Real key presses, to the window made active (as the harness answers dialogs).
        subprocess.run(["xdotool", "windowactivate", "--sync", app.main_window], check=False)
        for phase, want in [("recording", "recording.pause"), ("paused", "recording.resume")]:
            self.send(("state", {"phase": phase, "elapsedMs": 1000}))
            app.js("window.__sent = []")
            subprocess.run(["xdotool", "key", "--clearmodifiers", "space"], check=True)
            app.wait_for(lambda: self.sent("recording.pause", "recording.resume", "recording.stop"),
                         10, "a command from Space")
            self.assertEqual(self.sent("recording.pause", "recording.resume", "recording.stop"),
                             [want], phase)
        self.send(("state", {"phase": "idle", "elapsedMs": 0}))
        app.wait_for(lambda: app.visible("#screen-record"), 10, "the whole window")

    def test_options_and_source_cards_keep_the_focus_across_changes(self):
        app = self.app
        app.wait_for(lambda: app.find_all(".source-card"), 30, "the source cards")
        for control, change in [
            ("#setting-showCursor", lambda: app.find("#setting-showCursor").click()),
            (".source-card", lambda: app.js("document.getElementById('sources-refresh').click()")),
        ]:
            app.js("const e = document.querySelector(arguments[0]); e.focus(); e.__kept = true;"
                   "window.__sent = [];", control)
            change()
            # The change is answered (a setting stored, the sources listed again) ...
            app.wait_for(lambda: self.sent("settings.set", "sources.list") and app.js(
                "return !document.querySelector('#settings [aria-busy]') &&"
                " !document.getElementById('sources-refresh').classList.contains('busy')"),
                20, f"{control} changed")
            # ... and the control the keyboard was on is still there, with the focus.
            self.assertTrue(app.js("return document.activeElement.__kept === true"), control)


class CloseWindow(unittest.TestCase):
    def test_closing_the_main_view_ends_the_program(self):
        with MarluneApp() as app:
            app.start()
            pid = app.pid
            self.assertTrue(pid)
            app.driver.close()
            app.wait_for(lambda: not app._running(pid), 30, "the program to end")
