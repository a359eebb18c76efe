"""Private Wine prefixes for the end-to-end tests, the benchmarks and the demo:
the shared template, a prefix's life and session, and running Windows programs
in it, every one of them bounded.

    with WinePrefix(build_dir) as wp:          # private prefix, session started
        result = wp.run([wp.program("hxnop.exe")], timeout=30)
        launch = wp.run_launcher(r"PCI\\X")      # HexlornS.exe with that exact command line
        wp.events()                            # every ReportEventW of the session's services

Each Wine command has a timeout after which its whole process group is
killed, and closing a prefix always ends its wineserver and every process
still running in it.

Where the records come from: the first Wine program of a session starts
services.exe, and every service inherits that program's stderr and WINEDEBUG.
WinePrefix starts the session with a throwaway program whose stderr goes to
`session_log`, with the channels of winelog.WINEDEBUG on. Programs run through
`run` get their own stderr file with the same channels, so their records are
parsed from there (RunResult.events).

Facts about Wine 8 this relies on are in the project's Wine notes; the main
ones: Debian's wineserver wrapper adds -p0 (services die ~2 s after the last
program), so the session is kept with `wineserver -p`; the first program's
output must never go through a pipe (it would wait for the wineserver).
"""

import fcntl
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
from collections import namedtuple
from pathlib import Path

from winelog import WINEDEBUG, parse_events

TEMPLATE_RECIPE = "1"  # bump when the template's contents change
HEXLORN_EXE = r"C:\hx\HexlornS.exe"

RunResult = namedtuple("RunResult", "returncode stdout stderr_path elapsed timed_out events")
RunResult.__doc__ = "A finished Wine program: exit code, stdout text, its debug output file and records."
LaunchResult = namedtuple("LaunchResult", "exit_code timed_out ms pid events stdout")
LaunchResult.__doc__ = "A program started by hxlaunch: its own exit code and start-to-exit time in ms."


class WineError(RuntimeError):
    """A Wine command failed or did not finish in time."""


