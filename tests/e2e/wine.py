"""Runs the real HexlornS.exe under Wine, in a private prefix, as users would.

The one way the end-to-end tests, the benchmarks and the demo drive Wine.
Every call is bounded: each Wine command has a timeout after which its whole
process group is killed, and closing a prefix always ends its wineserver and
every process still running in it.

    from wine import WinePrefix, CARD_ID

    with WinePrefix(build_dir) as wp:          # private prefix, session started
        wp.install_service()                   # C:\\hx\\HexlornS.exe, sc create
        wp.add_fake_card(CARD_ID)              # a card SetupAPI lists
        wp.install_companion()                 # stand-in at the real path
        seen = wp.start_service()              # StartServiceW + fast polling
        wp.query_status()                      # {'state': 4, 'accepted': 0x81, ...}
        wp.stop_service()                      # sc stop, waits for STOPPED
        for record in wp.events():             # every ReportEventW of the session
            print(wp.render(record, "en"))     # as the Event Viewer shows it

Where the event records come from: Wine's ReportEventW is a stub that only
prints its arguments and insertion strings on the debug channels. The first
Wine program of a session starts services.exe, and every service inherits that
program's stderr and WINEDEBUG; WinePrefix starts the session with a throwaway
program whose stderr goes to `session_log`, with the event-log channels and
the service channel on, and parses that file. Programs run through `run` get
their own stderr file with the same channels, so their records are parsed from
there (RunResult.events). With the service channel, each SetServiceStatus the
service makes is logged whole in the service process; `service_reports`
returns them.

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

SERVICE_NAME = "HexlornS"

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

# Message IDs and the LANGIDs of the three catalog languages.
MSG_DEVICE_ARRIVAL = 0x40000002
MSG_QUERY_REMOVE = 0x40000003
MSG_QUERY_REMOVE_FAILED = 0x40000004
MSG_REMOVE_COMPLETE = 0x40000005
MSG_DEVICE_FOUND = 0x40000006
MSG_ERROR = 0xC0020001
LANGUAGES = {"en": 0x0409, "zh-Hans": 0x0004, "zh-Hant": 0x7C04}

SERVICE_STOPPED, SERVICE_START_PENDING, SERVICE_STOP_PENDING, SERVICE_RUNNING = 1, 2, 3, 4

# The channels of every Wine program started here: quiet, except the process
# and thread IDs, the event-log stubs and the service calls.
WINEDEBUG = "-all,+pid,trace+service,fixme+advapi,err+eventlog,warn+eventlog,trace+eventlog"
TEMPLATE_RECIPE = "1"  # bump when the template's contents change

EventRecord = namedtuple("EventRecord", "pid tid type category event_id sid count data_size strings")
EventRecord.__doc__ = "One ReportEventW call: pid/tid are Wine's (hex strings); strings a list of str."
StatusReport = namedtuple("StatusReport", "pid tid type state accepted exit specific checkpoint waithint")
StatusReport.__doc__ = "One SetServiceStatus call as the service process made it."
RunResult = namedtuple("RunResult", "returncode stdout stderr_path elapsed timed_out events")
RunResult.__doc__ = "A finished Wine program: exit code, stdout text, its debug output file and records."
LaunchResult = namedtuple("LaunchResult", "exit_code timed_out ms pid events stdout")
LaunchResult.__doc__ = "A program started by hxlaunch: its own exit code and start-to-exit time in ms."


class WineError(RuntimeError):
    """A Wine command failed or did not finish in time."""


# ---------------------------------------------------------------------------
# Parsing the debug output


_REPORT = re.compile(
    r"^([0-9a-f]+):([0-9a-f]+):fixme:advapi:ReportEventW \(([^,]*),0x([0-9a-f]+),0x([0-9a-f]+),"
    r"0x([0-9a-f]+),([^,]*),0x([0-9a-f]+),0x([0-9a-f]+),"
)
_STRING = re.compile(r'^([0-9a-f]+):([0-9a-f]+):(?:trace|warn|err):eventlog:ReportEventW (?:L"(.*)"|\(null\))$')
_STATUS = re.compile(
    r"^([0-9a-f]+):([0-9a-f]+):trace:service:SetServiceStatus \S+ (\S+) (\S+) (\S+) (\S+) (\S+) (\S+) (\S+)$"
)
_HANDLER = re.compile(r'^([0-9a-f]+):[0-9a-f]+:trace:service:RegisterServiceCtrlHandlerExW L"([^"]*)"')
_ESCAPE = re.compile(r"\\(\\|\"|n|r|t|[0-9a-fA-F]{4})")


def unescape_debugstr(text):
    """Undoes Wine's debugstr_w escaping (\\\\ \\" \\n \\r \\t, \\xxxx for other characters).
    A string Wine cut short ends in '"...'; the part shown is returned."""
    if text.endswith('"...'):
        text = text[:-4]

    def one(match):
        code = match.group(1)
        return {"\\": "\\", '"': '"', "n": "\n", "r": "\r", "t": "\t"}.get(code) or chr(int(code, 16))

    return _ESCAPE.sub(one, text)


def parse_events(text):
    """Every event record in Wine debug output, in the order the calls were made
    (by their first line). Lines of several threads interleave, so strings are
    paired by pid:tid."""
    records = []  # (order, record)
    pending = {}  # (pid, tid) -> (order, header fields, strings)
    for order, line in enumerate(text.splitlines()):
        match = _REPORT.match(line)
        if match:
            pid, tid = match.group(1), match.group(2)
            key = (pid, tid)
            if key in pending:  # the previous record of this thread lost strings
                records.append(_finish(*pending.pop(key)))
            fields = [
                pid,
                tid,
                int(match.group(4), 16),
                int(match.group(5), 16),
                int(match.group(6), 16),
                match.group(7),
                int(match.group(8), 16),
                int(match.group(9), 16),
            ]
            if fields[6] == 0:
                records.append(_finish(order, fields, []))
            else:
                pending[key] = (order, fields, [])
            continue
        match = _STRING.match(line)
        if match:
            key = (match.group(1), match.group(2))
            if key not in pending:
                continue
            _, fields, strings = pending[key]
            strings.append(None if match.group(3) is None else unescape_debugstr(match.group(3)))
            if len(strings) == fields[6]:
                records.append(_finish(*pending.pop(key)))
    for entry in pending.values():
        records.append(_finish(*entry))
    return [record for _, record in sorted(records, key=lambda item: item[0])]


def _finish(order, fields, strings):
    pid, tid, etype, category, event_id, sid, count, data_size = fields
    return order, EventRecord(pid, tid, etype, category, event_id, sid, count, data_size, strings)


def parse_status_reports(text, service=SERVICE_NAME):
    """Every SetServiceStatus made by a process that registered `service`'s handler."""
    pids = {m.group(1) for m in map(_HANDLER.match, text.splitlines()) if m and m.group(2) == service}
    reports = []
    for line in text.splitlines():
        match = _STATUS.match(line)
        if match and match.group(1) in pids:
            values = [int(v, 0) for v in match.groups()[2:]]
            reports.append(StatusReport(match.group(1), match.group(2), *values))
    return reports


