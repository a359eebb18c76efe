"""Runs contract.exe (the windows preset's build) under Wine, in a private
prefix of the end-to-end harness (tests/e2e: wineprefix.WinePrefix, copied from
the template, bounded runs, wineserver ended on close), with the card the facts
expect arranged through the prefix (fakes.add_fake_card, and an audio interface
an earlier driver left registered but not linked), as "contract.exe prepared":
there only the simulation-only facts may be not applicable. Fails on any
failed fact.

    run_wine.py [COUNTS_FILE]    # COUNTS_FILE: "<facts run> <known Wine differences>"
    run_wine.py --as-is          # a prefix nobody prepared, as a machine as it is
"""

import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))

from e2e_base import windows_build_dir  # noqa: E402
from fakes import CARD_ID, KSCATEGORY_AUDIO, add_fake_card  # noqa: E402
from wineprefix import WinePrefix  # noqa: E402


def add_left_over_interface(wp, instance_id=CARD_ID, reference="Old"):
    """A KSCATEGORY_AUDIO interface of the card that is registered and not
    linked (not active), as an earlier driver leaves one."""
    name = "##?#" + instance_id.replace("\\", "#") + "#" + KSCATEGORY_AUDIO
    key = (r"HKLM\System\CurrentControlSet\Control\DeviceClasses" + "\\" + KSCATEGORY_AUDIO.upper() + "\\" + name
           + "\\#" + reference)
    wp.reg_add(key, "SymbolicLink", "\\\\?\\" + name[4:] + "\\" + reference)
    wp.reg_add(key + r"\Control", "Linked", 0, "REG_DWORD")


def main():
    as_is = sys.argv[1:] == ["--as-is"]
    counts = Path(sys.argv[1]) if len(sys.argv) > 1 and not as_is else None
    if not (windows_build_dir() / "winprogs" / "contract.exe").exists():
        print(f"{windows_build_dir()}/winprogs/contract.exe is missing: build the windows preset first")
        return 1
    with WinePrefix(windows_build_dir()) as wp:
        if not as_is:
            add_fake_card(wp)
            add_left_over_interface(wp)
        result = wp.run([wp.program("contract.exe")] + ([] if as_is else ["prepared"]), timeout=240)
    print(result.stdout)
    summary = re.search(r"contract summary: ran=(\d+) passed=\d+ failed=(\d+) not_applicable=\d+ "
                        r"wine_differences=(\d+)", result.stdout)
    if result.timed_out or summary is None:
        print(f"contract.exe did not finish (exit {result.returncode}, timed out: {result.timed_out})")
        return 1
    if counts is not None:
        counts.write_text(f"{summary.group(1)} {summary.group(3)}\n")
    # Every fact that could not be arranged says why, among its indented lines.
    lines = result.stdout.splitlines()

    def detail(i):
        j = i + 1
        while j < len(lines) and lines[j].startswith(" "):
            yield lines[j]
            j += 1

    unexplained = [line for i, line in enumerate(lines) if line.startswith("N/A ")
                   and not any("NOT APPLICABLE here: " in more for more in detail(i))]
    if unexplained:
        print("not applicable without a reason:\n" + "\n".join(unexplained))
        return 1
    return 0 if result.returncode == 0 and summary.group(2) == "0" else 1


if __name__ == "__main__":
    sys.exit(main())