def wait_until(condition, timeout, what, interval=0.05):
    """Calls condition() until it returns something true, and returns that; after
    `timeout` seconds raises WineError naming `what` (a string, or a callable that
    makes one, for details known only at the end)."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise WineError(f"{what() if callable(what) else what} (waited {timeout} s)")
        time.sleep(interval)


def to_hex_arg(text):
    """The hex form the test programs take for exact strings: 'x' + UTF-8 bytes."""
    return "x" + text.encode("utf-8").hex()


def from_hex_arg(text):
    """The string a test program printed in the form of to_hex_arg."""
    if not text.startswith("x"):
        raise ValueError(f"not a hex string: {text!r}")
    return bytes.fromhex(text[1:]).decode("utf-8")


# ---------------------------------------------------------------------------
# Unix processes


def _kill_group(process):
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    try:
        process.wait(timeout=5)
    except subprocess.TimeoutExpired:
        pass


def _prefix_processes(prefix):
    """Unix PIDs of processes running with WINEPREFIX=prefix (ours, by construction)."""
    wanted = b"WINEPREFIX=" + os.fsencode(str(prefix)) + b"\0"
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                environ = f.read() + b"\0"
        except OSError:
            continue
        if wanted in environ:
            pids.append(int(entry))
    return pids


def _cmdline(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().replace(b"\0", b" ").decode("utf-8", "replace")
    except OSError:
        return ""


def _run_bounded(args, env, timeout, out, err):
    """Runs a Unix command in its own process group; returns (returncode, timed_out)."""
    process = subprocess.Popen(args, env=env, stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                               start_new_session=True)
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        _kill_group(process)
        return process.returncode, True
    return process.returncode, False


def failure_text(args, result):
    """What a failed or unended Wine program printed, for an error message."""
    return (f"wine {' '.join(map(str, args))}: rc={result.returncode} timed_out={result.timed_out}\n"
            f"{result.stdout}\n{result.stderr_path.read_text(errors='replace')[-3000:]}")


def wine_version():
    try:
        return subprocess.run(
            ["wine", "--version"],
            capture_output=True,
            text=True,
            timeout=30,
            env=dict(os.environ, WINEDEBUG="-all"),
        ).stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        return "unknown"


# ---------------------------------------------------------------------------
# The template prefix


def template_prefix():
    """A finished, headless prefix, built once and shared (read-only) by every
    WinePrefix of this machine with the same Wine and recipe. A lock file makes
    concurrent runs wait for the one that builds it."""
    root = Path(os.environ.get("HEXLORN_WINE_TEMPLATE_DIR", tempfile.gettempdir()))
    name = re.sub(r"[^A-Za-z0-9.]+", "-", f"hexlorn-wine-template-{TEMPLATE_RECIPE}-{wine_version()}-{os.getuid()}")
    template = root / name
    with open(root / (name + ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if (template / ".complete").exists():
            return template
        building = Path(tempfile.mkdtemp(prefix=name + "-building-", dir=root))
        env = dict(os.environ, WINEPREFIX=str(building), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        env.pop("DISPLAY", None)
        try:
            with open(building.parent / (building.name + ".log"), "w") as log:
                steps = [
                    (["wineboot", "--init"], 120),
                    (["wineserver", "-w"], 60),
                    (["wine", "reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d", "null", "/f"], 60),
                    (["wineserver", "-w"], 60),
                ]
                for args, timeout in steps:
                    if _run_bounded(args, env, timeout, log, log)[1]:
                        raise WineError(f"template: {' '.join(args)} did not finish in {timeout} s")
        finally:
            _run_bounded(["wineserver", "-k"], env, 30, subprocess.DEVNULL, subprocess.DEVNULL)
            for pid in _prefix_processes(building):
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
        (building / ".complete").write_text("ok\n")
        if template.exists():
            shutil.rmtree(template, ignore_errors=True)
        building.rename(template)
        return template


# ---------------------------------------------------------------------------
# A private prefix


class WinePrefix:
    """A private Wine prefix copied from the template, with its own session.

    build_dir: the windows preset's build folder (HexlornS.exe, winprogs/),
    copied into C:\\hx of the prefix.
    keep: leave the prefix folder behind after close (for looking at it).
    Use as a context manager; close() always ends the session (wineserver -k)
    and kills whatever of the prefix still runs."""

    def __init__(self, build_dir, keep=None, relay=()):
        """relay: functions ("dll.Function") whose calls every program of the
        session logs (WINEDEBUG +relay, limited to them by RelayInclude)."""
        self.relay = tuple(relay)
        self.build_dir = Path(build_dir).resolve()
        self.keep = keep if keep is not None else bool(os.environ.get("HEXLORN_E2E_KEEP"))
        self.path = None
        self.session_log = None
        self._runs = 0

    # -- life ------------------------------------------------------------

    def __enter__(self):
        self.open()
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def open(self):
        for needed in ("HexlornS.exe", "winprogs/hxlaunch.exe", "winprogs/hxsvc.exe", "winprogs/hxcompanion.exe"):
            if not (self.build_dir / needed).exists():
                raise WineError(f"{self.build_dir / needed} is missing: build the windows preset first")
        template = template_prefix()
        self.path = Path(tempfile.mkdtemp(prefix="hexlorn-e2e-"))
        shutil.rmtree(self.path)
        shutil.copytree(template, self.path, symlinks=True)
        self.logs = self.path / "logs"
        self.logs.mkdir()
        self.env = dict(os.environ, WINEPREFIX=str(self.path), WINEDEBUG=WINEDEBUG,
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        if self.relay:
            # Read by each process at its start, so written before the session's
            # first program; without it +relay would log every call.
            with open(self.path / "user.reg", "a", encoding="utf-8") as reg:
                reg.write('\n[Software\\\\Wine\\\\Debug] 0\n"RelayInclude"="%s"\n' % ";".join(self.relay))
            self.env["WINEDEBUG"] = WINEDEBUG + ",+relay"
        self.env.pop("DISPLAY", None)
        for key in [k for k in self.env if k.startswith("HXCOMPANION_")]:
            del self.env[key]
        try:
            # Persistent session first, so that services outlive each program.
            self._call(["wineserver", "-p"], 30)
            self.session_log = self.logs / "session.log"
            with open(self.session_log, "wb") as out:
                if _run_bounded(["wine", "cmd", "/c", "exit"], self.env, 60, out, out)[1]:
                    raise WineError("the session's first program did not end in 60 s")
            hx = self.c_path(r"C:\hx")
            hx.mkdir(parents=True, exist_ok=True)
            shutil.copy2(self.build_dir / "HexlornS.exe", hx / "HexlornS.exe")
            for program in (self.build_dir / "winprogs").glob("*.exe"):
                shutil.copy2(program, hx / program.name)
        except BaseException:
            self.close()
            raise
        return self

    def close(self):
        if self.path is None:
            return
        try:
            self._call(["wineserver", "-k"], 30, check=False)
        except WineError:
            pass
        deadline = time.monotonic() + 10
        while True:
            strays = _prefix_processes(self.path)
            if not strays or time.monotonic() > deadline:
                break
            for pid in strays:
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
            time.sleep(0.1)
        if not self.keep:
            shutil.rmtree(self.path, ignore_errors=True)
        self.path = None

    # -- paths -----------------------------------------------------------

    def c_path(self, windows_path):
        """The Unix path of a C:\\ path inside the prefix."""
        assert windows_path[:3].upper() == "C:\\", windows_path
        return self.path / "drive_c" / windows_path[3:].replace("\\", "/")

    @staticmethod
    def z_path(unix_path):
        """The Windows path (drive Z:) of a Unix path."""
        return "Z:" + str(Path(unix_path).resolve()).replace("/", "\\")

    @staticmethod
    def program(name):
        r"""The Windows path of a test program copied into C:\hx."""
        return "C:\\hx\\" + name

    def log_path(self, stem):
        """A new file name in the prefix's log folder, numbered in the order asked for."""
        self._runs += 1
        return self.logs / f"{stem}{self._runs:03d}"

    # -- running programs --------------------------------------------------

    def _call(self, args, timeout, check=True):
        """Runs a Unix command of Wine (wineserver) with its output in a file:
        `wineserver -p` leaves a daemon behind that would hold a pipe open."""
        with tempfile.TemporaryFile() as out:
            returncode, timed_out = _run_bounded(args, getattr(self, "env", None), timeout, out, out)
            if timed_out:
                raise WineError(f"{' '.join(args)} did not end in {timeout} s")
            out.seek(0)
            output = out.read().decode("utf-8", "replace")
        if check and returncode != 0:
            raise WineError(f"{' '.join(args)} failed ({returncode}): {output}")
        return output

    def run(self, args, timeout=30, env=None, check=False):
        """Runs one Wine program (`args[0]` a Windows or Unix path, or a builtin
        like 'sc') to its end, at most `timeout` s (then its process group is
        killed and timed_out is True). stdout is returned as text; the debug
        output goes to a file of its own, and its event records are parsed."""
        stem = self.log_path("run")
        run_env = dict(self.env)
        if env:
            run_env.update(env)
        started = time.monotonic()
        with open(str(stem) + ".out", "wb") as out, open(str(stem) + ".err", "wb") as err:
            returncode, timed_out = _run_bounded(["wine"] + [str(a) for a in args], run_env, timeout, out, err)
        elapsed = time.monotonic() - started
        # Bytes as written: a CR LF of a message text must stay CR LF.
        stdout = Path(str(stem) + ".out").read_bytes().decode("utf-8", "replace")
        stderr_path = Path(str(stem) + ".err")
        events = parse_events(stderr_path.read_text(encoding="utf-8", errors="replace"))
        result = RunResult(returncode, stdout, stderr_path, elapsed, timed_out, events)
        if check and (timed_out or returncode != 0):
            raise WineError(failure_text(args, result))
        return result

    def run_launcher(self, command_line, application=HEXLORN_EXE, timeout_ms=15000, env=None, repeat=1):
        """Starts `application` through hxlaunch with exactly `command_line`
        (None: a null command line) and waits at most timeout_ms. Returns the
        started program's exit code, its start-to-exit time and the records
        that it (and hxlaunch) wrote; with repeat > 1 also every run's time."""
        args = [self.program("hxlaunch.exe"), application or "-",
                "-" if command_line is None else to_hex_arg(command_line), str(timeout_ms), str(repeat)]
        result = self.run(args, timeout=timeout_ms / 1000.0 * repeat + 30, env=env)
        runs = re.findall(r"run=\d+ pid=(\d+) (?:exit=(\d+)|(timeout)) ms=([\d.]+)", result.stdout)
        if result.timed_out or not runs:
            raise WineError(f"hxlaunch failed: rc={result.returncode}\n{result.stdout}")
        pid, exit_code, timeout_word, ms = runs[-1]
        launch = LaunchResult(None if timeout_word else int(exit_code), bool(timeout_word), float(ms), int(pid),
                              result.events, result.stdout)
        if repeat > 1:
            return launch, [float(r[3]) for r in runs]
        return launch

    def start_detached(self, application, command_line, env=None):
        """Starts `application` with exactly `command_line` and leaves it running;
        returns its Windows process ID."""
        result = self.run([self.program("hxlaunch.exe"), application, to_hex_arg(command_line), "-"], timeout=30,
                          env=env)
        match = re.search(r"pid=(\d+)", result.stdout)
        if result.returncode != 0 or not match:
            raise WineError(f"{application} did not start: {result.stdout}")
        return int(match.group(1))

    def processes(self, exe_name):
        """Unix PIDs of running processes of this prefix whose command line names exe_name."""
        return [pid for pid in _prefix_processes(self.path) if exe_name.lower() in _cmdline(pid).lower()]

    # -- registry ----------------------------------------------------------

    def reg(self, args, timeout=30, check=False):
        """Wine's reg with `args`. reg prints a line for every outcome, its own
        errors included; a run that fails having printed nothing never got to
        the registry (seen here, rarely, as a `reg add` that failed silently in
        a test that passes otherwise), so it is run again, at most twice more,
        and each rerun is written to the prefix's logs/reruns.log. Only for
        reg: its adds (with /f) and queries give the same answer run twice.
        check: as for run."""
        args = ["reg"] + [str(a) for a in args]
        for attempt in range(3):
            result = self.run(args, timeout=timeout)
            if result.timed_out or result.returncode == 0 or result.stdout.strip():
                break
            with open(self.logs / "reruns.log", "a", encoding="utf-8") as log:
                log.write(f"{' '.join(args)}: exit code {result.returncode}, nothing printed "
                          f"(attempt {attempt + 1}); debug output in {result.stderr_path.name}\n")
        if check and (result.timed_out or result.returncode != 0):
            raise WineError(failure_text(args, result))
        return result

    def reg_add(self, key, value=None, data=None, kind="REG_SZ"):
        args = ["add", key, "/f"]
        if value is not None:
            args[2:2] = ["/v", value, "/t", kind, "/d", str(data)]
        self.reg(args, check=True)

    # -- the session's debug output ------------------------------------------

    def session_text(self):
        return self.session_log.read_text(encoding="utf-8", errors="replace")

    def events(self):
        """Every event record written inside the session's services (the
        service and the processes it started), in order."""
        return parse_events(self.session_text())
