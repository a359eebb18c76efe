#!/usr/bin/env python3
"""Builds the HexlornS MSI package from a built HexlornS.exe.

usage: build_msi.py --exe PATH/HexlornS.exe --version X.Y.Z --output PATH/HexlornS-X.Y.Z.msi

Runs wixl on installer/HexlornS.wxs, then mends two things wixl cannot
express, and reads the tables back to make sure the package says what it
should:
- EventMessageFile in the Registry table gets the "#%" form, so Windows
  Installer writes it as REG_EXPAND_SZ (wixl writes Type="expandable" values
  as plain REG_SZ);
- the upgrade row that removes earlier packages includes its maximum version,
  so a package of the same version (a rebuild: every build has a new product
  code) replaces the installed one instead of being installed beside it.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

WXS = Path(__file__).resolve().parent / "HexlornS.wxs"
EVENT_MESSAGE_FILE = "#%[#HexlornS.exe]"
UPGRADE_CODE = "{161DFFB5-0899-441F-A5F8-DDBCF1A039AF}"
# Upgrade table attributes: migrate features, maximum version included; only detect.
REMOVE_EARLIER = 1 | 512
DETECT_NEWER = 2


def product_version(text):
    """Windows Installer's ProductVersion: major.minor.build, at most 255.255.65535."""
    match = re.fullmatch(r"(\d+)\.(\d+)\.(\d+)", text)
    if not match or int(match[1]) > 255 or int(match[2]) > 255 or int(match[3]) > 65535:
        raise argparse.ArgumentTypeError(f"{text!r} is not a product version (major.minor.build, "
                                         "at most 255.255.65535)")
    return text


def run(*command, cwd=None):
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"build_msi.py: {' '.join(command)} failed ({result.returncode}):\n{result.stdout}{result.stderr}")
    return result.stdout


def table_rows(msi, table):
    """The rows of one table, each a list of column texts."""
    lines = run("msiinfo", "export", str(msi), table).replace("\r\n", "\n").split("\n")
    return [line.split("\t") for line in lines[3:] if line]


def replace_table(msi, table, rows):
    """Writes a whole table back (msibuild cannot UPDATE primary-key columns)."""
    header = run("msiinfo", "export", str(msi), table).replace("\r\n", "\n").split("\n")[:3]
    with tempfile.TemporaryDirectory() as folder:
        idt = Path(folder) / f"{table}.idt"
        idt.write_bytes("\r\n".join(header + ["\t".join(row) for row in rows] + [""]).encode("utf-8"))
        run("msibuild", str(msi), "-i", str(idt))


def check_tables(msi, version):
    key = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\HexlornS"
    checks = {
        "Registry": ({tuple(row[1:5]) for row in table_rows(msi, "Registry")},
                     {("2", key, "EventMessageFile", EVENT_MESSAGE_FILE), ("2", key, "TypesSupported", "#7")}),
        "Upgrade": ({tuple(row[:6]) for row in table_rows(msi, "Upgrade")},
                    {(UPGRADE_CODE, "", version, "", str(REMOVE_EARLIER), ""),
                     (UPGRADE_CODE, version, "", "", str(DETECT_NEWER), "")}),
    }
    for table, (found, wanted) in checks.items():
        if found != wanted:
            sys.exit(f"build_msi.py: the {table} table reads {sorted(found)}, expected {sorted(wanted)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True, type=Path)
    parser.add_argument("--version", required=True, type=product_version)
    parser.add_argument("--output", required=True, type=Path)
    args = parser.parse_args()
    if args.exe.name != "HexlornS.exe" or not args.exe.is_file():
        sys.exit(f"build_msi.py: {args.exe} is not a built HexlornS.exe")

    output = args.output.resolve()
    partial = output.with_name(output.name + ".partial")
    partial.unlink(missing_ok=True)
    # wixl looks for File/@Source relative to the folder it runs in.
    run("wixl", "-a", "x64", "-D", f"Version={args.version}", "-o", str(partial), str(WXS),
        cwd=args.exe.resolve().parent)
    run("msibuild", str(partial), "-q",
        f"UPDATE Registry SET Value='{EVENT_MESSAGE_FILE}' WHERE Name='EventMessageFile'")
    upgrade = table_rows(partial, "Upgrade")
    for row in upgrade:
        if row[6] == "WIX_UPGRADE_DETECTED":
            row[4] = str(REMOVE_EARLIER)
    replace_table(partial, "Upgrade", upgrade)
    try:
        check_tables(partial, args.version)
    except SystemExit:
        partial.unlink()
        raise
    os.replace(partial, output)


if __name__ == "__main__":
    main()
