#!/usr/bin/env python3
"""The MSI package under Wine, driven as an administrator would.

usage: test_msi.py WINDOWS_BUILD_DIR PROJECT_VERSION

On a fresh private prefix: `msiexec /i` installs HexlornS.exe, creates and
starts the service and registers the event source; `sc stop` / `sc start`
work; a newer package (same upgrade code, a different exe) replaces the old one
in place; an older package is refused; `msiexec /x` stops and removes
everything. Every Wine command runs with a timeout and writes its output to a
file (a pipe on a command that starts the service would wait for the service),
and the prefix's wineserver is killed at the end whatever happens.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

WINDOWS_BUILD_DIR = None
PROJECT_VERSION = None

SERVICE_KEY = r"HKLM\System\CurrentControlSet\Services\HexlornS"
EVENT_SOURCE_KEY = r"HKLM\System\CurrentControlSet\Services\EventLog\Application\HexlornS"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
INSTALLED_EXE = r"C:\Program Files\HexlornS\HexlornS.exe"
INSTALLED_DIR = ("drive_c", "Program Files", "HexlornS")
# Windows Installer's success codes: done, and done with a restart pending.
MSI_SUCCESS = (0, 3010)
# Event records of the service go to the debug output of the first program of
# the session; with this channel each record starts with a ReportEventW line.
SESSION_DEBUG = "-all,fixme+advapi"
# All Wine commands of a run share this budget, well inside the ctest timeout,
# so the clean-up in tearDown always runs.
BUDGET_SECONDS = 420
# The session outlives its last ordinary program by this long at most: if this
# test is killed before its clean-up, the wineserver still goes away.
SESSION_SECONDS = 300


class Prefix:
    """A private Wine prefix with a persistent session."""

    def __init__(self, root):
        self.root = Path(root)
        self.path = self.root / "prefix"
        self.logs = self.root / "logs"
        self.logs.mkdir()
        self.env = dict(os.environ, WINEPREFIX=str(self.path), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.count = 0
        self.deadline = time.monotonic() + BUDGET_SECONDS

    def run(self, *command, timeout=60, debug=None):
        """Runs a command with its output in a file; returns (exit code, output text)."""
        self.count += 1
        log = self.logs / f"{self.count:02d}-{Path(command[0]).name}.log"
        env = dict(self.env, WINEDEBUG=debug) if debug else self.env
        timeout = min(timeout, self.deadline - time.monotonic())
        if timeout <= 0:
            raise AssertionError(f"out of time before {' '.join(command)}")
        with open(log, "wb") as out:
            try:
                code = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=out, stderr=out, env=env,
                                      timeout=timeout).returncode
            except subprocess.TimeoutExpired:
                raise AssertionError(f"{' '.join(command)} did not finish within {timeout} s")
        return code, log.read_bytes().decode("utf-8", "replace").replace("\r\n", "\n")

    def create(self):
        code, output = self.run("wineboot", "--init", timeout=180)
        if code != 0:
            raise AssertionError(f"wineboot --init failed ({code}): {output[-2000:]}")
        # Wait until the registry is written: a session kept before that loses
        # the first install (error 1627) and leaves an orphaned service key.
        self.run("wineserver", "-w", timeout=120)
        self.run("wineserver", f"-p{SESSION_SECONDS}", timeout=30)
        # The first program starts services.exe, and every service inherits
        # its debug channels and its stderr: the session log.
        self.session_log = self.logs / "session.log"
        with open(self.session_log, "wb") as out:
            subprocess.run(["wine", "cmd", "/c", "exit"], stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                           env=dict(self.env, WINEDEBUG=SESSION_DEBUG), timeout=60)

    def kill(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30)

    def windows_path(self, relative):
        return "C:\\" + "\\".join(Path(relative).parts)

    def host_path(self, *parts):
        return self.path.joinpath(*parts)

    # ---- what an administrator would look at ----

    def msiexec(self, action, package):
        log = f"msiexec-{self.count + 1:02d}.log"
        code, output = self.run("wine", "msiexec", action, package, "/qn", "/l*v", f"C:\\packages\\{log}",
                                timeout=180)
        return code, self.host_path("drive_c", "packages", log)

    def service_state(self):
        """The STATE word of `sc query HexlornS`, or None when there is no such service."""
        code, output = self.run("wine", "sc", "query", "HexlornS", timeout=30)
        match = re.search(r"STATE\s*:\s*\d+\s+(\w+)", output)
        return match.group(1) if code == 0 and match else None

    def wait_for_state(self, state, seconds=30):
        deadline = time.monotonic() + seconds
        while True:
            current = self.service_state()
            if current == state or time.monotonic() > deadline:
                return current
            time.sleep(0.5)

    def registry(self, key):
        """{value name: (type, data)} of a key, or None when the key does not exist."""
        code, output = self.run("wine", "reg", "query", key, timeout=30)
        if code != 0:
            return None
        values = {}
        for line in output.split("\n"):
            match = re.match(r"^\s{4}(\S.*?)\s{4}(REG_\w+)\s{4}(.*)$", line)
            if match:
                values[match.group(1)] = (match.group(2), match.group(3))
        return values

    def subkeys(self, key):
        code, output = self.run("wine", "reg", "query", key, timeout=30)
        prefix = key.split("\\", 1)[1].lower() + "\\"
        return [line.split("\\")[-1] for line in output.split("\n")
                if line.lower().startswith("hkey_local_machine\\" + prefix)]

    def service_processes(self):
        """PIDs of HexlornS.exe processes of this prefix (other prefixes may run their own)."""
        pids = []
        for entry in Path("/proc").iterdir():
            if not entry.name.isdigit():
                continue
            try:
                command = (entry / "cmdline").read_bytes()
                environment = (entry / "environ").read_bytes().split(b"\0")
            except OSError:
                continue
            if b"HexlornS.exe" in command and f"WINEPREFIX={self.path}".encode() in environment:
                pids.append(int(entry.name))
        return sorted(pids)

    def wait_for_processes(self, condition, seconds=20):
        deadline = time.monotonic() + seconds
        while True:
            pids = self.service_processes()
            if condition(pids) or time.monotonic() > deadline:
                return pids
            time.sleep(0.25)

    def session_output(self):
        """What the session's services wrote to their debug output so far."""
        return self.session_log.read_bytes().decode("utf-8", "replace")


