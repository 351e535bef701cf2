"""The page's keys and focus in the real program: Space in the recording bar, and controls that
keep the keyboard's focus while the page updates around them."""

import unittest

from harness import Keys, MarluneApp


class Keyboard(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.app = MarluneApp().start()
        # The commands the page sends, seen on their way out.
        cls.app.js("const h = window.webkit.messageHandlers.marlune, post = h.postMessage.bind(h);"
                   "window.__sent = []; h.postMessage = (m) => { window.__sent.push(m.cmd); post(m); };")

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
        # Synthesised keys go to the window that has the keyboard: a click gives it to the page.
        app.find(".section-header h1").click()
        self.send(("state", {"phase": "recording", "elapsedMs": 0}))
        app.wait_for(lambda: app.visible("#bar") and app.js(
            "return document.activeElement.id") == "bar-stop", 10, "the bar, focus on Stop")
        for phase, want in [("recording", "recording.pause"), ("paused", "recording.resume")]:
            self.send(("state", {"phase": phase, "elapsedMs": 1000}))
            app.js("window.__sent = []")
            app.press(Keys.SPACE)
            app.wait_for(lambda: self.sent("recording.pause", "recording.resume", "recording.stop"),
                         10, "a command from Space")
            self.assertEqual(self.sent("recording.pause", "recording.resume", "recording.stop"),
                             [want], phase)
        self.send(("state", {"phase": "idle", "elapsedMs": 0}))
        app.wait_for(lambda: app.visible("#screen-record"), 10, "the whole window")
