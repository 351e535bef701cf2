"""Runs a group of the WebDriver tests; exits 77 (CTest's "skipped") when every test of the group
was skipped, for instance because the program cannot record yet."""

import sys
import unittest

sys.path.insert(0, __import__("os").path.dirname(__file__))

suite = unittest.defaultTestLoader.loadTestsFromNames(sys.argv[1:])
result = unittest.TextTestRunner(verbosity=2).run(suite)
if not result.wasSuccessful():
    sys.exit(1)
sys.exit(77 if result.testsRun and len(result.skipped) == result.testsRun else 0)
