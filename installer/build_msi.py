#!/usr/bin/env python3
"""Builds the HexlornS MSI package from a built HexlornS.exe.

usage: build_msi.py --exe PATH/HexlornS.exe --version X.Y.Z --output PATH/HexlornS-X.Y.Z.msi

Runs wixl on installer/HexlornS.wxs, then sets EventMessageFile in the
Registry table to the "#%" form so Windows Installer writes it as
REG_EXPAND_SZ (wixl writes Type="expandable" values as plain REG_SZ), and
reads the table back to make sure the package says what it should.
"""
import argparse
import os
import re
import subprocess
import sys
from pathlib import Path

WXS = Path(__file__).resolve().parent / "HexlornS.wxs"
EVENT_MESSAGE_FILE = "#%[#HexlornS.exe]"


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


def registry_rows(msi):
    """{value name: (root, key, value)} from the package's Registry table."""
    rows = {}
    for line in run("msiinfo", "export", str(msi), "Registry").replace("\r\n", "\n").split("\n")[3:]:
        if line:
            _, root, key, name, value, _ = line.split("\t")
            rows[name] = (root, key, value)
    return rows


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

    rows = registry_rows(partial)
    key = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\HexlornS"
    wanted = {"EventMessageFile": ("2", key, EVENT_MESSAGE_FILE), "TypesSupported": ("2", key, "#7")}
    if rows != wanted:
        partial.unlink()
        sys.exit(f"build_msi.py: the Registry table reads {rows}, expected {wanted}")
    os.replace(partial, output)


if __name__ == "__main__":
    main()
