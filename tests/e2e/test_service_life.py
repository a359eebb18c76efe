"""The real service under Wine with a fake card in the registry: the start-up
scan, the companion started on the console desktop, and the stop."""

import unittest

from e2e_base import PrefixTestCase
from wine import (CARD_ID, MSG_DEVICE_FOUND, MSG_ERROR, OTHER_DEVICE_HARDWARE_IDS, OTHER_DEVICE_ID, SERVICE_RUNNING,
                  SERVICE_STOPPED, Companion)


class FakeCardService(PrefixTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.wp.add_fake_card(CARD_ID)
        cls.wp.add_fake_card(OTHER_DEVICE_ID, OTHER_DEVICE_HARDWARE_IDS)
        cls.wp.install_service()

    def run_life(self):
        """Start, check running, stop; returns the records of this life."""
        before = len(self.wp.events())
        self.wp.start_service()
        self.assertEqual(self.wp.query_status()["state"], SERVICE_RUNNING)
        self.assertTrue(self.wp.service_processes())
        final = self.wp.stop_service()
        self.assertEqual((final["state"], final["exit"]), (SERVICE_STOPPED, 0))
        return [(r.type, r.event_id, r.strings) for r in self.wp.events()[before:]]

    def test_1_scan_finds_the_card_alone(self):
        # No companion at its path yet: the one start fails and says so.
        records = self.run_life()
        self.assertEqual(records, [(4, MSG_DEVICE_FOUND, ["HexlornS", CARD_ID]),
                                   (1, MSG_ERROR, ["HexlornS", "CreateProcessAsUser"])])

    def test_2_companion_started_once_on_the_console_desktop(self):
        log = self.wp.install_companion()
        records = self.run_life()
        self.assertEqual(records, [(4, MSG_DEVICE_FOUND, ["HexlornS", CARD_ID])])
        companion = Companion(self.wp, log, None)
        starts = companion.wait_for(" start ")
        self.assertEqual(len(starts), 1, companion.lines())
        self.assertIn(f" start cmdline=[{CARD_ID}] station=WinSta0 desktop=Default", starts[0])
        # Wine lists no session, so the stop's sweep starts no helper.
        self.assertEqual(companion.received(), [])


class PercentSignsInTheId(PrefixTestCase):
    """The ID reaches the record through the real formatter as an argument,
    never as a format: percent signs arrive as they are. (Instance IDs are
    upper case; Wine's SetupAPI hands them out so.)"""

    ID = r"PCI\VEN_1412&DEV_1724&SUBSYS_7E4B2201&REV_02\4&%S%N%1&0&%%"

    def test_record_text_is_the_id_unchanged(self):
        self.wp.add_fake_card(self.ID, [r"PCI\VEN_1412&DEV_1724&SUBSYS_7E4B2201&REV_02"])
        self.wp.install_companion()
        self.wp.install_service()
        self.wp.start_service()
        self.wp.stop_service()
        self.assertEqual([(r.type, r.event_id, r.strings) for r in self.wp.events()],
                         [(4, MSG_DEVICE_FOUND, ["HexlornS", self.ID])])
        self.assertEqual(self.wp.render(self.wp.events()[0], "en"), f"Found device ({self.ID}).\r\n")


if __name__ == "__main__":
    unittest.main(verbosity=2)
