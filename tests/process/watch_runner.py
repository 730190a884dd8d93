"""Runs the program natively or, for the Windows build, under Wine with a
private prefix and its own Xvfb display, both started and stopped here."""
import os
import shutil
import subprocess
import tempfile

WINE = "/usr/lib/wine/wine64"


class Runner:
    def __init__(self, exe, platform):
        self.exe = os.path.abspath(exe)
        self.platform = platform
        self.env = dict(os.environ)
        self.xvfb = None
        self.prefix = None

    def __enter__(self):
        if self.platform == "win":
            self.prefix = tempfile.mkdtemp(prefix="nimbra-wine-")
            read_fd, write_fd = os.pipe()
            self.xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "640x480x24", "-nolisten", "tcp", "-noreset"],
                pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.close(write_fd)
            with os.fdopen(read_fd) as f:
                display = f.readline().strip()
            self.env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all", DISPLAY=":" + display)
            subprocess.run([WINE, "wineboot", "-i"], env=self.env, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return self

    def __exit__(self, *exc):
        if self.prefix:
            subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            shutil.rmtree(self.prefix, ignore_errors=True)
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait()

    def command(self, args):
        if self.platform == "win":
            return [WINE, self.exe, *args]
        return [self.exe, *args]

    def run(self, args, stdin=b"", timeout=300):
        """Runs to the end; returns (status, stdout, stderr)."""
        p = subprocess.run(self.command(args), input=stdin, capture_output=True, env=self.env, timeout=timeout)
        return p.returncode, p.stdout, p.stderr

    def start(self, args):
        return subprocess.Popen(self.command(args), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=self.env)
