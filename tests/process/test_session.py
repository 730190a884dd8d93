"""The helper with nothing to capture or encode with (Linux without a display, Wine without an H.264 encoder):
command lines, the first message, and the ways a host ends a session blocked on a full stdout pipe."""

import fcntl, os, subprocess, time, unittest

import harness


class BlockedSession:
    """A session on a stdout pipe already full, so that it blocks on its first message."""

    def __init__(self, parent=None):
        self.read_fd, write_fd = os.pipe()
        fcntl.fcntl(write_fd, fcntl.F_SETPIPE_SZ, 4096)  # one page, the least a pipe holds
        self.filled = os.write(write_fd, b"\xAA" * 4096)
        parent = harness.TARGET.live_parent() if parent is None else parent
        self.proc = subprocess.Popen(harness.TARGET.command(["--source", "s:0", "--parent", str(parent)]),
                                     env=harness.TARGET.env, stdin=subprocess.PIPE, stdout=write_fd,
                                     stderr=subprocess.PIPE)
        os.close(write_fd)

    def finish(self, timeout=20):
        """Closes stdin: status, the bytes written after the filler, and stderr."""
        self.proc.stdin.close()
        status = harness.wait_status(self.proc, timeout)
        with os.fdopen(self.read_fd, "rb") as out, self.proc.stderr:
            return status, out.read()[self.filled:], self.proc.stderr.read()


class SessionTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.target = harness.TARGET
        if cls.target.platform == "linux":
            cls.target.env.pop("DISPLAY", None)

    def test_refused_command_lines_are_silent(self):
        # The grammar is the unit tests'; here the status and the silence, for bytes that are not UTF-8 too.
        for args in ([], ["--source", "s:0"], [b"--source", b"s:0\xed\xb0\x80", b"--parent", b"4242"]):
            with self.subTest(args=args):
                self.assertEqual(self.target.run(args), (64, b"", b""))

    def test_accepted_capture_command_lines_then_no_source_or_no_encoder(self):
        # The fallback lines are the unit tests'; here the handshake, the status and what the platform says last.
        linux, no_encoder = self.target.platform == "linux", "H.264 энкодер (MFT) не найден в системе"
        cases = [  # arguments, the handshake's size and low layer, status, messages after it, the last line
            (["--source", "w:-5"], (720, "", 1280), 3, b"", "[capture] окно: окно не существует"),
            (["--source", "w:+12345", "--source", "s:0", "--height", "1080", "--width", "1920", "--low", " 640 x 360 ",
              "--low-fps", "60"], (1080, '"low":{"codec":"avc1.64002a","height":360,"width":640},', 1920),
             3 if linux else 2, b"" if linux else harness.message(1, ('{"error":"%s"}' % no_encoder).encode()),
             "[capture] GDI тоже: X11: дисплей не задан (DISPLAY пуст)" if linux else "[capture] энкодер: " + no_encoder),
        ]
        for args, size, status, after, last in cases:
            with self.subTest(args=args):
                got = self.target.run(["--parent", str(self.target.live_parent())] + args, None, 180)
                hello = ('{"codec":"avc1.64002a","height":%d,%s"port":0,"width":%d}' % size).encode()
                self.assertEqual((got[0], got[1], got[2].decode().splitlines()[-1:]),
                                 (status, harness.message(1, hello) + after, [last]))

    def test_closing_stdin_ends_with_status_0(self):
        session = BlockedSession()
        time.sleep(0.3)
        self.assertIsNone(session.proc.poll(), "session ended by itself")
        self.assertEqual(session.finish(), (0, b"", b""))

    def test_parent_end_ends_the_session_within_a_second(self):
        host = harness.Host(self.target)
        try:
            session = BlockedSession(parent=host.pid)
            time.sleep(0.5)
            self.assertIsNone(session.proc.poll(), "session ended while its parent lived")
        finally:
            gone = host.stop()
        status = harness.wait_status(session.proc, 10)
        self.assertLess(time.monotonic() - gone, 1.0)
        self.assertEqual((status, session.finish()), (0, (0, b"", b"")))

    def test_parent_that_cannot_be_opened_ends_the_session(self):
        for pid in (0xFFFFFFF0, 0x7FFFFFF0):
            with self.subTest(pid=pid):
                session = BlockedSession(parent=pid)
                self.assertEqual(harness.wait_status(session.proc, 10), 0)
                self.assertEqual(session.finish(), (0, b"", b""))


if __name__ == "__main__":
    harness.main()
