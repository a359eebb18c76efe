"""The real HexlornS.exe under Wine: run from a command prompt, the mode chosen
by the first command-line word, its life as an installed service, and its
message table as the Event Viewer reads it."""

import unittest
from concurrent.futures import ThreadPoolExecutor

from e2e_base import PrefixTestCase
from eventview import MSG_ERROR, format_message
from fakes import CARD_ID
from wineprefix import HEXLORN_EXE as EXE
from wineprefix import WineError
from winesvc import SERVICE_RUNNING, SERVICE_START_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED, ServiceClient

# The catalog as the Event Viewer must show it, written out here on purpose:
# the table in the exe is generated from the catalog source, so a typo there
# must fail this test rather than pass through both sides.
LANGIDS = (0x0409, 0x0004, 0x7C04)  # English, Simplified Chinese, Traditional Chinese
CATALOG_TEXTS = {
    0x40000002: ("A device (%2) has arrival.\r\n", "设备 (%2) 已增加。\r\n", "設備 (%2) 已添加。\r\n"),
    0x40000003: ("Query remove device (%2).\r\n", "准备删除设备 (%2)。\r\n", "準備移除設備 (%2)。\r\n"),
    0x40000004: ("Query remove device (%2) failed.\r\n", "准备删除设备 (%2) 失败。\r\n",
                 "準備移除設備 (%2) 失敗。\r\n"),
    0x40000005: ("Remove device (%2) complete.\r\n", "删除设备 (%2) 完成。\r\n", "移除設備 (%2) 完成。\r\n"),
    0x40000006: ("Found device (%2).\r\n", "发现设备 (%2)。\r\n", "發現設備 (%2)。\r\n"),
    0xC0020001: ("An error has occurred (%2).\r\n", "发生了一个错误 (%2)。\r\n", "發生了一個錯誤 (%2)。\r\n"),
}
# Next to the two blocks of IDs: no text.
NOT_IN_CATALOG = (0x40000001, 0x40000007, 0xC0020000, 0xC0020002)


class CommandPromptAndModes(PrefixTestCase):
    def assert_dispatcher_record(self, run, what):
        self.assertEqual(run.exit_code if hasattr(run, "exit_code") else run.returncode, 0, what)
        self.assertEqual(len(run.events), 1, f"{what}: {run.events}")
        record = run.events[0]
        self.assertEqual((record.type, record.category, record.event_id, record.data_size),
                         (1, 0, MSG_ERROR, 0), what)
        self.assertEqual(record.strings, ["HexlornS", "StartServiceCtrlDispatcher"], what)

    def test_command_prompt_run_writes_one_dispatcher_record_and_exits_0(self):
        run = self.wp.run([EXE], timeout=60)
        self.assertFalse(run.timed_out)
        self.assert_dispatcher_record(run, "plain run")

    def test_first_words_that_select_service_mode(self):
        # Each of these is service mode: outside the service manager that is
        # one dispatcher record. They run side by side (Wine may take up to
        # 10 s to give up on the dispatcher's control pipe).
        lines = {
            "two letters": "PC" + " " + CARD_ID,
            "leading blank": " " + CARD_ID,
            "empty command line": "",
            "quoted full path": '"' + EXE + '" ' + CARD_ID,
            "path cut at a blank": r"C:\Program Files\PCI\x.exe",
            "look-alike third letter": "PC\u0130" + CARD_ID[3:],
        }
        with ThreadPoolExecutor(len(lines)) as pool:
            runs = dict(zip(lines, pool.map(lambda line: self.wp.run_launcher(line, timeout_ms=30000),
                                            lines.values())))
        for what, run in runs.items():
            self.assertFalse(run.timed_out, what)
            self.assert_dispatcher_record(run, what)

    def test_catalog_texts_in_three_languages(self):
        # %2 is the caller's text; an insertion string is never read as a format.
        for message_id, texts in CATALOG_TEXTS.items():
            for langid, text in zip(LANGIDS, texts):
                shown = format_message(self.wp, message_id, langid, ["HexlornS", "T%1x"])
                self.assertEqual(shown, text.replace("%2", "T%1x"), f"{message_id:#x} {langid:#06x}")
        for message_id in NOT_IN_CATALOG:
            with self.assertRaises(WineError, msg=f"{message_id:#x} has a text"):
                format_message(self.wp, message_id, 0x0409, ["HexlornS", "x"])


class ServiceLife(PrefixTestCase):
    """Installed with sc create and driven through the service manager."""

    def test_life_from_start_to_stop(self):
        svc = ServiceClient(self.wp)
        svc.install()
        seen = svc.start()
        # Every report the service made, as its own process made it.
        reports = [(r.type, r.state, r.accepted, r.exit, r.specific, r.checkpoint, r.waithint) for r in svc.reports()]
        self.assertEqual(reports, [(0x10, SERVICE_START_PENDING, 0, 0, 0, 1, 3000),
                                   (0x10, SERVICE_RUNNING, 0x81, 0, 0, 0, 0)])
        # What the manager showed while polling: a subsequence of those.
        self.assertEqual(seen[-1]["state"], SERVICE_RUNNING)
        for status in seen:
            if status["state"] == SERVICE_START_PENDING and status["checkpoint"] != 0:
                self.assertEqual((status["checkpoint"], status["waithint"], status["accepted"]), (1, 3000, 0))
        self.assertEqual(svc.query(), dict(type=0x10, state=SERVICE_RUNNING, accepted=0x81, exit=0, specific=0,
                                           checkpoint=0, waithint=0))

        answered, status = svc.interrogate()
        self.assertTrue(answered)
        self.assertEqual((status["state"], status["accepted"], status["checkpoint"]), (SERVICE_RUNNING, 0x81, 0))
        self.assertEqual(svc.reports()[-1][2:], (0x10, SERVICE_RUNNING, 0x81, 0, 0, 0, 0))

        # A control the service does not handle: no report, nothing changes.
        # (The manager answers a user code as handled whatever the handler
        # returns, on Windows as under Wine.)
        count = len(svc.reports())
        svc.control(200)
        self.assertEqual(len(svc.reports()), count)
        self.assertEqual(svc.query()["state"], SERVICE_RUNNING)

        final = svc.stop()
        self.assertEqual((final["state"], final["exit"], final["specific"]), (SERVICE_STOPPED, 0, 0))
        tail = [(r.state, r.accepted, r.checkpoint, r.waithint) for r in svc.reports()[count:]]
        # The interrogate took no checkpoint while running, so stop-pending has 2.
        self.assertEqual(tail, [(SERVICE_STOP_PENDING, 0x81, 2, 0), (SERVICE_STOPPED, 0x81, 0, 0)])
        # No card, no failure: the service wrote no record at all.
        self.assertEqual(self.wp.events(), [])
        self.assertEqual(svc.processes(), [])

if __name__ == "__main__":
    unittest.main(verbosity=2)
