"""The account screen against tests/account/service_standin.py, fake_browser.py as the browser."""

import json
import os
import subprocess
import sys
import unittest
import urllib.request
from pathlib import Path

from harness import MarluneApp

ACCOUNT_TESTS = Path(__file__).resolve().parents[1] / "account"
# The program's built-in account configuration (src/account/CMakeLists.txt).
API_KEY = os.environ.get("MARLUNE_AUTH_API_KEY", "marlune-placeholder-web-api-key-0000000")
PROJECT = os.environ.get("MARLUNE_AUTH_PROJECT_ID", "marlune-placeholder")


class StandIn:
    def __init__(self):
        self.process = subprocess.Popen([sys.executable, str(ACCOUNT_TESTS / "service_standin.py"),
                                         API_KEY, PROJECT], stdout=subprocess.PIPE, text=True)
        self.base = "http://127.0.0.1:%d" % int(self.process.stdout.readline().split()[1])

    def control(self, path, body=None):
        request = urllib.request.Request(self.base + path, method="POST" if body else "GET",
                                         data=json.dumps(body).encode() if body else None)
        with urllib.request.build_opener(urllib.request.ProxyHandler({})).open(request, timeout=20) as a:
            return json.loads(a.read() or b"{}")


class Account(unittest.TestCase):
    """One program run; each step starts signed in or out as the one before left it."""

    @classmethod
    def setUpClass(cls):
        cls.standin = StandIn()
        cls.app = MarluneApp()
        home = cls.app.home
        browser = f'{sys.executable} "{ACCOUNT_TESTS / "fake_browser.py"}" %u'
        (home / ".local/share/applications").mkdir(parents=True)
        (home / ".local/share/applications/marlune-test-browser.desktop").write_text(
            "[Desktop Entry]\nType=Application\nName=Test Browser\nExec=" + browser +
            "\nMimeType=x-scheme-handler/http;x-scheme-handler/https;\nNoDisplay=true\n")
        (home / ".config").mkdir(parents=True, exist_ok=True)
        (home / ".config/mimeapps.list").write_text(
            "[Default Applications]\nx-scheme-handler/http=marlune-test-browser.desktop\n"
            "x-scheme-handler/https=marlune-test-browser.desktop\n")
        cls.sign_in_page = cls.standin.base + "/page"
        os.environ["MARLUNE_TEST_SIGN_IN_PAGE"] = cls.sign_in_page
        base = cls.standin.base
        cls.app.start({"authIdentityServiceURL": base + "/identity",
                       "authTokenServiceURL": base + "/token",
                       "authDatabaseServiceURL": base + "/database", "exportCountTotal": 5})
        cls.app.click("#account-button")
        cls.app.wait_for(lambda: cls.app.visible("#screen-account"), 10, "the account screen")

    @classmethod
    def tearDownClass(cls):
        cls.app.cleanup()
        cls.standin.process.terminate()
        cls.standin.process.wait(10)
        os.environ.pop("MARLUNE_TEST_SIGN_IN_PAGE", None)

    def wait_mode(self, mode, timeout=30):
        self.app.wait_for(lambda: self.app.js("return document.getElementById('account-body')"
                                              ".dataset.mode") == mode, timeout, mode)

    def error_at(self, place):
        found = self.app.find_all(f'#account-error-{place}')
        return found[0].text if found else ""

    def test_2_browser_wait_is_cancelled(self):
        app = self.app
        self.wait_mode("signedOut")
        app.screenshot("account-sign-in")
        app.click("#account-google")
        self.wait_mode("waiting")
        self.assertIn("browser", app.text("#account-wait-text"))
        self.assertEqual(app.js("return document.activeElement.id"), "account-cancel")
        app.click("#account-cancel")
        self.wait_mode("signedOut")
        self.assertEqual(self.error_at("wait"), "")

    def test_4_browser_sign_in_shows_the_profile_and_count(self):
        app = self.app
        self.standin.control("/control/config", {"googleToken": "google-id-token-ann"})
        app.click("#account-google")
        self.wait_mode("signedIn")
        self.assertEqual(app.text("#account-name"), "Ann Example")
        self.assertEqual(app.text("#account-email"), "ann@example.com")
        self.assertEqual(app.text("#account-export-count"), "5")
        self.assertEqual(app.find("#account-button").get_attribute("aria-label"),
                         "Account: Ann Example")
        app.screenshot("account-signed-in")

    def test_5_sign_out_then_a_bad_address_then_in_by_mail(self):
        app = self.app
        app.click("#account-sign-out")
        self.wait_mode("signedOut")
        self.assertEqual(app.js("return document.activeElement.id"), "account-google")
        # A bad address is refused beside the field, which keeps the focus.
        field = app.find("#account-email-input")
        field.send_keys("bob.example.com")
        app.click("#account-email-send")
        app.wait_for(lambda: self.error_at("email") == "Enter a valid email address", 20,
                     "the address's failure")
        self.assertEqual(app.js("return document.activeElement.id"), "account-email-input")
        field = app.find("#account-email-input")  # drawn again with the message
        field.clear()
        field.send_keys("  bob@example.com ")
        app.click("#account-email-send")
        self.wait_mode("waiting")
        self.assertIn("bob@example.com", app.text("#account-wait-text"))
        app.screenshot("account-waiting")
        link = app.wait_for(lambda: self.standin.control("/control/state")["mailbox"], 20,
                            "the mailed link")[-1]["link"]
        subprocess.run([sys.executable, str(ACCOUNT_TESTS / "fake_browser.py"), link],
                       env=dict(os.environ, MARLUNE_TEST_SIGN_IN_PAGE=self.sign_in_page),
                       check=True, timeout=30)
        self.wait_mode("signedIn")
        self.assertEqual(app.text("#account-name"), "bob@example.com")
