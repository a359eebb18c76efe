"""The message catalog as the Python tools read it: every entry of
eventlog/messages.def, its name, its 32-bit ID and its text in each language.

    import catalog
    for message in catalog.read():
        message.name, message.id, message.texts["zh-Hans"]

The one reader of messages.def outside the C++ build: the message-table
generator, the operator's guide check, the end-to-end harness and the demo all
read the catalog through it. A line that begins an entry but does not parse, or
a name or ID given twice, is an error (CatalogError), never skipped.
"""

import re
from collections import namedtuple
from pathlib import Path

DEFINITIONS = Path(__file__).resolve().with_name("messages.def")

# The text columns of an entry, in order: a short name and the LANGID of the
# message-table resource that carries it.
LANGUAGES = (("en", 0x0409), ("zh-Hans", 0x0004), ("zh-Hant", 0x7C04))

Message = namedtuple("Message", "name id texts")
Message.__doc__ = "One catalog entry: texts maps each language's short name to its text, escapes undone."

_STRING = r'L"((?:[^"\\]|\\.)*)"'
_ENTRY = re.compile(
    r"^HEXLORN_MESSAGE\(\s*(\w+)\s*,\s*(0x[0-9A-Fa-f]+)\s*,"
    + r"\s*,".join(r"\s*" + _STRING for _ in LANGUAGES)
    + r"\s*\)\s*$"
)
_ESCAPES = {"r": "\r", "n": "\n", "t": "\t", "\\": "\\", '"': '"'}


class CatalogError(ValueError):
    """messages.def holds something the catalog cannot be built from."""


def _unescape(text, line):
    def one(match):
        if match.group(1) not in _ESCAPES:
            raise CatalogError(f"unknown escape \\{match.group(1)} in catalog line: {line}")
        return _ESCAPES[match.group(1)]

    return re.sub(r"\\(.)", one, text)


def read(path=DEFINITIONS):
    """Every entry of the catalog, in ID order."""
    messages = []
    for line in Path(path).read_text(encoding="utf-8").splitlines():
        line = line.strip()
        if not line.startswith("HEXLORN_MESSAGE("):
            continue
        match = _ENTRY.match(line)
        if not match:
            raise CatalogError(f"unreadable catalog line: {line}")
        texts = {name: _unescape(match.group(3 + column), line) for column, (name, _) in enumerate(LANGUAGES)}
        messages.append(Message(match.group(1), int(match.group(2), 16), texts))
    for field in ("name", "id"):
        values = [getattr(message, field) for message in messages]
        twice = sorted({value for value in values if values.count(value) > 1})
        if twice:
            raise CatalogError(f"catalog {field}s given twice: {twice}")
    return sorted(messages, key=lambda message: message.id)


def ids(path=DEFINITIONS):
    """{name: ID} of every entry."""
    return {message.name: message.id for message in read(path)}
