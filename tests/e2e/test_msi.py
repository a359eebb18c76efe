"""The MSI package under Wine, driven as an administrator would.

On a private prefix: `msiexec /i` installs HexlornS.exe, creates and starts the
service with its description, registers the event source and the Programs and
Features entry; `sc stop` / `sc start` work; a rebuild of the same version and
a newer package (same upgrade code, a different exe) each replace the installed
one in place; an older package is refused; `msiexec /x` stops and removes
everything.

Wine's Windows Installer skips MsiConfigureServices, so the recovery actions
are proven from the package's tables (PackageTables), not from a service
configured by them.

The package is the windows build's HexlornS-<version>.msi (HEXLORN_VERSION, else
the project version); the other packages are built here from the same sources
with installer/build_msi.py.
"""

import os
import re
import subprocess
import sys
import time
import unittest
from pathlib import Path

from e2e_base import windows_build_dir
from eventview import MSG_ERROR, format_message
from wineprefix import WinePrefix, failure_text
from winelog import WINEDEBUG
from winesvc import SERVICE_RUNNING, SERVICE_STOPPED, ServiceClient

SOURCE_DIR = Path(__file__).resolve().parents[2]
SERVICE_KEY = r"HKLM\System\CurrentControlSet\Services\HexlornS"
EVENT_SOURCE_KEY = r"HKLM\System\CurrentControlSet\Services\EventLog\Application\HexlornS"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
INSTALLED_EXE = r"C:\Program Files\HexlornS\HexlornS.exe"
SERVICE_WIN32_OWN_PROCESS = 0x10
MAKER = "TALVORIN"
DESCRIPTION = (f"Holds the {MAKER} PCI audio card open, starts its companion application on the console, and "
               "makes the application let go of the card before Windows removes it.")
# Windows Installer's success codes: done, and done with a restart pending.
MSI_SUCCESS = (0, 3010)
# Every Wine command of the test shares this budget, well inside the ctest
# timeout, so that the prefix is always closed by the test itself.
BUDGET_SECONDS = 420


def project_version():
    configured = os.environ.get("HEXLORN_VERSION")
    if configured:
        return configured
    text = (SOURCE_DIR / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"project\(HexlornS VERSION (\d+\.\d+\.\d+)", text).group(1)


def msi_property(package, name):
    output = subprocess.run(["msiinfo", "export", str(package), "Property"], capture_output=True, text=True,
                            timeout=30, check=True).stdout
    return re.search(rf"^{name}\t(.*)$", output.replace("\r\n", "\n"), re.M).group(1)


def product_code(package):
    return msi_property(package, "ProductCode")


def next_version(version):
    major, minor, build = (int(part) for part in version.split("."))
    return f"{major}.{minor}.{build + 1}"


def table_rows(package, table):
    output = subprocess.run(["msiinfo", "export", str(package), table], capture_output=True, text=True,
                            timeout=30, check=True).stdout
    return [line.split("\t") for line in output.replace("\r\n", "\n").split("\n")[3:] if line]


class PackageTables(unittest.TestCase):
    """What the package tells Windows Installer about the service, read from its tables."""

    def setUp(self):
        self.package = windows_build_dir() / f"HexlornS-{project_version()}.msi"
        if not self.package.is_file():
            self.fail(f"{self.package} is missing: build the windows preset first")

    def test_recovery_restarts_twice_after_60_s_then_does_nothing_and_forgets_after_a_day(self):
        self.assertEqual(table_rows(self.package, "MsiServiceConfigFailureActions"),
                         [["HexlornS", "HexlornS", "1", "86400", "", "", "1[~]1[~]0", "60000[~]60000[~]0", "Service"]])
        sequence = {row[0]: int(row[2]) for row in table_rows(self.package, "InstallExecuteSequence")}
        self.assertLess(sequence["InstallServices"], sequence["MsiConfigureServices"])
        self.assertLess(sequence["MsiConfigureServices"], sequence["StartServices"])

    def test_service_description_and_programs_and_features_entry(self):
        (service,) = table_rows(self.package, "ServiceInstall")
        self.assertEqual((service[0], service[12]), ("HexlornS", DESCRIPTION))
        self.assertEqual([msi_property(self.package, name) for name in ("Manufacturer", "ARPNOMODIFY")],
                         [MAKER, "1"])


