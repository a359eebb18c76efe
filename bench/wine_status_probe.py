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
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
from wine import WinePrefix, WineError  # noqa: E402


def main():
    build = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "build" / "windows"
    tries = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    if not (build / "winprogs" / "hxsvcprobe.exe").exists():
        raise SystemExit(f"{build}/winprogs/hxsvcprobe.exe is missing: build the windows preset first")
    with WinePrefix(build) as wp:
        log = wp.c_path(r"C:\hx\probe.log")
        wp.install_service("HxProbe", r"C:\hx\hxsvcprobe.exe C:\hx\probe.log")
        for attempt in range(tries):
            for state in ("stopped", "running"):
                log.unlink(missing_ok=True)
                wp.run(["sc", "start", "HxProbe", state], timeout=30, check=True)
                wp.wait_state(4, "HxProbe", timeout=20)
                control = wp.hxsvc("control", "HxProbe", 128, timeout=60)
                if state == "running":
                    wp.run(["sc", "stop", "HxProbe"], timeout=30)
                wp.wait_state(1, "HxProbe", timeout=20)
                deadline = time.monotonic() + 20
                while wp.service_processes("hxsvcprobe.exe"):
                    if time.monotonic() > deadline:
                        raise WineError("the probe's process did not end")
                    time.sleep(0.1)
                text = log.read_text(encoding="utf-8", errors="replace") if log.exists() else ""
                probe = re.search(r"^probe .*$", text, re.M)
                control_line = control.stdout.strip().splitlines()[-1] if control.stdout.strip() else ""
                print(f"try={attempt + 1} {probe.group(0) if probe else 'no probe line: ' + text!r} "
                      f"control_128: {control_line}")


if __name__ == "__main__":
    main()
