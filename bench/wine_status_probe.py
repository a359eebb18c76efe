#!/usr/bin/env python3
"""Does Wine's SetServiceStatus wait for a control handler that is still
running? Runs the probe service (tests/winprogs/hxsvcprobe.cpp) under Wine in a
private prefix, once with a stopped report and once with a running report made
while the handler is waiting for a lock that the reporting thread holds.

usage: bench/wine_status_probe.py [WINDOWS_BUILD_DIR] [TRIES]

Prints one line per probe: how long the report took and whether the handler
got the lock before it gave up (after 5 s). A report that waits for the
handler lasts until the handler gives up, and the handler never gets the lock.
Every Wine command is bounded and the prefix is removed after."""

import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
from wineprefix import WinePrefix, wait_until  # noqa: E402
from winesvc import SERVICE_RUNNING, SERVICE_STOPPED, ServiceClient  # noqa: E402


def main():
    build = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "build" / "windows"
    tries = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    if not (build / "winprogs" / "hxsvcprobe.exe").exists():
        raise SystemExit(f"{build}/winprogs/hxsvcprobe.exe is missing: build the windows preset first")
    with WinePrefix(build) as wp:
        log = wp.c_path(r"C:\hx\probe.log")
        probe = ServiceClient(wp, "HxProbe", r"C:\hx\hxsvcprobe.exe C:\hx\probe.log")
        probe.install()
        for attempt in range(tries):
            for state in ("stopped", "running"):
                log.unlink(missing_ok=True)
                wp.run(["sc", "start", "HxProbe", state], timeout=30, check=True)
                probe.wait_state(SERVICE_RUNNING, timeout=20)
                control = probe.hxsvc("control", 128, timeout=60)
                if state == "running":
                    wp.run(["sc", "stop", "HxProbe"], timeout=30)
                probe.wait_state(SERVICE_STOPPED, timeout=20)
                wait_until(lambda: not wp.processes("hxsvcprobe.exe"), 20, "the probe's process to end")
                text = log.read_text(encoding="utf-8", errors="replace") if log.exists() else ""
                line = re.search(r"^probe .*$", text, re.M)
                control_line = control.stdout.strip().splitlines()[-1] if control.stdout.strip() else ""
                print(f"try={attempt + 1} {line.group(0) if line else 'no probe line: ' + text!r} "
                      f"control_128: {control_line}")


if __name__ == "__main__":
    main()