def error_records(debug_output):
    """The ReportEventW lines of error-type records (the type is the second argument)."""
    return [line for line in debug_output.split("\n") if re.search(r"ReportEventW \([^,]*,0x0*1,", line)]


def product_code(package):
    output = subprocess.run(["msiinfo", "export", str(package), "Property"], capture_output=True, text=True,
                            timeout=30, check=True).stdout
    return re.search(r"^ProductCode\t(\{[0-9A-F-]+\})", output.replace("\r\n", "\n"), re.M).group(1)


def next_version(version):
    major, minor, build = (int(part) for part in version.split("."))
    return f"{major}.{minor}.{build + 1}"


class MsiLifeTest(unittest.TestCase):
    def setUp(self):
        self.build = Path(WINDOWS_BUILD_DIR)
        self.package = self.build / f"HexlornS-{PROJECT_VERSION}.msi"
        for needed in (self.build / "HexlornS.exe", self.package):
            if not needed.is_file():
                self.fail(f"{needed} is missing: build the windows preset first")
        self.workdir = tempfile.mkdtemp(prefix="hexlorn-msi-")
        self.prefix = Prefix(self.workdir)

    def tearDown(self):
        try:
            self.prefix.kill()
        finally:
            if os.environ.get("HEXLORN_KEEP_PREFIX"):
                print(f"prefix and logs kept in {self.workdir}", file=sys.stderr)
            else:
                shutil.rmtree(self.workdir, ignore_errors=True)

    def make_newer_package(self, packages):
        """The same service one build number later, with an exe that differs from the installed one."""
        staging = Path(self.workdir) / "newer"
        staging.mkdir()
        exe = staging / "HexlornS.exe"
        # Bytes after the last section are not loaded: the program is the same, the file is not.
        exe.write_bytes((self.build / "HexlornS.exe").read_bytes() + b"\0" * 4096)
        version = next_version(PROJECT_VERSION)
        newer = packages / f"HexlornS-{version}.msi"
        subprocess.run([sys.executable, str(Path(__file__).resolve().parents[2] / "installer" / "build_msi.py"),
                        "--exe", str(exe), "--version", version, "--output", str(newer)], check=True, timeout=120)
        return newer, version, exe.read_bytes()

    def assertMsi(self, result, what):
        code, log = result
        if code not in MSI_SUCCESS:
            text = log.read_bytes().decode("utf-8", "replace") if log.exists() else "(no log)"
            tail = "\n".join(line for line in text.split("\n") if re.search(r"error|Return value 3|failed", line, re.I))
            self.fail(f"{what}: msiexec exit code {code}\n{tail[-3000:]}")

    def assertInstalled(self, version, exe_bytes):
        self.assertEqual(self.prefix.wait_for_state("RUNNING"), "RUNNING")
        self.assertEqual(len(self.prefix.wait_for_processes(lambda pids: len(pids) == 1)), 1,
                         "exactly one service process")
        self.assertEqual(self.prefix.host_path(*INSTALLED_DIR, "HexlornS.exe").read_bytes(), exe_bytes)

        service = self.prefix.registry(SERVICE_KEY)
        self.assertIsNotNone(service, "the service key")
        self.assertEqual(service.get("Type"), ("REG_DWORD", "0x10"), "own process")
        self.assertEqual(service.get("Start"), ("REG_DWORD", "0x2"), "automatic start")
        self.assertEqual(service.get("ObjectName"), ("REG_SZ", "LocalSystem"))
        self.assertIn(service.get("ImagePath", ("", ""))[0], ("REG_SZ", "REG_EXPAND_SZ"))
        self.assertEqual(service["ImagePath"][1].strip('"'), INSTALLED_EXE)

        source = self.prefix.registry(EVENT_SOURCE_KEY)
        self.assertEqual(source, {"EventMessageFile": ("REG_EXPAND_SZ", INSTALLED_EXE),
                                  "TypesSupported": ("REG_DWORD", "0x7")})

        products = [self.prefix.registry(f"{UNINSTALL_KEY}\\{code}") for code in self.prefix.subkeys(UNINSTALL_KEY)]
        ours = [values["DisplayVersion"][1] for values in products
                if values and values.get("DisplayName", ("", ""))[1] == "HexlornS"]
        self.assertEqual(ours, [version], "one registered HexlornS product, of this version")

    def test_install_stop_start_upgrade_downgrade_uninstall(self):
        prefix = self.prefix
        prefix.create()
        packages = prefix.host_path("drive_c", "packages")
        packages.mkdir()
        shutil.copy(self.package, packages)
        first = f"C:\\packages\\{self.package.name}"
        newer, newer_version, newer_bytes = self.make_newer_package(packages)
        exe_bytes = (self.build / "HexlornS.exe").read_bytes()

        # Install: files, service, event source, started.
        self.assertMsi(prefix.msiexec("/i", first), "install")
        self.assertInstalled(PROJECT_VERSION, exe_bytes)
        (first_pid,) = prefix.service_processes()

        # Stop and start by hand.
        prefix.run("wine", "sc", "stop", "HexlornS", timeout=60)
        self.assertEqual(prefix.wait_for_state("STOPPED"), "STOPPED")
        self.assertEqual(prefix.wait_for_processes(lambda pids: not pids), [], "the process ends with the stop")
        prefix.run("wine", "sc", "start", "HexlornS", timeout=60)
        self.assertEqual(prefix.wait_for_state("RUNNING"), "RUNNING")
        started = prefix.wait_for_processes(lambda pids: len(pids) == 1)
        self.assertEqual(len(started), 1)
        self.assertNotEqual(started, [first_pid])

        # Upgrade in place: the old service stops, the new exe runs.
        self.assertMsi(prefix.msiexec("/i", f"C:\\packages\\{newer.name}"), "upgrade")
        self.assertInstalled(newer_version, newer_bytes)
        upgraded = prefix.service_processes()
        self.assertNotEqual(upgraded, started, "the service was restarted from the new exe")
        self.assertIsNone(prefix.registry(f"{UNINSTALL_KEY}\\{product_code(self.package)}"),
                          "the old product is unregistered")

        # An older package is refused and leaves the newer one running untouched.
        code, _ = prefix.msiexec("/i", first)
        self.assertNotIn(code, MSI_SUCCESS, "a downgrade must be refused")
        self.assertInstalled(newer_version, newer_bytes)
        self.assertEqual(prefix.service_processes(), upgraded)

        # The installed exe started by hand is no service: it writes its one
        # error record (this also proves the record pattern used below) and exits 0.
        code, output = prefix.run("wine", INSTALLED_EXE, timeout=60, debug="-all,fixme+advapi,err+eventlog")
        self.assertEqual(code, 0)
        self.assertEqual(len(error_records(output)), 1, output)
        self.assertIn('L"StartServiceCtrlDispatcher"', output)

        # Uninstall: nothing is left.
        self.assertMsi(prefix.msiexec("/x", f"C:\\packages\\{newer.name}"), "uninstall")
        self.assertEqual(prefix.wait_for_processes(lambda pids: not pids), [], "no service process")
        self.assertIsNone(prefix.service_state(), "no service")
        self.assertIsNone(prefix.registry(SERVICE_KEY), "no service key")
        self.assertIsNone(prefix.registry(EVENT_SOURCE_KEY), "no event-source key")
        self.assertFalse(prefix.host_path(*INSTALLED_DIR).exists(), "no install folder")
        self.assertNotIn(product_code(newer), prefix.subkeys(UNINSTALL_KEY), "no registered product")

        # Nothing in this life is a failure the service reports: no error record.
        self.assertEqual(error_records(prefix.session_output()), [])


def main():
    global WINDOWS_BUILD_DIR, PROJECT_VERSION
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    WINDOWS_BUILD_DIR, PROJECT_VERSION = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v"])


if __name__ == "__main__":
    main()
