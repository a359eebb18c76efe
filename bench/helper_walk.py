#!/usr/bin/env python3
"""How long a force-close helper run takes under Wine, start to exit, against
a bare program's start and exit in the same session, with 1 and with 20
unrelated windows present. Target: the helper at most 1.5x the bare program.

usage: bench/helper_walk.py [WINDOWS_BUILD_DIR] [RUNS]

Times come from hxlaunch (CreateProcessW to the end of the wait), so Wine's
own start-up of the Unix side is not counted. Two baselines: hxnop.exe (kernel32
and the C runtime only) and hxnop_imports.exe (the same system DLLs as the
service). The helper walks with an ID that no window carries, so it looks at
every window and sends nothing."""

import statistics
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
from fakes import start_companion  # noqa: E402
from wineprefix import HEXLORN_EXE, WinePrefix  # noqa: E402

UNRELATED_ID = r"PCI\VEN_0000&DEV_0000\UNRELATED"
HELPER_ID = r"PCI\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01\4&00000000&0&0000"


def timed(wp, application, command_line, runs):
    wp.run_launcher(command_line, application=application, timeout_ms=20000)  # warm
    _, times = wp.run_launcher(command_line, application=application, timeout_ms=20000, repeat=runs)
    return statistics.median(times), min(times)


def main():
    build = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "build" / "windows"
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    worst = 0.0
    with WinePrefix(build) as wp:
        present = 0
        for windows in (1, 20):
            start_companion(wp, UNRELATED_ID, windows=",".join(["."] * (windows - present)), life_ms=600000)
            present = windows
            bare, bare_min = timed(wp, wp.program("hxnop.exe"), "hxnop", runs)
            bare_imports, imports_min = timed(wp, wp.program("hxnop_imports.exe"), "hxnop_imports", runs)
            helper, helper_min = timed(wp, HEXLORN_EXE, HELPER_ID, runs)
            print(f"{windows:2d} unrelated window(s), median of {runs} (min):")
            print(f"   bare exe (kernel32 only)     {bare:7.1f} ms ({bare_min:.1f})")
            print(f"   bare exe (service's DLLs)    {bare_imports:7.1f} ms ({imports_min:.1f})")
            print(f"   helper run                   {helper:7.1f} ms ({helper_min:.1f})")
            print(f"   ratio helper / bare          {helper / bare:7.2f}x")
            print(f"   ratio helper / bare (DLLs)   {helper / bare_imports:7.2f}x   (target <= 1.5x)")
            worst = max(worst, helper / bare_imports)
    print(f"worst ratio against the same-DLL baseline: {worst:.2f}x "
          f"({'within' if worst <= 1.5 else 'above'} the 1.5x target)")


if __name__ == "__main__":
    main()
