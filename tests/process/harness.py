"""Runs the real helper binary, natively or under Wine, for process-level tests.

Every test script takes `--exe PATH --platform linux|win`; remaining arguments
go to unittest. Under Wine the prefix and display come from WINEPREFIX and
DISPLAY when both are set; otherwise the harness makes a private prefix with
its own Xvfb and removes both when the script ends.
"""

import argparse
import atexit
import contextlib
import fcntl
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from xvfb import Xvfb  # noqa: E402,F401  (the one launcher, shared with the tools)
from host_client import command_record, process_usage, read_messages  # noqa: E402

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"


class Target:
    """How to start the helper: the command prefix and the environment."""

    def __init__(self, exe, platform):
        self.exe = os.path.abspath(exe)
        self.platform = platform
        self.env = dict(os.environ)
        self._cleanup = []
        if platform == "win":
            self._prepare_wine()
            # Started first, so that the Wine services it brings up do not
            # inherit the pipes of a process under test.
            self.windows_host()
        atexit.register(self.close)

    def _prepare_wine(self):
        self.env["WINEDEBUG"] = "-all"
        self.env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
        if self.env.get("WINEPREFIX") and self.env.get("DISPLAY"):
            return
        root = tempfile.mkdtemp(prefix="nimbra-wine-")
        self._cleanup.append(lambda: shutil.rmtree(root, ignore_errors=True))
        xvfb = Xvfb()
        self._cleanup.append(xvfb.stop)
        self.env["DISPLAY"] = xvfb.display
        self.env["WINEPREFIX"] = os.path.join(root, "prefix")
        subprocess.run([WINE, "wineboot", "-i"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120, check=True)
        self._cleanup.append(lambda: subprocess.run([WINESERVER, "-k"], env=self.env,
                                                    stderr=subprocess.DEVNULL, timeout=30))

    def command(self, args):
        return ([WINE] if self.platform == "win" else []) + [self.exe] + list(args)

    def close(self):
        while self._cleanup:
            try:
                self._cleanup.pop()()
            except Exception:  # cleanup is best effort
                pass

    def spawn(self, args, stdout=subprocess.PIPE, env=None, stderr=subprocess.PIPE):
        return subprocess.Popen(self.command(args), env=env or self.env, stdin=subprocess.PIPE, stdout=stdout,
                                stderr=stderr)

    def run(self, args, stdin=b"", timeout=30):
        """Runs to the end with `stdin` as the whole input: (status, stdout, stderr)."""
        return self._run_to_end(args, {"input": stdin}, timeout)

    def run_holding_stdin(self, args, timeout=180):
        """Runs to the end with stdin open (and never written): a closed stdin
        would end a capture session by itself."""
        read_fd, write_fd = os.pipe()
        try:
            return self._run_to_end(args, {"stdin": read_fd}, timeout)
        finally:
            os.close(read_fd)
            os.close(write_fd)

    def _run_to_end(self, args, stdin, timeout):
        # Output into files, not pipes: a Wine service that the program brings
        # up inherits its standard handles and would hold a pipe open for good.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.run(self.command(args), env=self.env, stdout=out, stderr=err, timeout=timeout, **stdin)
            out.seek(0)
            err.seek(0)
            return proc.returncode, out.read(), err.read()

    def live_parent(self):
        """A process id the helper may watch as its host, alive while the tests run."""
        return os.getpid() if self.platform == "linux" else self.windows_host().pid

    def windows_host(self):
        if not hasattr(self, "_host"):
            self._host = WindowsHost(self)
            self._cleanup.append(self._host.stop)
        return self._host

    def new_host(self):
        return WindowsHost(self) if self.platform == "win" else UnixHost()


def windows_pids(target, name):
    """The Windows process ids of `name` in the target's Wine prefix, from the
    debugger's process list (WMI is too slow to come up on a fresh server)."""
    # Into a file: Wine services started on the way may hold a pipe open for good.
    with tempfile.TemporaryFile() as listing:
        subprocess.run([WINE, "winedbg", "--command", "info proc"], env=target.env, stdin=subprocess.DEVNULL,
                       stdout=listing, stderr=subprocess.DEVNULL, timeout=60)
        listing.seek(0)
        out = listing.read()
    pids = set()
    for line in out.decode(errors="replace").splitlines():
        match = re.match(r"^[ =]([0-9a-fA-F]{8})\s+\d+\s+(?:\\_ )?'(.*)'\s*$", line)
        if match and match.group(2).lower() == name.lower():
            pids.add(int(match.group(1), 16))
    return pids


class WindowsHost:
    """A Windows process that plays the host: cmd.exe reading its stdin, so it
    lives until that is closed. It also keeps the Wine server up between runs."""

    def __init__(self, target):
        before = windows_pids(target, "cmd.exe")
        self.proc = subprocess.Popen([WINE, "cmd.exe"], env=target.env, stdin=subprocess.PIPE,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            new = windows_pids(target, "cmd.exe") - before
            if len(new) == 1:
                self.pid = new.pop()
                return
            time.sleep(0.2)
        self.stop()
        raise RuntimeError("the Windows host process did not show up")

    def stop(self):
        """Ends the host and returns the monotonic time at which it was gone."""
        if self.proc.poll() is None:
            self.proc.stdin.close()
            wait_status(self.proc, 20)
        return time.monotonic()


class UnixHost:
    """A plain Linux process that plays the host."""

    def __init__(self):
        # Not on ctest's output: a stray host would keep ctest waiting for it.
        self.proc = subprocess.Popen(["sleep", "600"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        self.pid = self.proc.pid
        atexit.register(self.stop)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()  # reaped: the id no longer exists
        return time.monotonic()


def blocked_stdout():
    """A pipe whose buffer is already full: a helper given its write end as
    stdout blocks on its first message, which keeps a session from racing to
    its own end while a test pokes at it. Returns (read_fd, write_fd, filler)."""
    read_fd, write_fd = os.pipe()
    flags = fcntl.fcntl(write_fd, fcntl.F_GETFL)
    fcntl.fcntl(write_fd, fcntl.F_SETFL, flags | os.O_NONBLOCK)
    filled = 0
    for size in (4096, 1):
        try:
            while True:
                filled += os.write(write_fd, b"\xAA" * size)
        except BlockingIOError:
            pass
    fcntl.fcntl(write_fd, fcntl.F_SETFL, flags)
    return read_fd, write_fd, filled


def read_all(fd):
    data = bytearray()
    while chunk := os.read(fd, 1 << 16):
        data += chunk
    return bytes(data)


def wait_status(proc, timeout):
    """The exit status, or None after killing a process that outlived `timeout`."""
    try:
        return proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        return None


def command(payload):
    """One stdin command record: 32-bit little-endian length, then the payload."""
    return struct.pack("<I", len(payload)) + payload


class Helper:
    """A running helper (`command` is the whole command line); a thread keeps
    every message it writes as (arrival time, kind, payload)."""

    def __init__(self, command, env):
        # Diagnostics into a file: under Wine a service the program brings up may hold a pipe open for good.
        self.err = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(command, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.err)
        self.messages = []
        self.reading = "on"  # a host may also hold its reads ("held") or close its end ("closed")
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for kind, payload in read_messages(self.proc.stdout):
            self.messages.append((time.monotonic(), kind, payload))  # appending is atomic
            while self.reading == "held":
                time.sleep(0.02)
            if self.reading == "closed":
                self.proc.stdout.close()
                return

    def of_kind(self, kinds, after=0.0, before=float("inf")):
        return [m for m in list(self.messages) if m[1] in kinds and after <= m[0] < before]

    def wait_for(self, predicate, timeout=10):
        """The first message that meets `predicate` within `timeout` seconds, or None."""
        deadline = time.monotonic() + timeout
        while not (found := [m for m in list(self.messages) if predicate(m)]) and time.monotonic() < deadline:
            time.sleep(0.005)
        return found[0] if found else None

    def send(self, code):
        self.proc.stdin.write(command_record(code))
        self.proc.stdin.flush()

    def thread_cpu(self, name):
        """CPU seconds used so far by this process's threads called `name`."""
        total, task = 0, "/proc/%d/task/" % self.proc.pid
        for tid in os.listdir(task):
            with contextlib.suppress(OSError), open(task + tid + "/comm") as comm, open(task + tid + "/stat") as stat:
                if comm.read().strip() == name:
                    total += sum(int(v) for v in stat.read().rsplit(")", 1)[1].split()[11:13])  # utime, stime
        return total / os.sysconf("SC_CLK_TCK")

    def usage(self):
        """(CPU seconds so far, resident kilobytes) of the helper, from /proc."""
        return process_usage(self.proc.pid)

    def close(self, timeout=10):
        """Closes stdin: (status or None if it had to be killed, seconds it took, stderr lines)."""
        closed = time.monotonic()
        with contextlib.suppress(OSError):
            self.proc.stdin.close()
        status = wait_status(self.proc, timeout)
        took = time.monotonic() - closed
        self.reader.join(5)
        self.proc.stdout.close()
        with self.err:
            self.err.seek(0)
            return status, took, self.err.read().decode(errors="replace").splitlines()


def message(kind, payload):
    return struct.pack("<I", len(payload) + 1) + bytes((kind,)) + payload


TARGET = None


def main():
    global TARGET
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--platform", choices=["linux", "win"], required=True)
    options, rest = parser.parse_known_args()
    TARGET = Target(options.exe, options.platform)
    try:
        program = unittest.main(module="__main__", argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    finally:
        TARGET.close()
    sys.exit(0 if program.result.wasSuccessful() else 1)
