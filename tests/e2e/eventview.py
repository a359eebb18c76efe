"""Event records as the Event Viewer shows them: the message IDs and languages
of the catalog, and the text of a record built from the executable's own
message table with FormatMessageW (tests/winprogs/hxmsgfmt.cpp).

    render(wp, record, "zh-Hant")              # 發現設備 (PCI\\...)。\\r\\n
"""

import sys
from pathlib import Path

from wineprefix import HEXLORN_EXE, WineError, to_hex_arg

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "eventlog"))
import catalog  # noqa: E402

_IDS = catalog.ids()
MSG_DEVICE_ARRIVAL = _IDS["MSG_DEVICE_ARRIVAL"]
MSG_QUERY_REMOVE = _IDS["MSG_QUERY_REMOVE"]
MSG_QUERY_REMOVE_FAILED = _IDS["MSG_QUERY_REMOVE_FAILED"]
MSG_REMOVE_COMPLETE = _IDS["MSG_REMOVE_COMPLETE"]
MSG_DEVICE_FOUND = _IDS["MSG_DEVICE_FOUND"]
MSG_ERROR = _IDS["MSG_ERROR"]
LANGUAGES = dict(catalog.LANGUAGES)  # {'en': 0x0409, ...}
EVENT_TYPES = {1: "Error", 2: "Warning", 4: "Information"}


def format_message(wp, message_id, langid, strings, exe=HEXLORN_EXE):
    """FormatMessageW of `message_id` in `langid` from `exe`'s message table,
    with `strings` as %1, %2, ...; raises when the table has no such text."""
    args = [wp.program("hxmsgfmt.exe"), exe, hex(message_id), hex(langid)] + [to_hex_arg(s) for s in strings]
    result = wp.run(args, timeout=30)
    if result.returncode != 0:
        raise WineError(f"FormatMessageW {message_id:#x}/{langid:#x}: {result.stdout}")
    return result.stdout


def render(wp, record, lang="en"):
    """The record as the Event Viewer shows it: the catalog text of its ID in
    `lang` ('en', 'zh-Hans', 'zh-Hant' or a LANGID), read from the exe's own
    message table, with its insertion strings."""
    return format_message(wp, record.event_id, LANGUAGES.get(lang, lang), [s or "" for s in record.strings])