def parse_status_line(line):
    """hxsvc's 'type=0x10 state=4 ...' into a dict of ints."""
    return {key: int(value, 0) for key, value in re.findall(r"(\w+)=(0x[0-9a-fA-F]+|\d+)", line)}


def to_hex_arg(text):
    """The hex form the test programs take for exact strings: 'x' + UTF-8 bytes."""
    return "x" + text.encode("utf-8").hex()


# ---------------------------------------------------------------------------
# Processes


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
            log = open(building.parent / (building.name + ".log"), "w")
            steps = [
                (["wineboot", "--init"], 120),
                (["wineserver", "-w"], 60),
                (["wine", "reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d", "null", "/f"], 60),
                (["wineserver", "-w"], 60),
            ]
            for args, timeout in steps:
                process = subprocess.Popen(args, env=env, stdout=log, stderr=log, start_new_session=True)
                try:
                    process.wait(timeout=timeout)
                except subprocess.TimeoutExpired:
                    _kill_group(process)
                    raise WineError(f"template: {' '.join(args)} did not finish in {timeout} s")
        finally:
            subprocess.run(["wineserver", "-k"], env=env, timeout=30, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
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


class Companion:
    """A stand-in companion started by `WinePrefix.start_companion`."""

    def __init__(self, prefix, log_path, pid):
        self.prefix = prefix
        self.log_path = Path(log_path)
        self.pid = pid

    def lines(self):
        try:
            return self.log_path.read_text(encoding="utf-8", errors="replace").splitlines()
        except FileNotFoundError:
            return []

    def wait_for(self, word, timeout=20, count=1):
        """Waits until `count` log lines contain `word`; returns the lines or raises."""
        deadline = time.monotonic() + timeout
        while True:
            found = [line for line in self.lines() if word in line]
            if len(found) >= count:
                return found
            if time.monotonic() > deadline:
                raise WineError(f"companion log {self.log_path}: no {count}x '{word}' in {timeout} s:\n" +
                                "\n".join(self.lines()))
            time.sleep(0.05)

    def received(self):
        """Window numbers that received "ForceClose", in order."""
        return [int(re.search(r"forceclose n=(\d+)", line).group(1)) for line in self.lines()
                if " forceclose n=" in line]


class WinePrefix:
    """A private Wine prefix copied from the template, with its own session.

    build_dir: the windows preset's build folder (HexlornS.exe, winprogs/).
    keep: leave the prefix folder behind after close (for looking at it).
    Use as a context manager; close() always ends the session (wineserver -k)
    and kills whatever of the prefix still runs."""

    def __init__(self, build_dir, keep=None):
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
        self.env.pop("DISPLAY", None)
        for key in [k for k in self.env if k.startswith("HXCOMPANION_")]:
            del self.env[key]
        try:
            # Persistent session first, so that services outlive each program.
            self._call(["wineserver", "-p"], 30)
            self.session_log = self.logs / "session.log"
            with open(self.session_log, "wb") as out:
                process = subprocess.Popen(["wine", "cmd", "/c", "exit"], env=self.env, stdout=out, stderr=out,
                                           stdin=subprocess.DEVNULL, start_new_session=True)
                try:
                    process.wait(timeout=60)
                except subprocess.TimeoutExpired:
                    _kill_group(process)
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

    def program(self, name):
        r"""The Windows path of a test program copied into C:\hx."""
        return "C:\\hx\\" + name

    # -- running programs --------------------------------------------------

    def _call(self, args, timeout, check=True, env=None):
        """Runs a Unix command of Wine (wineserver) with its output in a file:
        `wineserver -p` leaves a daemon behind that would hold a pipe open."""
        with tempfile.TemporaryFile() as out:
            process = subprocess.Popen(args, env=env or getattr(self, "env", None), stdout=out, stderr=out,
                                       stdin=subprocess.DEVNULL, start_new_session=True)
            try:
                process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                _kill_group(process)
                raise WineError(f"{' '.join(args)} did not end in {timeout} s")
            out.seek(0)
            output = out.read().decode("utf-8", "replace")
        if check and process.returncode != 0:
            raise WineError(f"{' '.join(args)} failed ({process.returncode}): {output}")
        return output

    def run(self, args, timeout=30, env=None, check=False):
        """Runs one Wine program (`args[0]` a Windows or Unix path, or a builtin
        like 'sc') to its end, at most `timeout` s (then its process group is
        killed and timed_out is True). stdout is returned as text; the debug
        output goes to a file of its own, and its event records are parsed."""
        self._runs += 1
        stem = self.logs / f"run{self._runs:03d}"
        run_env = dict(self.env)
        if env:
            run_env.update(env)
        started = time.monotonic()
        with open(str(stem) + ".out", "wb") as out, open(str(stem) + ".err", "wb") as err:
            process = subprocess.Popen(["wine"] + [str(a) for a in args], env=run_env, stdout=out, stderr=err,
                                       stdin=subprocess.DEVNULL, start_new_session=True)
            timed_out = False
            try:
                process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                timed_out = True
                _kill_group(process)
        elapsed = time.monotonic() - started
        # Bytes as written: a CR LF of a message text must stay CR LF.
        stdout = Path(str(stem) + ".out").read_bytes().decode("utf-8", "replace")
        stderr_path = Path(str(stem) + ".err")
        events = parse_events(stderr_path.read_text(encoding="utf-8", errors="replace"))
        result = RunResult(process.returncode, stdout, stderr_path, elapsed, timed_out, events)
        if check and (timed_out or process.returncode != 0):
            raise WineError(f"wine {' '.join(map(str, args))}: rc={process.returncode} timed_out={timed_out}\n"
                            f"{stdout}\n{stderr_path.read_text(errors='replace')[-3000:]}")
        return result

    def run_launcher(self, command_line, application=r"C:\hx\HexlornS.exe", timeout_ms=15000, env=None, repeat=1):
        """Starts `application` through hxlaunch with exactly `command_line`
        (None: a null command line) and waits at most timeout_ms. Returns the
        started program's exit code, its start-to-exit time and the records
        that it (and hxlaunch) wrote."""
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

    # -- the service -------------------------------------------------------

    def install_service(self, name=SERVICE_NAME, exe=r"C:\hx\HexlornS.exe"):
        """Creates the service with `sc create` (own process, demand start)."""
        result = self.run(["sc", "create", name, "binPath=", exe], timeout=30)
        if result.returncode != 0:
            raise WineError(f"sc create failed: {result.stdout}")

    def hxsvc(self, *args, timeout=30):
        return self.run([self.program("hxsvc.exe")] + [str(a) for a in args], timeout=timeout)

    def start_service(self, name=SERVICE_NAME, timeout=20):
        """StartServiceW, then polls as fast as it can until RUNNING or STOPPED.
        Returns every distinct status seen (dicts), in order; raises if the
        service did not get there in time."""
        result = self.hxsvc("watch", name, int(timeout * 1000), timeout=timeout + 30)
        seen = [parse_status_line(line.split(" ", 2)[2]) for line in result.stdout.splitlines()
                if line.startswith("seen ")]
        if result.returncode != 0:
            raise WineError(f"service {name} did not reach RUNNING: {result.stdout}")
        return seen

    def query_status(self, name=SERVICE_NAME):
        """QueryServiceStatus: {'type', 'state', 'accepted', 'exit', 'specific', 'checkpoint', 'waithint'}."""
        result = self.hxsvc("query", name)
        if result.returncode != 0:
            raise WineError(f"query failed: {result.stdout}")
        return parse_status_line(result.stdout)

    def interrogate(self, name=SERVICE_NAME):
        """ControlService(INTERROGATE): (answered, status dict)."""
        result = self.hxsvc("interrogate", name)
        return result.returncode == 0, parse_status_line(result.stdout)

    def wait_state(self, state, name=SERVICE_NAME, timeout=20):
        result = self.hxsvc("wait", name, state, int(timeout * 1000), timeout=timeout + 30)
        status = parse_status_line(result.stdout.splitlines()[-1] if result.stdout else "")
        if result.returncode != 0:
            raise WineError(f"service {name} did not reach state {state} in {timeout} s: {result.stdout}")
        return status

    def stop_service(self, name=SERVICE_NAME, timeout=30):
        """`sc stop`, then waits for SERVICE_STOPPED and for the service's
        process to end. Returns the final status."""
        self.run(["sc", "stop", name], timeout=30)
        status = self.wait_state(SERVICE_STOPPED, name, timeout)
        deadline = time.monotonic() + timeout
        while self.service_processes():
            if time.monotonic() > deadline:
                raise WineError(f"{name} reported STOPPED but its process still runs")
            time.sleep(0.1)
        return status

    def service_processes(self, exe_name="HexlornS.exe"):
        """Unix PIDs of running processes of this prefix whose command line names exe_name."""
        return [pid for pid in _prefix_processes(self.path) if exe_name.lower() in _cmdline(pid).lower()]

    def session_text(self):
        return self.session_log.read_text(encoding="utf-8", errors="replace")

    def events(self):
        """Every event record written inside the session's services (the
        service and the processes it started), in order."""
        return parse_events(self.session_text())

    def service_reports(self, name=SERVICE_NAME):
        """Every SetServiceStatus the service process made, in order."""
        return parse_status_reports(self.session_text(), name)

    def render(self, record, lang="en"):
        """The record as the Event Viewer shows it: the catalog text of its ID
        in `lang` ('en', 'zh-Hans', 'zh-Hant' or a LANGID), read from the exe's
        own message table with FormatMessageW, with its insertion strings."""
        langid = LANGUAGES.get(lang, lang)
        return self.format_message(record.event_id, langid, [s or "" for s in record.strings])

    def format_message(self, message_id, langid, strings, exe=r"C:\hx\HexlornS.exe"):
        args = [self.program("hxmsgfmt.exe"), exe, hex(message_id), hex(langid)] + [to_hex_arg(s) for s in strings]
        result = self.run(args, timeout=30)
        if result.returncode != 0:
            raise WineError(f"FormatMessageW {message_id:#x}/{langid:#x}: {result.stdout}")
        return result.stdout

    # -- registry, fake cards ----------------------------------------------

    def reg_add(self, key, value=None, data=None, kind="REG_SZ"):
        args = ["reg", "add", key, "/f"]
        if value is not None:
            args[3:3] = ["/v", value, "/t", kind, "/d", str(data)]
        result = self.run(args, timeout=30)
        if result.returncode != 0:
            raise WineError(f"reg add {key} {value}: {result.stdout}")

    def add_fake_card(self, instance_id=CARD_ID, hardware_ids=None, audio_interface=True):
        """Makes SetupAPI list a device from the registry alone: its Enum key
        (Media class, the hardware-ID list) and, with audio_interface, a present
        KSCATEGORY_AUDIO interface. Wine has no device object behind it, so
        opening the interface fails (the service keeps the entry with an
        invalid handle)."""
        hardware_ids = CARD_HARDWARE_IDS if hardware_ids is None else hardware_ids
        base = r"HKLM\System\CurrentControlSet"
        self.reg_add(base + r"\Control\Class" + "\\" + MEDIA_CLASS, "Class", "Media")
        enum_key = base + r"\Enum" + "\\" + instance_id
        self.reg_add(enum_key, "ClassGUID", MEDIA_CLASS)
        self.reg_add(enum_key, "HardwareID", r"\0".join(hardware_ids), "REG_MULTI_SZ")
        if audio_interface:
            reference = "##?#" + instance_id.replace("\\", "#") + "#" + KSCATEGORY_AUDIO
            interface_key = base + r"\Control\DeviceClasses" + "\\" + KSCATEGORY_AUDIO.upper() + "\\" + reference
            self.reg_add(interface_key, "DeviceInstance", instance_id)
            self.reg_add(interface_key + r"\#Wave", "SymbolicLink", "\\\\?\\" + reference[4:] + "\\Wave")
            self.reg_add(interface_key + r"\#Wave\Control", "Linked", 1, "REG_DWORD")

    # -- the companion -----------------------------------------------------

    def install_companion(self, source="hxcompanion.exe"):
        """Copies the stand-in companion to the companion's real path. Returns
        the Unix path of the log it writes there (Hexlorn.log)."""
        target = self.c_path(COMPANION_PATH)
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(self.build_dir / "winprogs" / source, target)
        return target.with_suffix(".log")

    def start_companion(self, instance_id=CARD_ID, windows=".", hang_ms=0, life_ms=60000, name=None,
                        wait_ready=True):
        """Starts the stand-in companion (not at the real path) with
        `instance_id` as its whole command line and leaves it running.
        windows: desktops of its windows (see hxcompanion.cpp), e.g.
        ".,HxSecond". Waits until its windows exist."""
        self._runs += 1
        log = self.logs / (name or f"companion{self._runs:03d}.log")
        env = {"HXCOMPANION_LOG": self.z_path(log), "HXCOMPANION_WINDOWS": windows,
               "HXCOMPANION_HANG_MS": str(hang_ms), "HXCOMPANION_LIFE_MS": str(life_ms)}
        result = self.run([self.program("hxlaunch.exe"), self.program("hxcompanion.exe"), to_hex_arg(instance_id),
                           "-"], timeout=30, env=env)
        match = re.search(r"pid=(\d+)", result.stdout)
        if result.returncode != 0 or not match:
            raise WineError(f"companion did not start: {result.stdout}")
        companion = Companion(self, log, int(match.group(1)))
        if wait_ready:
            companion.wait_for(" ready")
        return companion
