"""The service client of the end-to-end tests: installs, starts, queries,
interrogates, controls and stops a service in a private prefix through Wine's
service manager (sc and tests/winprogs/hxsvc.cpp), and reads the status
reports the service process made.

    svc = ServiceClient(wp)                    # HexlornS in prefix wp
    svc.install()                              # sc create, C:\\hx\\HexlornS.exe
    svc.start()                                # StartServiceW + fast polling
    svc.query()                                # {'state': 4, 'accepted': 0x81, ...}
    svc.stop()                                 # sc stop, waits for STOPPED and the process
    svc.reports()                              # every SetServiceStatus, as the process made it
"""

import re

from winelog import parse_status_reports
from wineprefix import HEXLORN_EXE, WineError, wait_until

SERVICE_NAME = "HexlornS"
SERVICE_STOPPED, SERVICE_START_PENDING, SERVICE_STOP_PENDING, SERVICE_RUNNING = 1, 2, 3, 4
STATE_NAMES = {SERVICE_STOPPED: "STOPPED", SERVICE_START_PENDING: "START_PENDING",
               SERVICE_STOP_PENDING: "STOP_PENDING", SERVICE_RUNNING: "RUNNING"}


def parse_status_line(line):
    """hxsvc's 'type=0x10 state=4 ...' (and 'ms=12.5' where it gives one) into a dict of numbers."""
    return {key: float(value) if key == "ms" else int(value, 0)
            for key, value in re.findall(r"(\w+)=(0x[0-9a-fA-F]+|\d+(?:\.\d+)?)", line)}


class ServiceClient:
    """One service of a WinePrefix, driven through the service manager."""

    def __init__(self, wp, name=SERVICE_NAME, exe=HEXLORN_EXE):
        self.wp = wp
        self.name = name
        self.exe = exe

    def install(self):
        """Creates the service with `sc create` (own process, demand start)."""
        result = self.wp.run(["sc", "create", self.name, "binPath=", self.exe], timeout=30)
        if result.returncode != 0:
            raise WineError(f"sc create failed: {result.stdout}")

    def hxsvc(self, command, *args, timeout=30):
        return self.wp.run([self.wp.program("hxsvc.exe"), command, self.name] + [str(a) for a in args],
                           timeout=timeout)

    def start(self, timeout=20):
        """StartServiceW, then polls as fast as it can until RUNNING or STOPPED.
        Returns every distinct status seen (dicts, each with 'ms' since the
        start call), in order; raises if the service did not get to RUNNING."""
        result = self.hxsvc("watch", int(timeout * 1000), timeout=timeout + 30)
        seen = [parse_status_line(line) for line in result.stdout.splitlines() if line.startswith("seen ")]
        if result.returncode != 0:
            raise WineError(f"service {self.name} did not reach RUNNING: {result.stdout}")
        return seen

    def query(self):
        """QueryServiceStatus: {'type', 'state', 'accepted', 'exit', 'specific', 'checkpoint', 'waithint'}."""
        result = self.hxsvc("query")
        if result.returncode != 0:
            raise WineError(f"query failed: {result.stdout}")
        return parse_status_line(result.stdout)

    def interrogate(self):
        """ControlService(INTERROGATE): (answered, status dict)."""
        return self.control(4)

    def control(self, code):
        """ControlService with any code: (answered, status dict)."""
        result = self.hxsvc("control", code)
        return result.returncode == 0, parse_status_line(result.stdout)

    def wait_state(self, state, timeout=20):
        """Polls until the service reports `state`; returns that status or raises."""
        result = self.hxsvc("wait", state, int(timeout * 1000), timeout=timeout + 30)
        status = parse_status_line(result.stdout.splitlines()[-1] if result.stdout else "")
        if result.returncode != 0:
            raise WineError(f"service {self.name} did not reach state {state} in {timeout} s: {result.stdout}")
        return status

    def stop(self, timeout=30):
        """`sc stop`, then waits for SERVICE_STOPPED and for the service's
        process to end (Wine's manager keeps showing RUNNING for a process
        that died without reporting, and STOPPED before the process is gone).
        Returns the final status."""
        self.wp.run(["sc", "stop", self.name], timeout=30)
        status = self.wait_state(SERVICE_STOPPED, timeout)
        wait_until(lambda: not self.processes(), timeout, f"{self.name} reported STOPPED but its process still runs",
                   interval=0.1)
        return status

    def processes(self):
        """Unix PIDs of the running processes of the service's executable."""
        return self.wp.processes(self.exe.rsplit("\\", 1)[-1])

    def reports(self):
        """Every SetServiceStatus the service process made, in order."""
        return parse_status_reports(self.wp.session_text(), self.name)
