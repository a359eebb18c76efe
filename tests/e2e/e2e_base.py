"""What every end-to-end test module shares: where the windows build is, and a
test case base class with one private Wine prefix per class."""

import os
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from wine import WinePrefix  # noqa: E402


def windows_build_dir():
    """The windows preset's build folder: HEXLORN_WINDOWS_BUILD_DIR (set by
    ctest), else build/windows of the source tree."""
    configured = os.environ.get("HEXLORN_WINDOWS_BUILD_DIR")
    if configured:
        return Path(configured)
    return Path(__file__).resolve().parents[2] / "build" / "windows"


class PrefixTestCase(unittest.TestCase):
    """One private prefix, with its own session, for all tests of a class."""

    wp = None

    @classmethod
    def setUpClass(cls):
        cls.wp = WinePrefix(windows_build_dir())
        cls.wp.open()

    @classmethod
    def tearDownClass(cls):
        if cls.wp is not None:
            cls.wp.close()
