"""The real HexlornS.exe under Wine: run from a command prompt, the mode chosen
by the first command-line word, its life as an installed service, and its
message table as the Event Viewer reads it."""

import unittest
from concurrent.futures import ThreadPoolExecutor

from e2e_base import PrefixTestCase
from eventview import LANGUAGES, MSG_ERROR, catalog, format_message
from fakes import CARD_ID
from wineprefix import HEXLORN_EXE as EXE
from winesvc import SERVICE_RUNNING, SERVICE_START_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED, ServiceClient

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
        messages = catalog.read()
        for message in messages:
            for lang, text in message.texts.items():
                shown = format_message(self.wp, message.id, LANGUAGES[lang], ["HexlornS", "T%1x"])
                self.assertEqual(shown, text.replace("%2", "T%1x"), f"{message.id:#x} {lang}")
        self.assertEqual(len(messages), 6)


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
