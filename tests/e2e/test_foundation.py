"""The real HexlornS.exe under Wine: run from a command prompt, the mode chosen
by the first command-line word, its life as an installed service, and its
message table as the Event Viewer reads it."""

import re
import unittest
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from e2e_base import PrefixTestCase
from wine import (CARD_ID, LANGUAGES, MSG_ERROR, SERVICE_RUNNING, SERVICE_STOPPED, SERVICE_START_PENDING,
                  SERVICE_STOP_PENDING)

EXE = r"C:\hx\HexlornS.exe"


def catalog():
    """(id, {lang: text}) from the catalog source of the executable."""
    source = Path(__file__).resolve().parents[2] / "eventlog" / "messages.def"
    entries = []
    for match in re.finditer(r'^HEXLORN_MESSAGE\(\w+, (0x[0-9A-F]+), L"(.*?)", L"(.*?)", L"(.*?)"\)$',
                             source.read_text(encoding="utf-8"), re.M):
        texts = [t.replace("\\r", "\r").replace("\\n", "\n") for t in match.groups()[1:]]
        entries.append((int(match.group(1), 16), dict(zip(("en", "zh-Hans", "zh-Hant"), texts))))
    return entries


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
        for message_id, texts in catalog():
            for lang, text in texts.items():
                shown = self.wp.format_message(message_id, LANGUAGES[lang], ["HexlornS", "T%1x"])
                self.assertEqual(shown, text.replace("%2", "T%1x"), f"{message_id:#x} {lang}")
        self.assertEqual(len(catalog()), 6)


class ServiceLife(PrefixTestCase):
    """Installed with sc create and driven through the service manager."""

    def test_life_from_start_to_stop(self):
        wp = self.wp
        wp.install_service()
        seen = wp.start_service()
        # Every report the service made, as its own process made it.
        reports = [(r.type, r.state, r.accepted, r.exit, r.specific, r.checkpoint, r.waithint)
                   for r in wp.service_reports()]
        self.assertEqual(reports, [(0x10, SERVICE_START_PENDING, 0, 0, 0, 1, 3000),
                                   (0x10, SERVICE_RUNNING, 0x81, 0, 0, 0, 0)])
        # What the manager showed while polling: a subsequence of those.
        self.assertEqual(seen[-1]["state"], SERVICE_RUNNING)
        for status in seen:
            if status["state"] == SERVICE_START_PENDING and status["checkpoint"] != 0:
                self.assertEqual((status["checkpoint"], status["waithint"], status["accepted"]), (1, 3000, 0))
        self.assertEqual(wp.query_status(), dict(type=0x10, state=SERVICE_RUNNING, accepted=0x81, exit=0,
                                                 specific=0, checkpoint=0, waithint=0))

        answered, status = wp.interrogate()
        self.assertTrue(answered)
        self.assertEqual((status["state"], status["accepted"], status["checkpoint"]), (SERVICE_RUNNING, 0x81, 0))
        self.assertEqual(wp.service_reports()[-1][2:], (0x10, SERVICE_RUNNING, 0x81, 0, 0, 0, 0))

        # A control the service does not handle: no report, nothing changes.
        # (Wine answers a user code as handled whatever the handler returns.)
        count = len(wp.service_reports())
        wp.hxsvc("control", "HexlornS", 200)
        self.assertEqual(len(wp.service_reports()), count)
        self.assertEqual(wp.query_status()["state"], SERVICE_RUNNING)

        final = wp.stop_service()
        self.assertEqual((final["state"], final["exit"], final["specific"]), (SERVICE_STOPPED, 0, 0))
        tail = [(r.state, r.accepted, r.checkpoint, r.waithint) for r in wp.service_reports()[count:]]
        # The interrogate took no checkpoint while running, so stop-pending has 2.
        self.assertEqual(tail, [(SERVICE_STOP_PENDING, 0x81, 2, 0), (SERVICE_STOPPED, 0x81, 0, 0)])
        # No card, no failure: the service wrote no record at all.
        self.assertEqual(wp.events(), [])
        self.assertEqual(wp.service_processes(), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
