"""The helper as its host sees it with nothing to capture or encode with (Linux without a display, Wine
without an H.264 encoder): command lines, the first message, and the ways a host ends a session. A full
stdout pipe blocks the session on its handshake, so that only stdin and the parent watchdog can end it."""

import os, time, unittest

import harness


def handshake(width=1280, height=720, low=""):
    return ('{"codec":"avc1.64002a","height":%d,%s"port":0,"width":%d}' % (height, low, width)).encode()


def session_end(window):
    """Status, messages after the handshake and the beginnings of the diagnostic lines."""
    if harness.TARGET.platform == "linux":  # no display: no backend opens
        why = "окно не существует" if window else "X11: дисплей не задан (DISPLAY пуст)"
        if window:
            return 3, b"", ["[capture] WGC недоступен (%s) — PrintWindow-фолбэк" % why, "[capture] окно: " + why]
        return 3, b"", ["[capture] дубликация недоступна (%s) — GDI-фолбэк" % why, "[capture] GDI тоже: " + why]
    if window:  # w:-5 is no window; the capture thread reports its own failure first
        return 3, b"", ["[capture] wgc: поток: ", "[capture] WGC недоступен (", "[capture] окно: окно не существует"]
    # Wine: GDI opens, but there is no H.264 encoder.
    return 2, harness.message(1, '{"error":"H.264 энкодер (MFT) не найден в системе"}'.encode()), [
        "[capture] дубликация недоступна (DuplicateOutput: ", "[capture] энкодер: H.264 энкодер (MFT) не найден в системе"]


class BlockedSession:
    def __init__(self, parent=None):
        self.read_fd, write_fd, self.filled = harness.blocked_stdout()
        parent = harness.TARGET.live_parent() if parent is None else parent
        self.proc = harness.TARGET.spawn(["--source", "s:0", "--parent", str(parent)], stdout=write_fd)
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
        # The grammar is the unit tests'; arguments that are not UTF-8 are refused before it.
        for args in ([], ["--source", "s:0"], [b"--source", b"s:0\xed\xb0\x80", b"--parent", b"4242"],
                     [b"--source", b"\xff", b"--parent", b"4242"]):
            with self.subTest(args=args):
                self.assertEqual(self.target.run(args), (64, b"", b""))

    def test_accepted_capture_command_lines(self):
        cases = [
            (["--source", "s:0"], handshake(), False),
            (["--source", "w:-5"], handshake(), True),
            (["--source", "w:+12345", "--source", "s:0", "--height", "1080", "--width", "1920", "--low", " 640 x 360 ",
              "--low-fps", "60"], handshake(1920, 1080, '"low":{"codec":"avc1.64002a","height":360,"width":640},'),
             False),
        ]
        for args, want_json, window in cases:
            with self.subTest(args=args):
                status, out, err = self.target.run(["--parent", str(self.target.live_parent())] + args, None, 180)
                want_status, want_after, want_lines = session_end(window)
                self.assertEqual((status, out), (want_status, harness.message(1, want_json) + want_after))
                lines = err.decode().splitlines()
                self.assertEqual(len(lines), len(want_lines), lines)
                for line, want in zip(lines, want_lines):
                    self.assertTrue(line.startswith(want), (line, want))

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
