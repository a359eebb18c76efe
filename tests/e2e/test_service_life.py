"""The real service under Wine with a fake card in the registry: the start-up
scan, the companion started on the console desktop, and the stop."""

import unittest

from e2e_base import SESSIONS_SOURCE, PrefixTestCase
from eventview import MSG_DEVICE_FOUND, MSG_ERROR, render
from winelog import parse_relay_calls
from fakes import CARD_ID, OTHER_DEVICE_HARDWARE_IDS, OTHER_DEVICE_ID, add_fake_card, install_companion
from winesvc import SERVICE_RUNNING, SERVICE_STOPPED, ServiceClient


class FakeCardService(PrefixTestCase):
    relay = ("user32.RegisterDeviceNotificationW", "setupapi.SetupDiGetClassDevsW")

    def setUp(self):
        super().setUp()
        add_fake_card(self.wp, CARD_ID)
        add_fake_card(self.wp, OTHER_DEVICE_ID, OTHER_DEVICE_HARDWARE_IDS)
        self.svc = ServiceClient(self.wp)
        self.svc.install()

    def run_life(self):
        """Start, check running, stop; returns the records of this life."""
        self.svc.start()
        self.assertEqual(self.svc.query()["state"], SERVICE_RUNNING)
        self.assertTrue(self.svc.processes())
        final = self.svc.stop()
        self.assertEqual((final["state"], final["exit"]), (SERVICE_STOPPED, 0))
        return [(r.type, r.event_id, r.strings) for r in self.wp.events()]

    def test_scan_finds_the_card_alone_and_a_missing_companion_is_reported(self):
        records = self.run_life()
        self.assertEqual(records, [(4, MSG_DEVICE_FOUND, ["HexlornS", CARD_ID]),
                                   (1, MSG_ERROR, ["HexlornS", "CreateProcessAsUser"])])
        # Arrivals are registered for before the cards are listed (the scan,
        # then the card's open); the card's interface cannot be opened under
        # Wine, and a card without a handle gets no handle notification.
        self.assertEqual(parse_relay_calls(self.wp.session_text(), "HexlornS"),
                         ["user32.RegisterDeviceNotificationW", "setupapi.SetupDiGetClassDevsW",
                          "setupapi.SetupDiGetClassDevsW"])

    def test_companion_started_once_on_the_console_desktop(self):
        companion = install_companion(self.wp)
        records = self.run_life()
        self.assertEqual(records, [(4, MSG_DEVICE_FOUND, ["HexlornS", CARD_ID])])
        starts = companion.wait_for(" start ")
        self.assertEqual(len(starts), 1, companion.lines())
        self.assertIn(f" start cmdline=[{CARD_ID}] station=WinSta0 desktop=Default", starts[0])
        # The stop's sweep runs the helper in every session; in the console
        # session it sends "ForceClose" to the companion's one window.
        self.expect_wine_difference(companion.received(), windows=[1], wine=[],
                                    reason="the companion receives ForceClose from the stop's sweep",
                                    source=SESSIONS_SOURCE)


class PercentSignsInTheId(PrefixTestCase):
    """The ID reaches the record through the real formatter as an argument,
    never as a format: percent signs arrive as they are. (Instance IDs are
    upper case; Wine's SetupAPI hands them out so.)"""

    ID = r"PCI\VEN_1412&DEV_1724&SUBSYS_7E4B2201&REV_02\4&%S%N%1&0&%%"

    def test_record_text_is_the_id_unchanged(self):
        add_fake_card(self.wp, self.ID, [r"PCI\VEN_1412&DEV_1724&SUBSYS_7E4B2201&REV_02"])
        install_companion(self.wp)
        svc = ServiceClient(self.wp)
        svc.install()
        svc.start()
        svc.stop()
        records = self.wp.events()
        self.assertEqual([(r.type, r.event_id, r.strings) for r in records],
                         [(4, MSG_DEVICE_FOUND, ["HexlornS", self.ID])])
        self.assertEqual(render(self.wp, records[0], "en"), f"Found device ({self.ID}).\r\n")


if __name__ == "__main__":
    unittest.main(verbosity=2)
