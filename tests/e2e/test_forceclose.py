"""The real HexlornS.exe as the force-close helper under Wine, against real
windows of the stand-in companion (tests/winprogs/hxcompanion.cpp)."""

import re
import unittest
from pathlib import Path

from e2e_base import FIRST_ARGUMENT_SOURCE, PrefixTestCase
from fakes import CARD_ID, start_companion

SEND_BOUND_MS = 2000  # one "ForceClose" send to a hung window


def developers_commands():
    """The commands of the companion developers' document that run the helper
    from a command prompt (its one bat block), as written there."""
    text = (Path(__file__).resolve().parents[2] / "docs" / "companion-developers.md").read_text(encoding="utf-8")
    block = re.search(r"```bat\n(.*?)```", text, re.S).group(1)
    return [line.strip() for line in block.splitlines() if line.strip()]


def card_id(n):
    """A distinct instance ID per test, so that companions never cross."""
    return rf"PCI\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01\4&1A2B3C{n:02X}&0&00E0"


class ForceCloseHelper(PrefixTestCase):
    def helper(self, command_line, timeout_ms=20000):
        run = self.wp.run_launcher(command_line, timeout_ms=timeout_ms)
        self.assertFalse(run.timed_out, command_line)
        self.assertEqual(run.exit_code, 0, command_line)
        return run

    def test_one_window_per_desktop_and_no_other_id(self):
        target = start_companion(self.wp, card_id(1), windows=".,.,HxSecond")
        bystander = start_companion(self.wp, card_id(2), windows=".,HxSecond")
        # A second start for a card only tells the running instance's window
        # on its desktop, and ends: one instance per card, as the companion
        # developers' document asks.
        start_companion(self.wp, card_id(2), wait_ready=False).wait_for(" again told=1")
        bystander.wait_for(" startedagain n=1")
        run = self.helper(card_id(1))
        self.assertEqual(run.events, [])
        target.wait_for(" exit ")
        received = target.received()
        # Windows 1 and 2 share the default desktop: exactly one of them (the
        # first in that desktop's order), and the one on the second desktop.
        self.assertEqual(sorted(received), sorted(set(received)))
        self.assertEqual(len([n for n in received if n in (1, 2)]), 1, target.lines())
        self.assertIn(3, received)
        self.assertEqual(len(received), 2)
        self.assertTrue(all("sent=1 " in line or line.endswith("sent=1") for line in target.lines()
                            if " forceclose " in line))
        self.assertEqual(bystander.received(), [])

    def test_no_window_with_the_property(self):
        bystander = start_companion(self.wp, card_id(3))
        run = self.helper(card_id(4))
        self.assertEqual(run.events, [])
        self.assertEqual(bystander.received(), [])

    def test_first_words_that_select_helper_mode(self):
        # Each companion carries the ID that the helper should derive from the
        # command line; property names are matched without regard to case.
        cases = [
            ("lower case", card_id(5).lower(), card_id(5)),
            ("quoted first word, further words", f'"{card_id(6)}" {card_id(7)} more', card_id(6)),
            ("exactly PCI", "pci", "PCI"),
            ("PCI and anything", "PCIX-anything", "PCIX-anything"),
        ]
        for what, command_line, expected in cases:
            with self.subTest(what):
                companion = start_companion(self.wp, expected)
                decoy = start_companion(self.wp, card_id(7)) if card_id(7) in command_line else None
                run = self.helper(command_line)
                self.assertEqual(run.events, [])
                companion.wait_for(" forceclose ")
                self.assertEqual(companion.received(), [1])
                if decoy is not None:
                    self.assertEqual(decoy.received(), [], "a further word reached the walk")

        # The companion developers' document: a copy of the exe whose path is
        # the ID, typed at a command prompt (its example ID is the test card's).
        with self.subTest("the developers' commands at a command prompt"):
            companion = start_companion(self.wp, CARD_ID)
            installed = self.wp.c_path(r"C:\Program Files\HexlornS\HexlornS.exe")
            installed.parent.mkdir(parents=True, exist_ok=True)
            installed.write_bytes(self.wp.c_path(self.wp.program("HexlornS.exe")).read_bytes())
            self.wp.c_path(r"C:\hx\tryhelper.bat").write_bytes("\r\n".join(developers_commands() + [""]).encode())
            run = self.wp.run(["cmd", "/q", "/c", r"C:\hx\tryhelper.bat"], timeout=60)
            self.assertEqual(run.stdout.split()[-1:], ["0"], run.stdout)
            self.assertEqual(run.events, [])
            companion.wait_for(" forceclose ")
            self.assertEqual(companion.received(), [1])

        # A backslash before a quote: Windows' start-up keeps the backslash
        # and ends the word at the blank; Wine's reads it as an escaped quote.
        with self.subTest("backslash before the closing quote"):
            windows_word, wine_word = card_id(13) + "\\", card_id(13) + '" more'
            on_windows_word = start_companion(self.wp, windows_word)
            on_wine_word = start_companion(self.wp, wine_word)
            self.helper(f'"{card_id(13)}\\" more')
            self.expect_wine_difference((on_windows_word.received(), on_wine_word.received()),
                                        windows=([1], []), wine=([], [1]),
                                        reason="the word the helper looks for after a backslash before a quote",
                                        source=FIRST_ARGUMENT_SOURCE)

    def test_hung_windows_cost_the_bound_per_desktop(self):
        # Two desktops with a window that takes 30 s over "ForceClose".
        companion = start_companion(self.wp, card_id(8), windows=".,HxHung", hang_ms=30000)
        run = self.helper(card_id(8), timeout_ms=30000)
        companion.wait_for(" forceclose ", count=2, timeout=10)
        self.assertEqual(sorted(companion.received()), [1, 2])
        # The helper ends after one bounded send per hung desktop, not after
        # the companion: well inside 30 s (slack for Wine's process start).
        self.assertLess(run.ms, 2 * SEND_BOUND_MS + 4000, run.stdout)

    def test_walk_through_the_service_station_restores_and_leaks_nothing(self):
        wp = self.wp
        # The helper's walk code, three times in one process, over every
        # station and desktop of the session, __wineservice_winstation\Default
        # included (where the thread cannot be put back until the process is
        # back on its own station): each walk must end on the station and
        # desktop it began on, leave no handle open, and leave the desktop
        # usable for the thread.
        check = wp.run([wp.program("hxwalkcheck.exe"), card_id(10), "3"], timeout=60)
        self.assertIn(r"desktop=__wineservice_winstation\Default", check.stdout)
        rounds = re.findall(r"^round=\d+ .*$", check.stdout, re.M)
        self.assertEqual(len(rounds), 3, check.stdout)
        for line in rounds:
            self.assertRegex(line, r"walked=1 station=SAME desktop=SAME handles=SAME window=ok")
        self.assertEqual(check.returncode, 0)
        self.assertEqual(check.events, [])

        # The real helper reaches a window there, and one on its own desktop
        # (of another process: Wine lists every window of a process that made
        # one on the service station's desktop under that desktop).
        on_service_station = start_companion(wp, card_id(12), windows=r"__wineservice_winstation\Default",
                                             shared=True)
        on_own_desktop = start_companion(wp, card_id(12), shared=True)
        self.helper(card_id(12))
        on_service_station.wait_for(" exit ")
        on_own_desktop.wait_for(" exit ")
        self.assertIn(r"desktop=__wineservice_winstation\Default", on_service_station.wait_for(" window ")[0])
        self.assertEqual(on_service_station.received(), [1])
        self.assertEqual(on_own_desktop.received(), [1])

        # Helper processes one after the other still find their windows.
        for n in (9, 11):
            companion = start_companion(wp, card_id(n), windows=".,HxAgain")
            self.helper(card_id(n))
            companion.wait_for(" exit ")
            self.assertEqual(sorted(companion.received()), [1, 2])


if __name__ == "__main__":
    unittest.main(verbosity=2)
