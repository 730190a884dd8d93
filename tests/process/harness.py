"""Runs the real helper, natively or under Wine: every test script takes `--exe PATH --platform linux|win`,
the rest goes to unittest. Wine uses WINEPREFIX and DISPLAY when both are set, else a private prefix and Xvfb."""

import argparse, atexit, contextlib, os, re, shutil, struct, subprocess, sys, tempfile, threading, time, unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from xvfb import Xvfb  # noqa: E402,F401
from host_client import Helper, wait_status  # noqa: E402,F401
import x11_paint  # noqa: E402

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"


class Target:
    """How to start the helper: the command prefix and the environment."""

    def __init__(self, exe, platform):
        self.exe, self.platform, self.env, self._cleanup = os.path.abspath(exe), platform, dict(os.environ), []
        if platform == "win":
            self._prepare_wine()
            self._host = Host(self)  # first, so that the Wine services it brings up inherit no test's pipes
            self._cleanup.append(self._host.stop)
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
        self.env.update(DISPLAY=xvfb.display, WINEPREFIX=os.path.join(root, "prefix"))
        subprocess.run([WINE, "wineboot", "-i"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120, check=True)
        self._cleanup.append(lambda: subprocess.run([WINESERVER, "-k"], env=self.env,
                                                    stderr=subprocess.DEVNULL, timeout=30))

    def command(self, args):
        return ([WINE] if self.platform == "win" else []) + [self.exe] + list(args)

    def close(self):
        while self._cleanup:
            with contextlib.suppress(Exception):  # best effort
                self._cleanup.pop()()

    def run(self, args, stdin=b"", timeout=30, stdout=None):
        """Runs to the end: (status, stdout, stderr). `stdin` None holds stdin open, as a host would."""
        read_fd, write_fd = os.pipe()
        # Output into files: a Wine service the program brings up inherits its handles and would hold a pipe.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            try:
                how = {"stdin": read_fd} if stdin is None else {"input": stdin}
                proc = subprocess.run(self.command(args), env=self.env, stdout=stdout or out, stderr=err,
                                      timeout=timeout, **how)
            finally:
                os.close(read_fd)
                os.close(write_fd)
            out.seek(0)
            err.seek(0)
            return proc.returncode, out.read(), err.read()

    def live_parent(self):
        """A process id the helper may watch as its host, alive while the tests run."""
        return os.getpid() if self.platform == "linux" else self._host.pid

    def helper(self, test, args, display=None, env=None, parent=None):
        """A capture Helper on `display` watching `parent` (this process by default), killed after `test`."""
        env = {**self.env, **(env or {}), **({"DISPLAY": display} if display else {})}
        helper = Helper(self.command(list(args) + ["--parent", str(parent or self.live_parent())]), env)
        test.addCleanup(lambda: helper.proc.poll() is None and helper.proc.kill())
        return helper


def windows_pids(target, name):
    """Windows ids of the processes called `name`, from the debugger (WMI is slow to come up)."""
    with tempfile.TemporaryFile() as listing:  # a file, not a pipe: see Target.run
        subprocess.run([WINE, "winedbg", "--command", "info proc"], env=target.env, stdin=subprocess.DEVNULL,
                       stdout=listing, stderr=subprocess.DEVNULL, timeout=60)
        listing.seek(0)
        lines = listing.read().decode(errors="replace").splitlines()
    matches = (re.match(r"^[ =]([0-9a-fA-F]{8})\s+\d+\s+(?:\\_ )?'(.*)'\s*$", line) for line in lines)
    return {int(m.group(1), 16) for m in matches if m and m.group(2).lower() == name.lower()}


class Host:
    """A process playing the host: cmd.exe under Wine (alive until its stdin closes), else `sleep`."""

    def __init__(self, target):
        self.wine = target.platform == "win"
        before = windows_pids(target, "cmd.exe") if self.wine else set()
        # Output not on ctest's: a stray host would keep ctest waiting.
        self.proc = subprocess.Popen([WINE, "cmd.exe"] if self.wine else ["sleep", "600"], env=target.env,
                                     stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.pid, deadline = self.proc.pid, time.monotonic() + 60
        while self.wine and time.monotonic() < deadline:
            if len(new := windows_pids(target, "cmd.exe") - before) == 1:
                self.pid = new.pop()
                return
            time.sleep(0.2)
        if self.wine:
            self.stop()
            raise RuntimeError("the Windows host process did not show up")

    def stop(self):
        """Ends the host: the monotonic time it was gone (and reaped)."""
        self.proc.stdin.close()
        if not self.wine:
            self.proc.kill()
        wait_status(self.proc, 20)
        return time.monotonic()


def screen(test, bgra=None, size="1920x1080x24"):
    """A private X server for `test`, its screen painted with `bgra` if given: (Xvfb, Painter)."""
    xvfb = Xvfb(size)
    test.addCleanup(xvfb.stop)
    painter = x11_paint.Painter(xvfb.display)
    test.addCleanup(painter.close)
    if bgra:
        painter.put_bgra(painter.root, 0, 0, painter.width, painter.height, bgra)
    return xvfb, painter


def keep_a_box_moving(test, display, y, background):
    """A white box sliding along row `y` over `background` (4 bytes), so that frames keep changing."""
    done = threading.Event()

    def move():
        painter, x = x11_paint.Painter(display), 0
        while not done.wait(1 / 30):
            with contextlib.suppress(OSError, x11_paint.XError):  # the server may be gone
                painter.put_bgra(painter.root, 100 + x, y, 64, 64, background * 4096, sync=False)
                x = (x + 12) % (painter.width - 200)
                painter.put_bgra(painter.root, 100 + x, y, 64, 64, bytes((250, 250, 250, 255)) * 4096)
        painter.close()

    mover = threading.Thread(target=move)
    mover.start()
    test.addCleanup(mover.join, 5)
    test.addCleanup(done.set)


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
