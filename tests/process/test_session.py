"""The helper as its host sees it, with nothing to capture or encode with:
command lines, the first message, and the ways the host ends a session.

The Linux build runs without an X display and the Windows build under Wine
has no H.264 encoder, so a session ends right after its handshake. To watch what the host's actions do, most tests give the helper a
stdout pipe that is already full: the session then blocks on its handshake and
only the stdin reader and the parent watchdog can end it.
"""

import json
import os
import struct
import threading
import time
import unittest

import harness

FAULT_LINE = "[capture] stdin: кривая длина команды 1025 — команды отключены\n".encode()

# A few refusals of each mode, to show a refused line ends silently; the
# grammar itself is in the unit tests.
CAPTURE = ["--source", "s:0", "--parent", "4242"]
REFUSED = [[], ["--watch"], ["--source", "s:0"], ["--watch", "1280", "720", "640"], ["--source", "w:abc", "--parent", "1"],
           CAPTURE + ["--fps", "61"], CAPTURE + ["--width", "1279"], CAPTURE + ["--verbose", "1"]]


def handshake(width=1280, height=720, low=None):
    text = '{"codec":"avc1.64002a","height":%d,' % height
    if low:
        text += '"low":{"codec":"avc1.64002a","height":%d,"width":%d},' % (low[1], low[0])
    return (text + '"port":0,"width":%d}' % width).encode()


NO_ENCODER = '{"error":"H.264 энкодер (MFT) не найден в системе"}'.encode()


def session_end(window):
    """How a session with nothing to capture or encode with ends here: the
    status, the messages after the handshake and the diagnostic lines, each
    given whole or, where it names a platform error, by its beginning."""
    if harness.TARGET.platform == "linux":  # no display: no backend opens
        why = "окно не существует" if window else "X11: дисплей не задан (DISPLAY пуст)"
        if window:
            return 3, b"", ["[capture] WGC недоступен (%s) — PrintWindow-фолбэк" % why, "[capture] окно: " + why]
        return 3, b"", ["[capture] дубликация недоступна (%s) — GDI-фолбэк" % why, "[capture] GDI тоже: " + why]
    # Wine: no duplication and no WGC, but GDI opens; no H.264 encoder either.
    if window:  # w:-5 is no window; the capture thread reports its own failure first
        return 3, b"", ["[capture] wgc: поток: ", "[capture] WGC недоступен (", "[capture] окно: окно не существует"]
    return 2, harness.message(1, NO_ENCODER), ["[capture] дубликация недоступна (DuplicateOutput: ",
                                                "[capture] энкодер: H.264 энкодер (MFT) не найден в системе"]


def without_audio_error(out):
    """The output without the one audio_err that the audio thread may send
    before the session ends (there is no sound server or process loopback here)."""
    at = 0
    while at < len(out):
        length, kind = struct.unpack_from("<IB", out, at)
        payload = out[at + 5:at + 4 + length]
        if kind == 1 and payload.startswith(b'{"audio_err":'):
            assert json.loads(payload)["audio_err"].startswith("Звук приложений недоступен: "), payload
            return out[:at] + out[at + 4 + length:]
        at += 4 + length
    return out


class BlockedSession:
    """A capture session whose stdout is full from the start."""

    def __init__(self, parent=None):
        target = harness.TARGET
        parent = target.live_parent() if parent is None else parent
        self.read_fd, write_fd, self.filled = harness.blocked_stdout()
        self.proc = target.spawn(["--source", "s:0", "--parent", str(parent)], stdout=write_fd)
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
    @classmethod
    def setUpClass(cls):
        cls.target = harness.TARGET
        if cls.target.platform == "linux":
            cls.target.env.pop("DISPLAY", None)

    def test_refused_command_lines_are_silent(self):
        # Wine hands arguments that are not UTF-8 to the program as U+FFFD; a lone
        # UTF-16 surrogate can only come from a Windows parent (see the Windows unit tests).
        not_utf8 = [[b"--source", v, b"--parent", b"4242"] for v in (b"\xed\xa0\x80", b"s:0\xed\xb0\x80", b"\xff")]
        for args in REFUSED + not_utf8:
            with self.subTest(args=args):
                self.assertEqual(self.target.run(args), (64, b"", b""))

    def test_accepted_capture_command_lines(self):
        cases = [
            (["--source", "s:0"], handshake(), False),
            (["--source", "w:-5"], handshake(), True),
            (["--source", "w:+12345", "--source", "s:0", "--height", "1080", "--width", "1920"], handshake(1920, 1080),
             False),
            (["--source", "s:0", "--low", " 640 x 360 ", "--low-fps", "60", "--audio", "1"],
             handshake(low=(640, 360)), False),
            (["--source", "s:0", "--low", "1280x720"], handshake(), False),  # not smaller: no low layer
        ]
        self.assertEqual(len(handshake()), 58)
        for args, want_json, window in cases:
            with self.subTest(args=args):
                parent = ["--parent", str(self.target.live_parent())]
                status, out, err = self.target.run_holding_stdin(parent + args)
                want_status, want_after, want_lines = session_end(window)
                if "--audio" in args:
                    out = without_audio_error(out)
                self.assertEqual((status, out), (want_status, harness.message(1, want_json) + want_after))
                lines = err.decode().splitlines()
                self.assertEqual(len(lines), len(want_lines), lines)
                for line, want in zip(lines, want_lines):
                    self.assertTrue(line.startswith(want), (line, want))

    def test_closing_stdin_ends_with_status_0(self):
        # Nothing, whole commands, and records cut short (which count as the end of input).
        for commands in (b"", harness.command(b"\x0a") + harness.command(b"\x0b\xff") + b"\x00\x00\x00\x00",
                         b"\x01\x00\x00", b"\x05\x00\x00\x00\x0a\x0a"):
            with self.subTest(commands=commands):
                session = BlockedSession()
                session.proc.stdin.write(commands)
                session.proc.stdin.flush()
                self.assertTrue(session.alive_after(0.3), "session ended by itself")
                session.proc.stdin.close()
                self.assertEqual(session.finish(), (0, b"", b""))

    def test_overlong_command_disables_commands_until_stdin_closes(self):
        session = BlockedSession()
        longest = harness.command(b"\x0a" + b"\x00" * 1023)
        # More than a pipe holds: the reader has to go on draining for this to finish.
        junk = harness.command(b"\x0a") * 40000
        writer = threading.Thread(target=lambda: (session.proc.stdin.write(longest + b"\x01\x04\x00\x00" + junk),
                                                  session.proc.stdin.flush()))
        writer.start()
        writer.join(20)
        self.assertFalse(writer.is_alive(), "input after the fault was not drained")
        self.assertTrue(session.alive_after(0.2), "the fault must not end the session")
        session.proc.stdin.close()
        self.assertEqual(session.finish(), (0, b"", FAULT_LINE))

    def test_parent_end_ends_the_session_within_a_second(self):
        host = self.target.new_host()
        try:
            session = BlockedSession(parent=host.pid)
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
                session = BlockedSession(parent=pid)
                self.assertEqual(harness.wait_status(session.proc, 10), 0)
                session.proc.stdin.close()
                self.assertEqual(session.finish(), (0, b"", b""))


if __name__ == "__main__":
    harness.main()
