#!/usr/bin/env python3
"""Builds the HexlornS MSI package from a built HexlornS.exe.

usage: build_msi.py --exe PATH/HexlornS.exe --version X.Y.Z --manufacturer NAME
                    --output PATH/HexlornS-X.Y.Z.msi [--sign-pfx PATH/signer.pfx]

Runs wixl on installer/HexlornS.wxs, then mends what wixl cannot express,
and reads the tables back to make sure the package says what it should:
- EventMessageFile in the Registry table gets the "#%" form, so Windows
  Installer writes it as REG_EXPAND_SZ (wixl writes Type="expandable" values
  as plain REG_SZ);
- the upgrade row that removes earlier packages includes its maximum version,
  so a package of the same version (a rebuild: every build has a new product
  code) replaces the installed one instead of being installed beside it;
- the service's recovery actions: a MsiServiceConfigFailureActions row
  (restart 60 s after the first and the second failure, then nothing; the
  count starts again after a day without failure) and the MsiConfigureServices
  action that applies it, between InstallServices and StartServices.
With --sign-pfx the finished package is signed (installer/sign.py) before it
takes the output's name.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

from sign import SigningError, sign

WXS = Path(__file__).resolve().parent / "HexlornS.wxs"
EVENT_MESSAGE_FILE = "#%[#HexlornS.exe]"
UPGRADE_CODE = "{161DFFB5-0899-441F-A5F8-DDBCF1A039AF}"
# Upgrade table attributes: migrate features, maximum version included; only detect.
REMOVE_EARLIER = 1 | 512
DETECT_NEWER = 2

# Recovery: SC_ACTION_RESTART (1) after the first and the second failure, each
# after 60 s, SC_ACTION_NONE (0) from the third on (the service control manager
# repeats the last action for every later failure); the failure count is reset
# after a day (in seconds) without failure. Applied when the component is
# installed (msidbServiceConfigEventInstall), which every upgrade does.
FAILURE_ACTIONS_COLUMNS = [
    ("MsiServiceConfigFailureActions", "s72"), ("Name", "s255"), ("Event", "i2"), ("ResetPeriod", "I4"),
    ("RebootMessage", "L255"), ("Command", "L255"), ("Actions", "S255"), ("DelayActions", "S255"),
    ("Component_", "s72"),
]
FAILURE_ACTIONS = ["HexlornS", "HexlornS", "1", "86400", "", "", "1[~]1[~]0", "60000[~]60000[~]0", "Service"]
# Windows Installer 5.0 (Windows 7) and later, between InstallServices (5800)
# and StartServices (5900).
CONFIGURE_SERVICES = ("MsiConfigureServices", "VersionNT >= 601", 5850)


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


def import_table(msi, table, header, rows):
    """Writes a whole table, new or replacing one (msibuild cannot UPDATE primary-key columns)."""
    with tempfile.TemporaryDirectory() as folder:
        idt = Path(folder) / f"{table}.idt"
        idt.write_bytes("\r\n".join(header + ["\t".join(row) for row in rows] + [""]).encode("utf-8"))
        run("msibuild", str(msi), "-i", str(idt))


def replace_table(msi, table, rows):
    header = run("msiinfo", "export", str(msi), table).replace("\r\n", "\n").split("\n")[:3]
    import_table(msi, table, header, rows)


def add_recovery_actions(msi):
    names, types = zip(*FAILURE_ACTIONS_COLUMNS)
    import_table(msi, names[0], ["\t".join(names), "\t".join(types), f"{names[0]}\t{names[0]}"], [FAILURE_ACTIONS])
    action, condition, sequence = CONFIGURE_SERVICES
    run("msibuild", str(msi), "-q", "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) "
        f"VALUES ('{action}', '{condition}', {sequence})")


def check_tables(msi, version, manufacturer):
    key = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\HexlornS"
    sequence = {row[0]: int(row[2]) for row in table_rows(msi, "InstallExecuteSequence")}
    services = {row[0]: (row[3], manufacturer in row[12]) for row in table_rows(msi, "ServiceInstall")}
    properties = dict(row[:2] for row in table_rows(msi, "Property"))
    checks = {
        "Registry": ({tuple(row[1:5]) for row in table_rows(msi, "Registry")},
                     {("2", key, "EventMessageFile", EVENT_MESSAGE_FILE), ("2", key, "TypesSupported", "#7")}),
        "Upgrade": ({tuple(row[:6]) for row in table_rows(msi, "Upgrade")},
                    {(UPGRADE_CODE, "", version, "", str(REMOVE_EARLIER), ""),
                     (UPGRADE_CODE, version, "", "", str(DETECT_NEWER), "")}),
        "MsiServiceConfigFailureActions": (table_rows(msi, "MsiServiceConfigFailureActions"), [FAILURE_ACTIONS]),
        "InstallExecuteSequence": ([sequence.get(action) for action in
                                    ("InstallServices", "MsiConfigureServices", "StartServices")],
                                   [5800, CONFIGURE_SERVICES[2], 5900]),
        # An own-process service whose description names the maker.
        "ServiceInstall": (services, {"HexlornS": ("16", True)}),
        "Property": ((properties.get("Manufacturer"), properties.get("ARPNOMODIFY")), (manufacturer, "1")),
    }
    for table, (found, wanted) in checks.items():
        if found != wanted:
            sys.exit(f"build_msi.py: the {table} table reads {found}, expected {wanted}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True, type=Path)
    parser.add_argument("--version", required=True, type=product_version)
    parser.add_argument("--manufacturer", required=True)
    parser.add_argument("--output", required=True, type=Path)
    parser.add_argument("--sign-pfx", type=Path)
    args = parser.parse_args()
    if args.exe.name != "HexlornS.exe" or not args.exe.is_file():
        sys.exit(f"build_msi.py: {args.exe} is not a built HexlornS.exe")

    output = args.output.resolve()
    partial = output.with_name(output.name + ".partial")
    partial.unlink(missing_ok=True)
    # wixl looks for File/@Source relative to the folder it runs in.
    run("wixl", "-a", "x64", "-D", f"Version={args.version}", "-D", f"Manufacturer={args.manufacturer}",
        "-o", str(partial), str(WXS), cwd=args.exe.resolve().parent)
    run("msibuild", str(partial), "-q",
        f"UPDATE Registry SET Value='{EVENT_MESSAGE_FILE}' WHERE Name='EventMessageFile'")
    upgrade = table_rows(partial, "Upgrade")
    for row in upgrade:
        if row[6] == "WIX_UPGRADE_DETECTED":
            row[4] = str(REMOVE_EARLIER)
    replace_table(partial, "Upgrade", upgrade)
    add_recovery_actions(partial)
    try:
        check_tables(partial, args.version, args.manufacturer)
        if args.sign_pfx:
            sign(partial, args.sign_pfx)
    except SigningError as error:
        partial.unlink()
        sys.exit(f"build_msi.py: {error}")
    except SystemExit:
        partial.unlink()
        raise
    os.replace(partial, output)


if __name__ == "__main__":
    main()
