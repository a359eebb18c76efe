"""What the service meets in a private prefix: a fake card that SetupAPI lists,
and the stand-in companion (tests/winprogs/hxcompanion.cpp), installed at the
companion's real path or started by hand with windows that carry a card's ID.

    add_fake_card(wp, CARD_ID)
    log = install_companion(wp)                  # the service starts it from there
    companion = start_companion(wp, CARD_ID, windows=".,HxSecond")
    companion.wait_for(" forceclose ")
    companion.received()                         # [1, 2]
"""

import re
import shutil
from pathlib import Path

from wineprefix import wait_until

# The card of the tests: the first hardware-ID prefix with a revision, and an
# instance part as Windows makes them.
CARD_ID = r"PCI\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01\4&1A2B3C4D&0&00E0"
CARD_HARDWARE_IDS = [
    r"PCI\VEN_1412&DEV_1724&SUBSYS_7E4B2200&REV_01",
    r"PCI\VEN_1412&DEV_1724&SUBSYS_7E4B2200",
    r"PCI\VEN_1412&DEV_1724&CC_040100",
    r"PCI\VEN_1412&DEV_1724",
]
# A device of the same chip whose most specific hardware ID is not a card's.
OTHER_DEVICE_ID = r"PCI\VEN_1412&DEV_1724&SUBSYS_12345678&REV_01\4&55AA55AA&0&00E8"
OTHER_DEVICE_HARDWARE_IDS = [
    r"PCI\VEN_1412&DEV_1724&SUBSYS_12345678&REV_01",
    r"PCI\VEN_1412&DEV_1724&SUBSYS_12345678",
    # Further down the list a card's prefix does not make it a card.
    r"PCI\VEN_1412&DEV_1724&SUBSYS_7E4B2200",
]

MEDIA_CLASS = "{4d36e96c-e325-11ce-bfc1-08002be10318}"
KSCATEGORY_AUDIO = "{6994ad04-93ef-11d0-a3cc-00a0c9223196}"

COMPANION_DIR = r"C:\Program Files\TALVORIN\Pellucid Range(Legacy)"
COMPANION_PATH = COMPANION_DIR + r"\Hexlorn.exe"


def add_fake_card(wp, instance_id=CARD_ID, hardware_ids=None, audio_interface=True):
    """Makes SetupAPI list a device from the registry alone: its Enum key
    (Media class, the hardware-ID list) and, with audio_interface, a present
    KSCATEGORY_AUDIO interface. Wine has no device object behind it, so
    opening the interface fails (the service keeps the entry with an
    invalid handle)."""
    hardware_ids = CARD_HARDWARE_IDS if hardware_ids is None else hardware_ids
    base = r"HKLM\System\CurrentControlSet"
    wp.reg_add(base + r"\Control\Class" + "\\" + MEDIA_CLASS, "Class", "Media")
    enum_key = base + r"\Enum" + "\\" + instance_id
    wp.reg_add(enum_key, "ClassGUID", MEDIA_CLASS)
    wp.reg_add(enum_key, "HardwareID", r"\0".join(hardware_ids), "REG_MULTI_SZ")
    if audio_interface:
        reference = "##?#" + instance_id.replace("\\", "#") + "#" + KSCATEGORY_AUDIO
        interface_key = base + r"\Control\DeviceClasses" + "\\" + KSCATEGORY_AUDIO.upper() + "\\" + reference
        wp.reg_add(interface_key, "DeviceInstance", instance_id)
        wp.reg_add(interface_key + r"\#Wave", "SymbolicLink", "\\\\?\\" + reference[4:] + "\\Wave")
        wp.reg_add(interface_key + r"\#Wave\Control", "Linked", 1, "REG_DWORD")


def install_companion(wp, source="hxcompanion.exe"):
    """Copies the stand-in companion to the companion's real path. Returns
    the Companion that the service will start from there (its log is
    Hexlorn.log next to it)."""
    target = wp.c_path(COMPANION_PATH)
    target.parent.mkdir(parents=True, exist_ok=True)
    shutil.copy2(wp.build_dir / "winprogs" / source, target)
    return Companion(target.with_suffix(".log"))


def start_companion(wp, instance_id=CARD_ID, windows=".", hang_ms=0, life_ms=60000, wait_ready=True, shared=False):
    """Starts the stand-in companion (not at the real path) with
    `instance_id` as its whole command line and leaves it running.
    windows: desktops of its windows (see hxcompanion.cpp), e.g.
    ".,HxSecond"; shared: it may run beside another instance for the same
    ID. Waits until its windows exist."""
    log = wp.log_path("companion").with_suffix(".log")
    env = {"HXCOMPANION_LOG": wp.z_path(log), "HXCOMPANION_WINDOWS": windows,
           "HXCOMPANION_HANG_MS": str(hang_ms), "HXCOMPANION_LIFE_MS": str(life_ms)}
    if shared:
        env["HXCOMPANION_SHARED"] = "1"
    companion = Companion(log, wp.start_detached(wp.program("hxcompanion.exe"), instance_id, env=env))
    if wait_ready:
        companion.wait_for(" ready")
    return companion


class Companion:
    """A stand-in companion, read through its log."""

    def __init__(self, log_path, pid=None):
        self.log_path = Path(log_path)
        self.pid = pid

    def lines(self):
        try:
            return self.log_path.read_text(encoding="utf-8", errors="replace").splitlines()
        except FileNotFoundError:
            return []

    def wait_for(self, word, timeout=20, count=1):
        """Waits until `count` log lines contain `word`; returns the lines or raises."""
        def enough():
            found = [line for line in self.lines() if word in line]
            return found if len(found) >= count else None

        return wait_until(enough, timeout,
                          lambda: f"companion log {self.log_path}: no {count}x '{word}':\n" + "\n".join(self.lines()))

    def received(self):
        """Window numbers that received "ForceClose", in order."""
        return [int(re.search(r"forceclose n=(\d+)", line).group(1)) for line in self.lines()
                if " forceclose n=" in line]

