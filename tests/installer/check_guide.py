#!/usr/bin/env python3
"""The operator's guide documents every record the service can write, and
the service's description as the package installs it.

Every error text the code passes to the event log must have its row in the
guide's error table, and every catalog text (eventlog/messages.def, all three
languages) must appear in the guide, so a record added to the code or a text
changed in the catalog cannot go undocumented. The description of the
package's ServiceInstall (installer/HexlornS.wxs, with the maker's name from
CMakeLists.txt) must be quoted in the guide as it is.
"""
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.dont_write_bytecode = True  # run from the build: leave no bytecode in the source tree
sys.path.insert(0, str(ROOT / "eventlog"))
import catalog  # noqa: E402

SYSTEM_FOLDERS = ("service", "cards", "sessions", "forceclose", "eventlog")


def error_texts():
    texts = set()
    for folder in SYSTEM_FOLDERS:
        for source in (ROOT / folder).glob("*.cpp"):
            texts |= set(re.findall(r'(?:ReportServiceEvent|ReportFailure)\(L"([^"]+)"',
                                    source.read_text(encoding="utf-8")))
    return texts


def catalog_texts():
    """Every catalog text in every language, as the guide shows it: without its line end."""
    return [text.replace("\r\n", "") for message in catalog.read() for text in message.texts.values()]


def service_description():
    maker = re.search(r'set\(HEXLORN_MANUFACTURER "([^"]+)"\)', (ROOT / "CMakeLists.txt").read_text(encoding="utf-8"))
    package = (ROOT / "installer" / "HexlornS.wxs").read_text(encoding="utf-8")
    description = re.search(r'<ServiceInstall [^>]*Description="([^"]+)"', package)
    return description.group(1).replace("$(var.Manufacturer)", maker.group(1))


def main():
    guide = (ROOT / "docs" / "operators-guide.md").read_text(encoding="utf-8")
    rows = set(re.findall(r"^\| ([A-Za-z]+) \|", guide, re.M))
    errors = error_texts()
    problems = [f"error record {text!r} has no row in the guide" for text in sorted(errors - rows)]
    problems += [f"catalog text {text!r} is not in the guide" for text in catalog_texts() if text not in guide]
    description = service_description()
    if f'"{description}"' not in guide:
        problems.append(f"the service's description {description!r} is not quoted in the guide")
    if len(errors) < 10 or len(catalog_texts()) != 18:
        problems.append(f"found {len(errors)} error texts and {len(catalog_texts())} catalog texts: "
                        "the scan no longer reads the code")
    for problem in problems:
        print(problem)
    print(f"{len(errors)} error texts, {len(catalog_texts())} catalog texts checked")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
