"""What every end-to-end test module shares: where the windows build is, a
test case base class with a private Wine prefix for each test, and the way a
test states a known difference between Wine and Windows."""

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


# Where Windows' behaviour is stated, for the known differences of Wine.
SESSIONS_SOURCE = ("Wine's dlls/wtsapi32/tests/wtsapi.c, test_WTSEnumerateSessions: ok(count >= 2) and "
                   "todo_wine ok(services_found): Windows lists the console session and session 0 (Services); "
                   "Wine 8's WTSEnumerateSessionsW lists none")
FIRST_ARGUMENT_SOURCE = ("Microsoft C documentation, Parsing C command-line arguments "
                         "(learn.microsoft.com/cpp/c-language/parsing-c-command-line-arguments): the first argument "
                         "is the program name; quoted parts are allowed, the later rules (backslashes) do not apply")


class WineTestCase(unittest.TestCase):
    def expect_wine_difference(self, actual, *, windows, wine, reason, source):
        """Where Wine is known not to do what Windows does, the test states both
        (as Wine's own tests mark todo_wine) and never asserts Wine's value as
        the right one. Passes while `actual` is still Wine's known value, and
        says so in the output; fails when it is Windows' value (the gap is gone:
        turn this into an ordinary assertion) or anything else.
        source: where Windows' behaviour is stated (a Wine conformance test's
        ok() or a documentation page)."""
        if actual == wine and actual != windows:
            print(f"\n  expected Wine difference: {reason}\n    Windows: {windows!r}\n    Wine:    {wine!r}\n"
                  f"    source:  {source}", file=sys.stderr)
            return
        if actual == windows:
            self.fail(f"Wine now does what Windows does: {reason}: {actual!r}. The difference is gone: "
                      f"assert it as an ordinary fact. (source: {source})")
        self.fail(f"{reason}: got {actual!r}, neither Windows' {windows!r} nor Wine's known {wine!r} "
                  f"(source: {source})")


class PrefixTestCase(WineTestCase):
    """A private prefix, with its own session, for each test: no test sees
    what another one left behind, whatever the order they run in."""

    wp = None
    relay = ()  # functions whose calls the session logs (WinePrefix's relay)

    def setUp(self):
        self.wp = WinePrefix(windows_build_dir(), relay=self.relay)
        self.wp.open()
        self.addCleanup(self.wp.close)
