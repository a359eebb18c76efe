#!/usr/bin/env python3
"""The real service under Wine, started and stopped many times in one fresh
prefix, with interrogates racing the stop: does a control or a stop ever hang?

usage: bench/service_stop_race.py [WINDOWS_BUILD_DIR] [ROUNDS] [INTERROGATORS] [card|nocard] [shared|own]

hxstoprace does the rounds in one Wine process (tests/winprogs/hxstoprace.cpp
says how a round ends: ok, held, killed or refused). Each round starts the
service, interrogates it while it is start-pending, waits for RUNNING, then
sends the stop while INTERROGATORS threads send interrogates without pause
(on the same service handle, or each on handles of its own), and waits for
STOPPED and for the service's process to end. With INTERROGATORS 0 it is the
plain start/stop loop of the service benchmark. The service runs with one fake
card and the stand-in companion, as in the tests, or with no card ("nocard":
its stop is quicker). Prints the rounds that were not ok and the summary.
Every Wine command is bounded and the prefix is removed after."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
from fakes import CARD_ID, add_fake_card, install_companion  # noqa: E402
from wineprefix import WinePrefix  # noqa: E402
from winesvc import ServiceClient  # noqa: E402


def main():
    build = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "build" / "windows"
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    interrogators = int(sys.argv[3]) if len(sys.argv) > 3 else 4
    with_card = (sys.argv[4] if len(sys.argv) > 4 else "card") != "nocard"
    handles = sys.argv[5] if len(sys.argv) > 5 else "shared"
    if not (build / "winprogs" / "hxstoprace.exe").exists():
        raise SystemExit(f"{build}/winprogs/hxstoprace.exe is missing: build the windows preset first")
    with WinePrefix(build) as wp:
        if with_card:
            add_fake_card(wp, CARD_ID)
            install_companion(wp)
        ServiceClient(wp).install()
        # A held round costs up to about 110 s; an ok one well under 1 s.
        result = wp.run([wp.program("hxstoprace.exe"), "HexlornS", rounds, interrogators, handles],
                        timeout=120 + 110 * rounds)
        for line in result.stdout.splitlines():
            if line.startswith("round=") and " outcome=ok " not in line:
                print(line)
        summary = [line for line in result.stdout.splitlines() if line.startswith("rounds=")]
        if result.timed_out or not summary:
            raise SystemExit(f"hxstoprace did not finish (rc={result.returncode}, timed out={result.timed_out}):\n"
                             f"{result.stdout[-3000:]}")
        print(f"interrogators={interrogators} card={int(with_card)} handles={handles} {summary[0]}")
        return 0 if result.returncode == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
