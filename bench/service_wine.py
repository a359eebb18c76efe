#!/usr/bin/env python3
"""The real service under Wine: time from StartServiceW to RUNNING, and the
CPU time its process uses over 10 s of idle running (target: about 0; the
service has no timers and polls nothing).

usage: bench/service_wine.py [WINDOWS_BUILD_DIR] [STARTS]

The start time comes from hxsvc watch (StartServiceW, then QueryServiceStatus
as fast as it can): the first poll that shows RUNNING. The service runs with
one fake card and the stand-in companion at its path, as in the tests. CPU
time is utime+stime of the service's Wine process from /proc/<pid>/stat."""

import os
import re
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
from wine import CARD_ID, WinePrefix  # noqa: E402


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    build = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "build" / "windows"
    starts = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    with WinePrefix(build) as wp:
        wp.add_fake_card(CARD_ID)
        wp.install_companion()
        wp.install_service()
        times = []
        for attempt in range(starts):
            result = wp.hxsvc("watch", "HexlornS", 20000, timeout=60)
            running = [float(m) for m in re.findall(r"seen ms=([\d.]+) \S+ state=4 ", result.stdout)]
            if result.returncode != 0 or not running:
                raise SystemExit(f"service did not start: {result.stdout}")
            times.append(running[0])
            if attempt < starts - 1:
                wp.stop_service()
        print(f"StartServiceW to RUNNING, {starts} starts: median {statistics.median(times):.1f} ms, "
              f"min {min(times):.1f} ms, max {max(times):.1f} ms")
        pids = wp.service_processes()
        if len(pids) != 1:
            raise SystemExit(f"expected one service process, found {pids}")
        time.sleep(1)
        before = cpu_seconds(pids[0])
        time.sleep(10)
        after = cpu_seconds(pids[0])
        print(f"service CPU time over 10 s idle: {after - before:.3f} s (target about 0)")
        wp.stop_service()


if __name__ == "__main__":
    main()
