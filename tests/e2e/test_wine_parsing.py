"""The harness's reading of Wine's debug output (no Wine needed): records of
several threads interleaved, escaped and cut strings, status reports."""

import unittest

from winelog import parse_events, parse_status_reports, unescape_debugstr

LOG = r"""0104:010c:fixme:advapi:ReportEventW (00000000CAFE4242,0x0001,0x0000,0xc0020001,0000000000000000,0x0002,0x00000000,000000000021FAA8,0000000000000000): stub
0104:0108:fixme:advapi:ReportEventW (00000000CAFE4242,0x0004,0x0000,0x40000006,0000000000000000,0x0002,0x00000000,000000000021FAA8,0000000000000000): stub
0104:010c:err:eventlog:ReportEventW L"HexlornS"
0104:0108:trace:eventlog:ReportEventW L"HexlornS"
0200:0204:trace:service:RegisterServiceCtrlHandlerExW L"HexlornS" 00000001400016F0 0000000000000000
0104:0108:trace:eventlog:ReportEventW L"PCI\\VEN_1412\\4&\"x\"\t\3002"
0104:010c:err:eventlog:ReportEventW L"OpenDesktop"
0200:0204:trace:service:SetServiceStatus 00000000010A1EE0 0x10 0x2 0 0 0 0x1 0xbb8
0300:0304:trace:service:SetServiceStatus 00000000010A1F00 0x30 0x4 0x5 0 0 0 0
0200:0208:trace:service:SetServiceStatus 00000000010A1EE0 0x10 0x3 0x81 0 0 0x2 0
"""


class Parsing(unittest.TestCase):
    def test_interleaved_records_pair_by_thread(self):
        records = parse_events(LOG)
        self.assertEqual([(r.tid, r.type, r.event_id, r.strings) for r in records], [
            ("010c", 1, 0xC0020001, ["HexlornS", "OpenDesktop"]),
            ("0108", 4, 0x40000006, ["HexlornS", 'PCI\\VEN_1412\\4&"x"\t\u3002']),
        ])  # in the order of the calls, though the second completed first

    def test_cut_string_keeps_the_part_shown(self):
        self.assertEqual(unescape_debugstr('abc\\\\d"...'), "abc\\d")

    def test_status_reports_of_the_service_process_only(self):
        reports = parse_status_reports(LOG, "HexlornS")
        self.assertEqual([(r.tid, r.state, r.accepted, r.checkpoint, r.waithint) for r in reports],
                         [("0204", 2, 0, 1, 3000), ("0208", 3, 0x81, 2, 0)])


if __name__ == "__main__":
    unittest.main(verbosity=2)
