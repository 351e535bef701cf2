#!/usr/bin/env python3
"""The browser of a test HOME (fake_browser.py URL): loads the page from the service stand-in's
MARLUNE_TEST_SIGN_IN_PAGE prefix instead and follows its redirect to the app's "/callback"."""

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
