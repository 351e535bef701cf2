#!/usr/bin/env python3
"""Plays the user's web browser in the account tests (fake_browser.py URL): the default handler
of https addresses in a test HOME, it loads the sign-in page from the service stand-in instead
(MARLUNE_TEST_SIGN_IN_PAGE, its page prefix) and follows the redirect to the app's "/callback"."""

import os
import sys
import urllib.parse
import urllib.request


def main():
    opened = sys.argv[1]
    parts = urllib.parse.urlsplit(opened)
    target = os.environ["MARLUNE_TEST_SIGN_IN_PAGE"] + parts.path
    if parts.query:
        target += "?" + parts.query
    request = urllib.request.Request(target, headers={"X-Opened-URL": opened})
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    with opener.open(request, timeout=20) as answer:
        answer.read()


if __name__ == "__main__":
    try:
        main()
    except Exception as error:  # the test sees the missing callback; say why
        print("fake_browser: %s" % error, file=sys.stderr)
        sys.exit(1)
