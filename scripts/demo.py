#!/usr/bin/env python3
"""The service's whole job, end to end, on the real HexlornS.exe under Wine.

A private Wine prefix gets a fake card (SetupAPI lists it from the registry)
and the stand-in companion at the companion's real path. The service is
installed and started: it finds the card and starts the companion on
WinSta0\\Default with the card's instance ID as its command line. Then the
force-close helper runs with that ID, exactly as the service's sweep starts it
in every session (Wine lists no terminal session, so the service's own sweep
has none to visit), and the companion lets go of the card. The service is
stopped, and every event record is printed as the Event Viewer renders it:
the catalog text of its ID, read from the exe's own message table, with its
insertion strings.

usage: demo.py [--lang en|zh-Hans|zh-Hant] [--build DIR]
"""
import argparse
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

from eventview import EVENT_TYPES, render  # noqa: E402
from fakes import CARD_ID, COMPANION_PATH, add_fake_card, install_companion  # noqa: E402
from wineprefix import HEXLORN_EXE, WinePrefix  # noqa: E402
from winesvc import SERVICE_RUNNING, SERVICE_STOPPED, STATE_NAMES, ServiceClient  # noqa: E402


def step(text):
    print(f"\n== {text}", flush=True)


def show_status(status):
    print(f"   state {STATE_NAMES.get(status['state'], status['state'])}, accepted {status['accepted']:#x}, "
          f"checkpoint {status['checkpoint']}, wait hint {status['waithint']}, exit code {status['exit']}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--lang", default="en", choices=["en", "zh-Hans", "zh-Hant"])
    parser.add_argument("--build", default=str(ROOT / "build" / "windows"))
    args = parser.parse_args()

    with WinePrefix(args.build) as wp:
        step(f"A private Wine prefix: {wp.path}")
        add_fake_card(wp, CARD_ID)
        print(f"   fake card {CARD_ID}")
        companion = install_companion(wp)
        print(f"   stand-in companion at {COMPANION_PATH}")
        svc = ServiceClient(wp)
        svc.install()
        print(f"   service {svc.name} created: {HEXLORN_EXE}")

        step("Starting the service")
        for status in svc.start():
            show_status(status)
        if svc.query()["state"] != SERVICE_RUNNING:
            raise SystemExit("the service is not running")

        step("The companion the service started")
        for line in companion.wait_for(" start ", timeout=20):
            print("   " + line)
        companion.wait_for(" ready", timeout=20)

        step("The force-close helper, as the service's sweep runs it in a session")
        helper = wp.run_launcher(CARD_ID)
        print(f"   HexlornS.exe \"{CARD_ID}\" ended with exit code {helper.exit_code} after {helper.ms:.0f} ms")
        for line in companion.wait_for("forceclose", timeout=20):
            print("   companion: " + line)
        for line in companion.wait_for("letgo", timeout=20):
            print("   companion: " + line)

        step("Stopping the service")
        show_status(svc.stop())
        if svc.query()["state"] != SERVICE_STOPPED:
            raise SystemExit("the service did not stop")

        step(f"Event log, Application, source HexlornS ({args.lang})")
        records = wp.events() + list(helper.events)
        if not records:
            print("   (no records)")
        for record in records:
            text = render(wp, record, args.lang).rstrip("\r\n")
            print(f"   {EVENT_TYPES.get(record.type, record.type):<11} {record.event_id:#010x}  {text}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
