"""Reading Wine's debug output: the event records and the service status
reports that the real HexlornS.exe leaves there. Pure text parsing, no Wine.

Wine's ReportEventW is a stub that only prints its arguments and insertion
strings on the debug channels; with the service channel on, each
SetServiceStatus is logged whole in the service process. With WINEDEBUG below,
a record is one header line and one line per insertion string:

    PID:TID:fixme:advapi:ReportEventW (HANDLE,0xTYPE,0xCATEGORY,0xEVENTID,SID,0xCOUNT,0xDATASIZE,...): stub
    PID:TID:trace:eventlog:ReportEventW L"..."        (err: for errors, warn: for warnings)

Lines of several threads interleave, so strings are paired by PID:TID.
"""

import re
from collections import namedtuple

# The channels every Wine program of the tests runs with: quiet, except the
# process and thread IDs, the event-log stubs and the service calls.
WINEDEBUG = "-all,+pid,trace+service,fixme+advapi,err+eventlog,warn+eventlog,trace+eventlog"

EventRecord = namedtuple("EventRecord", "pid tid type category event_id sid count data_size strings")
EventRecord.__doc__ = "One ReportEventW call: pid/tid are Wine's (hex strings); strings a list of str."
StatusReport = namedtuple("StatusReport", "pid tid type state accepted exit specific checkpoint waithint")
StatusReport.__doc__ = "One SetServiceStatus call as the service process made it."

_REPORT = re.compile(
    r"^([0-9a-f]+):([0-9a-f]+):fixme:advapi:ReportEventW \(([^,]*),0x([0-9a-f]+),0x([0-9a-f]+),"
    r"0x([0-9a-f]+),([^,]*),0x([0-9a-f]+),0x([0-9a-f]+),"
)
_STRING = re.compile(r'^([0-9a-f]+):([0-9a-f]+):(?:trace|warn|err):eventlog:ReportEventW (?:L"(.*)"|\(null\))$')
_STATUS = re.compile(
    r"^([0-9a-f]+):([0-9a-f]+):trace:service:SetServiceStatus \S+ (\S+) (\S+) (\S+) (\S+) (\S+) (\S+) (\S+)$"
)
_HANDLER = re.compile(r'^([0-9a-f]+):[0-9a-f]+:trace:service:RegisterServiceCtrlHandlerExW L"([^"]*)"')
_RELAY_CALL = re.compile(r"^([0-9a-f]+):[0-9a-f]+:Call ([A-Za-z0-9_]+\.[A-Za-z0-9_]+)\(")
_ESCAPE = re.compile(r"\\(\\|\"|n|r|t|[0-9a-fA-F]{4})")


def unescape_debugstr(text):
    """Undoes Wine's debugstr_w escaping (\\\\ \\" \\n \\r \\t, \\xxxx for other characters).
    A string Wine cut short ends in '"...'; the part shown is returned."""
    if text.endswith('"...'):
        text = text[:-4]

    def one(match):
        code = match.group(1)
        return {"\\": "\\", '"': '"', "n": "\n", "r": "\r", "t": "\t"}.get(code) or chr(int(code, 16))

    return _ESCAPE.sub(one, text)


def parse_events(text):
    """Every event record in Wine debug output, in the order the calls were made
    (by their first line). Lines of several threads interleave, so strings are
    paired by pid:tid."""
    records = []  # (order, record)
    pending = {}  # (pid, tid) -> (order, header fields, strings)
    for order, line in enumerate(text.splitlines()):
        match = _REPORT.match(line)
        if match:
            pid, tid = match.group(1), match.group(2)
            key = (pid, tid)
            if key in pending:  # the previous record of this thread lost strings
                records.append(_finish(*pending.pop(key)))
            fields = [
                pid,
                tid,
                int(match.group(4), 16),
                int(match.group(5), 16),
                int(match.group(6), 16),
                match.group(7),
                int(match.group(8), 16),
                int(match.group(9), 16),
            ]
            if fields[6] == 0:
                records.append(_finish(order, fields, []))
            else:
                pending[key] = (order, fields, [])
            continue
        match = _STRING.match(line)
        if match:
            key = (match.group(1), match.group(2))
            if key not in pending:
                continue
            _, fields, strings = pending[key]
            strings.append(None if match.group(3) is None else unescape_debugstr(match.group(3)))
            if len(strings) == fields[6]:
                records.append(_finish(*pending.pop(key)))
    for entry in pending.values():
        records.append(_finish(*entry))
    return [record for _, record in sorted(records, key=lambda item: item[0])]


def _finish(order, fields, strings):
    pid, tid, etype, category, event_id, sid, count, data_size = fields
    return order, EventRecord(pid, tid, etype, category, event_id, sid, count, data_size, strings)


def parse_status_reports(text, service):
    """Every SetServiceStatus made by a process that registered `service`'s handler."""
    pids = {m.group(1) for m in map(_HANDLER.match, text.splitlines()) if m and m.group(2) == service}
    reports = []
    for line in text.splitlines():
        match = _STATUS.match(line)
        if match and match.group(1) in pids:
            values = [int(v, 0) for v in match.groups()[2:]]
            reports.append(StatusReport(match.group(1), match.group(2), *values))
    return reports


def parse_relay_calls(text, service):
    """The relayed calls (WINEDEBUG +relay, limited by RelayInclude) made by a
    process that registered `service`'s handler, as "dll.Function", in order."""
    pids = {m.group(1) for m in map(_HANDLER.match, text.splitlines()) if m and m.group(2) == service}
    return [m.group(2) for m in map(_RELAY_CALL.match, text.splitlines()) if m and m.group(1) in pids]
