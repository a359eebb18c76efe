#!/usr/bin/env python3
"""The real service under Wine: time from StartServiceW to RUNNING, and the
CPU time its process uses over 10 s of idle running (target: about 0; the
service has no timers and polls nothing).

usage: bench/service_wine.py [WINDOWS_BUILD_DIR] [STARTS]

The start time comes from the harness's start (StartServiceW, then
QueryServiceStatus as fast as it can): the first poll that shows RUNNING. The
service runs with one fake card and the stand-in companion at its path, as in
the tests. CPU time is utime+stime of the service's Wine process from
/proc/<pid>/stat."""

import os
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
from fakes import CARD_ID, add_fake_card, install_companion  # noqa: E402
from wineprefix import WinePrefix  # noqa: E402
from winesvc import SERVICE_RUNNING, ServiceClient  # noqa: E402


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    build = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "build" / "windows"
    starts = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    with WinePrefix(build) as wp:
        add_fake_card(wp, CARD_ID)
        install_companion(wp)
        svc = ServiceClient(wp)
        svc.install()
        times = []
        for attempt in range(starts):
            seen = svc.start()
            times.append(next(status["ms"] for status in seen if status["state"] == SERVICE_RUNNING))
            if attempt < starts - 1:
                svc.stop()
        print(f"StartServiceW to RUNNING, {starts} starts: median {statistics.median(times):.1f} ms, "
              f"min {min(times):.1f} ms, max {max(times):.1f} ms")
        pids = svc.processes()
        if len(pids) != 1:
            raise SystemExit(f"expected one service process, found {pids}")
        time.sleep(1)
        before = cpu_seconds(pids[0])
        time.sleep(10)
        after = cpu_seconds(pids[0])
        print(f"service CPU time over 10 s idle: {after - before:.3f} s (target about 0)")
        svc.stop()


if __name__ == "__main__":
    main()