class MsiLife(unittest.TestCase):
    def setUp(self):
        self.build = windows_build_dir()
        self.version = project_version()
        self.package = self.build / f"HexlornS-{self.version}.msi"
        if not self.package.is_file():
            self.fail(f"{self.package} is missing: build the windows preset first")
        self.deadline = time.monotonic() + BUDGET_SECONDS
        self.msi_runs = []
        self.wp = WinePrefix(self.build)
        self.svc = ServiceClient(self.wp)
        self.wp.open()
        self.addCleanup(self.wp.close)

    # ---- bounded Wine commands ----

    def seconds(self, wanted):
        left = self.deadline - time.monotonic()
        if left <= 1:
            self.fail("out of time")
        return min(wanted, left)

    def run_wine(self, args, timeout=30, env=None):
        result = self.wp.run(args, timeout=self.seconds(timeout), env=env)
        self.assertFalse(result.timed_out, f"{args} did not end in time")
        return result

    def reg(self, *args):
        result = self.wp.reg(args, timeout=self.seconds(30))
        self.assertFalse(result.timed_out, f"reg {args} did not end in time")
        return result

    def msiexec(self, action, package):
        """Runs msiexec as the guide's commands do (quiet, no restart, a verbose
        log); returns (exit code, log text)."""
        log = rf"C:\packages\{action[1:]}-{package.stem}-{time.monotonic_ns()}.log"
        # Windows Installer's own warnings (a service it could not create,
        # stop or start) go to the run's debug output, for a failure to quote.
        result = self.run_wine(["msiexec", action, rf"C:\packages\{package.name}", "/qn", "/norestart", "/l*v", log],
                               timeout=180, env={"WINEDEBUG": WINEDEBUG + ",warn+msi"})
        self.msi_runs.append((f"{action} {package.name}", result))
        log_path = self.wp.c_path(log)
        text = log_path.read_bytes().decode("utf-8", "replace") if log_path.exists() else "(no log)"
        return result.returncode, text

    def assertMsiSucceeds(self, action, package, what):
        code, log = self.msiexec(action, package)
        if code not in MSI_SUCCESS:
            lines = [line for line in log.split("\n") if re.search(r"error|Return value 3|failed", line, re.I)]
            self.fail(f"{what}: msiexec exit code {code}\n" + "\n".join(lines)[-3000:] + "\n" +
                      self.installer_warnings())

    def registry(self, key):
        """{value name: (type, data)} of a key, or None when reg says there is no
        such key; any other failure of reg is the harness's, not an answer."""
        result = self.reg("query", key)
        if result.returncode != 0:
            if "Unable to find" in result.stdout:
                return None
            self.fail(failure_text(["reg", "query", key], result))
        values = {}
        for line in result.stdout.replace("\r\n", "\n").split("\n"):
            match = re.match(r"^\s{4}(\S.*?)\s{4}(REG_\w+)\s{4}(.*)$", line)
            if match:
                values[match.group(1)] = (match.group(2), match.group(3))
        return values

    def installer_warnings(self):
        """Each msiexec run of the test with its exit code and Windows Installer's
        warnings, leaving out the actions Wine does not implement."""
        lines = []
        for what, result in self.msi_runs:
            lines.append(f"msiexec {what}: exit code {result.returncode}")
            text = result.stderr_path.read_text(errors="replace")
            lines += [line for line in text.splitlines()
                      if re.search(r"(warn|err):msi", line) and "unhandled msi action" not in line]
        return "\n".join(lines)[-4000:]

    def products(self):
        """{product code: DisplayVersion} of the registered products named HexlornS."""
        return {code: values.get("DisplayVersion") for code, values in self.product_entries().items()}

    def product_entries(self):
        """{product code: {value name: data}} of the Programs and Features entries named HexlornS."""
        result = self.reg("query", UNINSTALL_KEY, "/s")
        products, code = {}, None
        for line in result.stdout.replace("\r\n", "\n").split("\n"):
            if line.startswith("HKEY_"):
                code = line.rsplit("\\", 1)[-1]
                products[code] = {}
            elif code:
                match = re.match(r"^\s{4}(\S.*?)\s{4}REG_\w+\s{4}(.*)$", line)
                if match:
                    products[code][match.group(1)] = match.group(2)
        return {code: values for code, values in products.items() if values.get("DisplayName") == "HexlornS"}

    def wait_for_processes(self, condition, seconds=20):
        deadline = time.monotonic() + self.seconds(seconds)
        while True:
            pids = sorted(self.svc.processes())
            if condition(pids) or time.monotonic() > deadline:
                return pids
            time.sleep(0.2)

    # ---- what an installed package looks like ----

    def assertInstalled(self, version, exe_bytes):
        status = self.svc.wait_state(SERVICE_RUNNING, timeout=self.seconds(30))
        self.assertEqual((status["type"], status["state"]), (SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING))
        self.assertEqual(len(self.wait_for_processes(lambda pids: len(pids) == 1)), 1, "one service process")
        self.assertEqual(self.wp.c_path(INSTALLED_EXE).read_bytes(), exe_bytes, "the package's exe is installed")

        service = self.registry(SERVICE_KEY)
        self.assertIsNotNone(service, "the service key")
        self.assertEqual(service.get("Type"), ("REG_DWORD", "0x10"), "own process")
        self.assertEqual(service.get("Start"), ("REG_DWORD", "0x2"), "automatic start")
        self.assertEqual(service.get("ObjectName"), ("REG_SZ", "LocalSystem"))
        self.assertIn(service.get("ImagePath", ("", ""))[0], ("REG_SZ", "REG_EXPAND_SZ"))
        self.assertEqual(service["ImagePath"][1].strip('"'), INSTALLED_EXE)

        self.assertEqual(service.get("Description"), ("REG_SZ", DESCRIPTION), "the description services.msc shows")

        event_source = self.registry(EVENT_SOURCE_KEY)
        if event_source is None:
            # A key gone while the service runs has no known cause: the failure
            # says whether it came back, what the Application log holds, and
            # what Windows Installer warned about on the way.
            time.sleep(2)
            again = self.registry(EVENT_SOURCE_KEY)
            sources = self.reg("query", EVENT_SOURCE_KEY.rsplit("\\", 1)[0]).stdout
            self.fail(f"no event-source key; 2 s later: {again}; products {self.products()}; "
                      f"service processes {self.svc.processes()}\n{sources}\n{self.installer_warnings()}")
        self.assertEqual(event_source,
                         {"EventMessageFile": ("REG_EXPAND_SZ", INSTALLED_EXE), "TypesSupported": ("REG_DWORD", "0x7")})
        self.assertEqual(list(self.products().values()), [version], "one registered HexlornS product")
        (entry,) = self.product_entries().values()
        self.assertEqual((entry.get("Publisher"), entry.get("NoModify"), entry.get("Comments")),
                         (MAKER, "0x1", f"Service and event source for the {MAKER} PCI audio card"),
                         "Programs and Features: the maker, no Modify, a comment")

    def make_package(self, version, padding):
        """A package of `version` whose exe differs from the built one by `padding` bytes at its end
        (bytes after the last section are not loaded: the program is the same, the file is not)."""
        staging = self.wp.path / f"exe-{version}-{padding}"
        staging.mkdir()
        exe = staging / "HexlornS.exe"
        exe.write_bytes((self.build / "HexlornS.exe").read_bytes() + b"\0" * padding)
        package = self.wp.c_path(rf"C:\packages\HexlornS-{version}-{padding}.msi")
        subprocess.run([sys.executable, str(SOURCE_DIR / "installer" / "build_msi.py"), "--exe", str(exe),
                        "--version", version, "--manufacturer", msi_property(self.package, "Manufacturer"),
                        "--output", str(package)], check=True, timeout=120)
        return package, exe.read_bytes()

    def test_install_stop_start_rebuild_upgrade_downgrade_uninstall(self):
        wp = self.wp
        packages = wp.c_path(r"C:\packages")
        packages.mkdir()
        first = packages / self.package.name
        first.write_bytes(self.package.read_bytes())
        rebuild, rebuild_bytes = self.make_package(self.version, 2048)
        newer_version = next_version(self.version)
        newer, newer_bytes = self.make_package(newer_version, 4096)

        # Install: files, service, event source, started.
        self.assertMsiSucceeds("/i", first, "install")
        self.assertInstalled(self.version, (self.build / "HexlornS.exe").read_bytes())
        installed = self.svc.processes()

        # The Event Viewer's view: the registered message file renders the catalog.
        message_file = self.registry(EVENT_SOURCE_KEY)["EventMessageFile"][1]
        for langid, text in ((0x0409, "An error has occurred (OpenDesktop).\r\n"),
                             (0x0004, "发生了一个错误 (OpenDesktop)。\r\n"),
                             (0x7C04, "發生了一個錯誤 (OpenDesktop)。\r\n")):
            self.assertEqual(format_message(wp, MSG_ERROR, langid, ["HexlornS", "OpenDesktop"], exe=message_file),
                             text)

        # Stop and start by hand.
        self.run_wine(["sc", "stop", "HexlornS"], timeout=60)
        self.assertEqual(self.svc.wait_state(SERVICE_STOPPED, timeout=self.seconds(30))["state"], SERVICE_STOPPED)
        self.assertEqual(self.wait_for_processes(lambda pids: not pids), [], "the process ends with the stop")
        self.run_wine(["sc", "start", "HexlornS"], timeout=60)
        self.assertEqual(self.svc.wait_state(SERVICE_RUNNING, timeout=self.seconds(30))["state"], SERVICE_RUNNING)
        started = self.wait_for_processes(lambda pids: len(pids) == 1)
        self.assertEqual(len(started), 1)
        self.assertNotEqual(started, installed)

        # A rebuild of the same version replaces the installed package.
        self.assertMsiSucceeds("/i", rebuild, "same-version install")
        self.assertInstalled(self.version, rebuild_bytes)
        self.assertEqual(list(self.products()), [product_code(rebuild)])
        rebuilt = self.svc.processes()
        self.assertNotEqual(rebuilt, started, "the service was restarted from the rebuilt exe")

        # Upgrade in place: the old service stops, the new exe runs.
        self.assertMsiSucceeds("/i", newer, "upgrade")
        self.assertInstalled(newer_version, newer_bytes)
        upgraded = self.svc.processes()
        self.assertNotEqual(upgraded, rebuilt, "the service was restarted from the new exe")
        self.assertEqual(list(self.products()), [product_code(newer)], "the old product is unregistered")

        # An older package is refused and leaves the newer one running untouched.
        code, log = self.msiexec("/i", first)
        self.assertNotIn(code, MSI_SUCCESS, "a downgrade must be refused")
        self.assertRegex(log, r"WIX_DOWNGRADE_DETECTED = \{", "refused by the downgrade rule")
        self.assertInstalled(newer_version, newer_bytes)
        self.assertEqual(self.svc.processes(), upgraded)

        # Uninstall: nothing is left.
        self.assertMsiSucceeds("/x", newer, "uninstall")
        self.assertEqual(self.wait_for_processes(lambda pids: not pids), [], "no service process")
        self.assertNotEqual(self.run_wine(["sc", "query", "HexlornS"]).returncode, 0, "no service")
        self.assertIsNone(self.registry(SERVICE_KEY), "no service key")
        self.assertIsNone(self.registry(EVENT_SOURCE_KEY), "no event-source key")
        self.assertFalse(wp.c_path(r"C:\Program Files\HexlornS").exists(), "no install folder")
        self.assertEqual(self.products(), {}, "no registered product")

        # Nothing in this life is a failure the service reports.
        self.assertEqual([record for record in wp.events() if record.type == 1], [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
