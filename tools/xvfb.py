#!/usr/bin/env python3
"""A private X server for tests and tools: Xvfb on a display number it picks
itself (-displayfd), no TCP, not reset when its last client leaves.

As a module: `Xvfb("1920x1080x24")` gives `.display` (":N") and `.stop()`.
As a program it starts one server, prints its display as the first line of
standard output and stops the server when standard input closes:

  python3 tools/xvfb.py 1920x1080x24 [extra Xvfb arguments, e.g. -extension MIT-SHM]
"""
import os
import select
import subprocess
import sys
import time


class Xvfb:
    def __init__(self, size="1920x1080x24", extra=()):
        read_fd, write_fd = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", size, "-nolisten", "tcp", "-noreset", *extra],
            pass_fds=(write_fd,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        number = b""
        deadline = time.monotonic() + 20
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            if select.select([read_fd], [], [], 0.5)[0]:
                chunk = os.read(read_fd, 16)
                if not chunk:
                    break
                number += chunk
        os.close(read_fd)
        if not number.strip():
            self.stop()
            raise RuntimeError("Xvfb did not report a display")
        self.display = ":" + number.decode().strip()

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None


if __name__ == "__main__":
    try:
        server = Xvfb(sys.argv[1] if len(sys.argv) > 1 else "1920x1080x24", sys.argv[2:])
    except RuntimeError as error:
        print(error, file=sys.stderr)
        sys.exit(1)
    print(server.display, flush=True)
    sys.stdin.read()
    server.stop()
