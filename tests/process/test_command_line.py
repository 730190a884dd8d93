"""Command lines: refusals are silent with status 64; accepted ones start a session."""

import json
import unittest

import harness

# Why no backend opens: the Windows build has none yet; the Linux one is run
# without an X display.
def no_backend_reason():
    return "нет в этой сборке" if harness.TARGET.platform == "win" else "X11: дисплей не задан (DISPLAY пуст)"


def screen_lines():
    why = no_backend_reason()
    return ["[capture] дубликация недоступна (%s) — GDI-фолбэк" % why, "[capture] GDI тоже: %s" % why]


def window_lines():
    # The only window case is w:-5, which no X server has.
    why = no_backend_reason() if harness.TARGET.platform == "win" else "окно не существует"
    return ["[capture] WGC недоступен (%s) — PrintWindow-фолбэк" % why, "[capture] окно: %s" % why]


REFUSED = [
    [],
    ["--watch"],
    ["--watch", "1280"],
    ["--watch", "1280", "720", "640"],
    ["--watch", "abc", "720"],
    ["--watch", "1280", "720", "640", "1081"],
    ["--watch", "4294967296", "720"],
    ["--source", "s:1", "--parent", "4242"],
    ["--source", "w:0", "--parent", "4242"],
    ["--source", "w:abc", "--parent", "4242"],
    ["--source", "s:0", "--parent", "0"],
    ["--source", "s:0"],
    ["--source", "s:0", "--parent", "4242", "--fps", "0"],
    ["--source", "s:0", "--parent", "4242", "--fps", "61"],
    ["--source", "s:0", "--parent", "4242", "--fps", "30.0"],
    ["--source", "s:0", "--parent", "4242", "--fps", "-30"],
    ["--source", "s:0", "--parent", "4242", "--fps", "+"],
    ["--source", "s:0", "--parent", "4242", "--fps", ""],
    ["--source", "s:0", "--parent", "4242", "--fps", " 30"],
    ["--source", "s:0", "--parent", "4242", "--width", "1279"],
    ["--source", "s:0", "--parent", "4242", "--width", "1922"],
    ["--source", "s:0", "--parent", "4242", "--height", "89"],
    ["--source", "s:0", "--parent", "4242", "--audio", "0"],
    ["--source", "s:0", "--parent", "4242", "--audio", "true"],
    ["--source", "s:0", "--parent", "4242", "--low", "640X360"],
    ["--source", "s:0", "--parent", "4242", "--fps"],
    ["--source", "s:0", "--parent", "4242", "--verbose", "1"],
    ["--source", "s:0", "--parent", "4242", "--watch", "1280"],
    ["--source", "s:0", "--parent", "4242", "--fps", "20", "--fps", "0"],
]


def handshake(width=1280, height=720, low=None):
    text = '{"codec":"avc1.64002a","height":%d,' % height
    if low:
        text += '"low":{"codec":"avc1.64002a","height":%d,"width":%d},' % (low[1], low[0])
    return text + '"port":0,"width":%d}' % width


class CommandLineTest(unittest.TestCase):
    target = None

    @classmethod
    def setUpClass(cls):
        cls.target = harness.TARGET
        if cls.target.platform == "linux":
            cls.target.env.pop("DISPLAY", None)

    def test_refused_command_lines_are_silent(self):
        for args in REFUSED:
            with self.subTest(args=args):
                status, out, err = self.target.run(args)
                self.assertEqual((status, out, err), (64, b"", b""))

    def test_watch_size_is_checked_by_the_session(self):
        for args in (["--watch", "1281", "720"], ["--watch", "1280", "1082"], ["--watch", "0", "720"]):
            with self.subTest(args=args):
                self.assertEqual(self.target.run(args), (1, b"", b""))

    def test_watch_command_lines_are_accepted(self):
        # The status depends on the watch session; a refusal would be 64.
        for args in (["--watch", "1280", "720"], ["--watch", "1280", "720", "640", "360"],
                     ["--watch", "+1280", "720", "2", "1080"]):
            with self.subTest(args=args):
                status, out, err = self.target.run(args)
                self.assertNotEqual(status, 64)
                self.assertEqual((out, err), (b"", b""))

    def run_session(self, args):
        """A capture session with stdin held open and a live parent, so it ends
        only because no backend opens (status 3)."""
        return self.target.run_holding_stdin(["--parent", str(self.target.live_parent())] + args)

    def test_accepted_capture_command_lines(self):
        cases = [
            (["--source", "s:0"], handshake(), screen_lines()),
            (["--source", "w:-5"], handshake(), window_lines()),
            (["--source", "w:+12345", "--source", "s:0"], handshake(), screen_lines()),
            (["--source", "s:0", "--fps", "+30"], handshake(), screen_lines()),
            (["--source", "s:0", "--fps", "10", "--fps", "20"], handshake(), screen_lines()),
            (["--source", "s:0", "--height", "1080", "--width", "1920"], handshake(1920, 1080), screen_lines()),
            (["--source", "s:0", "--audio", "1"], handshake(), screen_lines()),
            (["--source", "s:0", "--low", "640x360"], handshake(low=(640, 360)), screen_lines()),
            (["--source", "s:0", "--low", " 640 x 360 "], handshake(low=(640, 360)), screen_lines()),
            (["--source", "s:0", "--low", "1280x720"], handshake(), screen_lines()),
            (["--source", "s:0", "--low", "640x360", "--low-fps", "60", "--fps", "15"],
             handshake(low=(640, 360)), screen_lines()),
        ]
        for args, want_json, want_lines in cases:
            with self.subTest(args=args):
                status, out, err = self.run_session(args)
                self.assertEqual(status, 3)
                messages = harness.parse_messages(out)
                self.assertEqual(messages, [(1, want_json.encode())])
                json.loads(messages[0][1])
                self.assertEqual(err.decode().splitlines(), want_lines)

    def test_argument_that_is_not_utf8(self):
        # Wine hands these to the program as U+FFFD; a lone UTF-16 surrogate
        # can only come from a Windows parent (see the Windows unit tests).
        for value in (b"\xed\xa0\x80", b"s:0\xed\xb0\x80", b"\xff"):
            with self.subTest(value=value):
                status, out, err = self.target.run([b"--source", value, b"--parent", b"4242"])
                self.assertEqual((status, out, err), (64, b"", b""))


if __name__ == "__main__":
    harness.main()
