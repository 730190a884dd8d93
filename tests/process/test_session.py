"""A capture session's first message and the ways its host ends it.

With no capture backend in the build a session ends with status 3 right after
its handshake. To watch what the host's actions do, most tests give the helper
a stdout pipe that is already full: the session then blocks on its handshake
and only the stdin reader and the parent watchdog can end it.
"""

import os
import subprocess
import threading
import time
import unittest

import harness

DEFAULT_HANDSHAKE = b'{"codec":"avc1.64002a","height":720,"port":0,"width":1280}'
FAULT_LINE = "[capture] stdin: кривая длина команды 1025 — команды отключены\n".encode()


class BlockedSession:
    """A capture session whose stdout is full from the start."""

    def __init__(self, target, args):
        self.read_fd, write_fd, self.filled = harness.blocked_stdout()
        self.proc = target.spawn(args, stdout=write_fd)
        os.close(write_fd)

    def alive_after(self, seconds):
        time.sleep(seconds)
        return self.proc.poll() is None

    def finish(self, timeout=20):
        """Status, the bytes written after the filler, and stderr."""
        status = harness.wait_status(self.proc, timeout)
        out = harness.read_all(self.read_fd)
        os.close(self.read_fd)
        err = self.proc.stderr.read()
        for stream in (self.proc.stdin, self.proc.stderr):
            if not stream.closed:
                stream.close()
        return status, out[self.filled:], err


class SessionTest(unittest.TestCase):
    target = None

    @classmethod
    def setUpClass(cls):
        cls.target = harness.TARGET
        if cls.target.platform == "linux":
            cls.target.env.pop("DISPLAY", None)  # no screen to open: the session ends with status 3

    def capture_args(self, parent=None, extra=()):
        parent = self.target.live_parent() if parent is None else parent
        return ["--source", "s:0", "--parent", str(parent)] + list(extra)

    def test_default_handshake_bytes(self):
        status, out, _ = self.target.run_holding_stdin(self.capture_args())
        self.assertEqual(status, 3)
        self.assertEqual(out, bytes([0x3B, 0, 0, 0, 0x01]) + DEFAULT_HANDSHAKE)
        self.assertEqual(len(DEFAULT_HANDSHAKE), 58)

    def test_low_layer_handshake(self):
        status, out, _ = self.target.run_holding_stdin(self.capture_args(extra=["--low", "640x360"]))
        self.assertEqual(status, 3)
        self.assertEqual(harness.parse_messages(out), [(1, b'{"codec":"avc1.64002a","height":720,"low":'
                                                           b'{"codec":"avc1.64002a","height":360,"width":640},'
                                                           b'"port":0,"width":1280}')])

    def test_closing_stdin_ends_with_status_0(self):
        for commands in (b"", harness.command(b"\x0a") + harness.command(b"\x0b\xff") + b"\x00\x00\x00\x00"):
            with self.subTest(commands=commands):
                session = BlockedSession(self.target, self.capture_args())
                session.proc.stdin.write(commands)
                session.proc.stdin.flush()
                self.assertTrue(session.alive_after(0.3), "session ended by itself")
                session.proc.stdin.close()
                self.assertEqual(session.finish(), (0, b"", b""))

    def test_closing_stdin_before_anything_ends_with_status_0(self):
        session = BlockedSession(self.target, self.capture_args())
        session.proc.stdin.close()
        self.assertEqual(session.finish(), (0, b"", b""))

    def test_truncated_record_counts_as_end_of_input(self):
        for tail in (b"\x01\x00\x00", b"\x05\x00\x00\x00\x0a\x0a"):
            with self.subTest(tail=tail):
                session = BlockedSession(self.target, self.capture_args())
                session.proc.stdin.write(tail)
                session.proc.stdin.close()
                self.assertEqual(session.finish(), (0, b"", b""))

    def test_overlong_command_disables_commands_until_stdin_closes(self):
        session = BlockedSession(self.target, self.capture_args())
        longest = harness.command(b"\x0a" + b"\x00" * 1023)
        # More than a pipe holds: the reader has to go on draining for this to finish.
        junk = harness.command(b"\x0a") * 40000
        writer = threading.Thread(target=lambda: (session.proc.stdin.write(longest + b"\x01\x04\x00\x00" + junk),
                                                  session.proc.stdin.flush()))
        writer.start()
        self.assertEqual(harness.read_line(session.proc.stderr, 20), FAULT_LINE)
        writer.join(20)
        self.assertFalse(writer.is_alive(), "input after the fault was not drained")
        self.assertTrue(session.alive_after(0.2), "the fault must not end the session")
        session.proc.stdin.close()
        self.assertEqual(session.finish(), (0, b"", b""))

    def new_host(self):
        return harness.WindowsHost(self.target) if self.target.platform == "win" else harness.UnixHost()

    def test_parent_end_ends_the_session_within_a_second(self):
        host = self.new_host()
        try:
            session = BlockedSession(self.target, self.capture_args(parent=host.pid))
            self.assertTrue(session.alive_after(0.5), "session ended while its parent lived")
        finally:
            gone = host.stop()
        status = harness.wait_status(session.proc, 10)
        took = time.monotonic() - gone
        session.proc.stdin.close()
        self.assertEqual(session.finish(), (0, b"", b""))
        self.assertEqual(status, 0)
        self.assertLess(took, 1.0)

    def test_parent_that_cannot_be_opened_ends_the_session(self):
        for pid in (0xFFFFFFF0, 0x7FFFFFF0):
            with self.subTest(pid=pid):
                session = BlockedSession(self.target, self.capture_args(parent=pid))
                status = harness.wait_status(session.proc, 10)
                session.proc.stdin.close()
                self.assertEqual(status, 0)
                self.assertEqual(session.finish(), (0, b"", b""))


if __name__ == "__main__":
    harness.main()
