"""What every end-to-end test module shares: where the windows build is, and a
test case base class with a private Wine prefix for each test."""

import os
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from wineprefix import WinePrefix  # noqa: E402


def windows_build_dir():
    """The windows preset's build folder: HEXLORN_WINDOWS_BUILD_DIR (set by
    ctest), else build/windows of the source tree."""
    configured = os.environ.get("HEXLORN_WINDOWS_BUILD_DIR")
    if configured:
        return Path(configured)
    return Path(__file__).resolve().parents[2] / "build" / "windows"


class PrefixTestCase(unittest.TestCase):
    """A private prefix, with its own session, for each test: no test sees
    what another one left behind, whatever the order they run in."""

    wp = None

    def setUp(self):
        self.wp = WinePrefix(windows_build_dir())
        self.wp.open()
        self.addCleanup(self.wp.close)
