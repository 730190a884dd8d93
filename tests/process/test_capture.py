"""Capture sessions of the real helper on a private Xvfb showing a known
screen: the encoded stream, previews, stdin commands and the ways a session
ends. Linux: under Wine the screen shows only what Wine windows paint and
there is no H.264 encoder; test_mf_encoder covers the Windows pipeline."""

import os
import subprocess
import threading
import time
import unittest

import harness
import x11_paint

BLOCK = 48  # the screen's colour blocks; 1920 -> 1280 scales each to 32 x 32 exactly


def block_colour(bx, by):
    """(B, G, R) of a block: every block differs from its neighbours."""
    return (bx * 37 + by * 11) % 256, (bx * 13 + by * 59) % 256, (bx * 71 ^ by * 29) % 256


def block_screen(w, h):
    rows = []
    for by in range(-(-h // BLOCK)):
        row = b"".join(bytes(block_colour(bx, by)) + b"\xff" for bx in range(w // BLOCK) for _ in range(BLOCK))
        rows.append(row * BLOCK)
    return b"".join(rows)[:w * h * 4]


def luma(b, g, r):
    return ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16


def session(test, display, args, parent=None, extra_env=None):
    helper = harness.Helper(harness.TARGET.command(list(args) + ["--parent", str(parent or os.getpid())]),
                            dict(harness.TARGET.env, DISPLAY=display, **(extra_env or {})))
    test.addCleanup(lambda: helper.proc.poll() is None and helper.proc.kill())
    return helper


def kinds(helper, *wanted, since=0.0):
    return [m[1] for m in helper.of_kind(wanted, since)]


def first(helper, kind, timeout=10, after=0.0):
    """The first message of `kind` that came after `after`, or None."""
    return helper.wait_for(lambda m: m[1] == kind and m[0] > after, timeout)


class CaptureTest(unittest.TestCase):
    def setUp(self):
        if harness.TARGET.platform != "linux":
            self.skipTest("Wine has no H.264 encoder: see test_mf_encoder")
        self.xvfb = harness.Xvfb("1920x1080x24")
        self.addCleanup(self.xvfb.stop)
        self.painter = x11_paint.Painter(self.xvfb.display)
        self.addCleanup(self.painter.close)
        self.painter.put_bgra(self.painter.root, 0, 0, 1920, 1080, block_screen(1920, 1080))

    def test_still_screen_session(self):
        s = session(self, self.xvfb.display, ["--source", "s:0"])
        self.assertIsNotNone(first(s, 7), "no preview")
        self.assertIsNotNone(first(s, 2), "no key frame")
        time.sleep(0.5)  # the screen is still: nothing more is encoded
        asked = time.monotonic()
        s.send(10)
        again = first(s, 2, 3, after=asked)
        self.assertIsNotNone(again, "no key frame after command 10")
        self.assertLess(again[0] - asked, 1.0)
        status, took, lines = s.close(5)
        self.assertEqual(status, 0)
        self.assertLess(took, 1.0)
        self.assertEqual([l for l in lines if not l.startswith("[capture] ")], [])
        self.assertEqual(s.messages[0][1:], (1, b'{"codec":"avc1.64002a","height":720,"port":0,"width":1280}'))
        self.assertEqual([k for _, k, _ in s.messages if k in (2, 3)][0], 2)

        # The preview samples the scaled screen at every second pixel: the blocks' own colours.
        preview = next(p for _, k, p in s.messages if k == 7)
        expected = b"".join(bytes(block_colour(3 * x // BLOCK, 3 * y // BLOCK)) + b"\xff"
                            for y in range(360) for x in range(640))
        self.assertTrue(preview == expected, "preview differs from the screen's blocks")

        # The first decoded picture's luma against the blocks' luma, inside the blocks. The first
        # key frame of so busy a screen gets few bits: 26 dB tells the right picture from a wrong one.
        stream = b"".join(p for _, k, p in s.messages if k in (2, 3))
        y_plane = subprocess.run(["ffmpeg", "-v", "error", "-f", "h264", "-i", "-", "-frames:v", "1", "-f", "rawvideo",
                                  "-pix_fmt", "gray", "-"], input=stream, capture_output=True, timeout=60,
                                 check=True).stdout
        self.assertEqual(len(y_plane), 1280 * 720)
        inside = [(x, y) for y in range(4, 696, 32) for x in range(4, 1280, 32)]
        error = sum((y_plane[(y + dy) * 1280 + x + dx] - luma(*block_colour(x // 32, y // 32))) ** 2
                    for x, y in inside for dy in range(0, 24, 3) for dx in range(0, 24, 3))
        self.assertLess(error / (len(inside) * 64), 255 ** 2 / 10 ** 2.6, "luma PSNR under 26 dB")

    def test_low_layer_follows_commands_11_and_12(self):
        stop = threading.Event()
        self.addCleanup(stop.set)
        threading.Thread(target=self._move_a_box, args=(stop,), daemon=True).start()
        s = session(self, self.xvfb.display, ["--source", "s:0", "--low", "640x360", "--low-fps", "15"])
        self.assertIsNotNone(first(s, 3), "the main stream does not move")
        time.sleep(0.5)
        self.assertEqual(kinds(s, 5, 6), [])
        on = time.monotonic()
        s.send(11)
        self.assertIsNotNone(first(s, 6, 5, after=on))
        self.assertEqual(kinds(s, 5, 6, since=on)[0], 5)
        s.send(12)
        time.sleep(1.0)  # a low frame already being encoded may still come out
        off = time.monotonic()
        # The main stream goes on (at whatever speed this build manages) while the low one is silent.
        self.assertIsNotNone(first(s, 3, 15, after=off + 1.0))
        self.assertEqual(kinds(s, 5, 6, since=off), [])
        self.assertEqual(s.close(5)[0], 0)

    def _move_a_box(self, stop):
        """Keeps a small box moving so that frames keep changing."""
        painter = x11_paint.Painter(self.xvfb.display)
        box = bytes([0, 0, 255, 255]) * (32 * 32)
        i = 0
        while not stop.is_set():
            try:
                painter.put_bgra(painter.root, 100 + (i * 8) % 800, 100, 32, 32, box)
            except (OSError, x11_paint.XError):
                break  # the server is gone
            i += 1
            time.sleep(1 / 60)
        painter.close()

    def test_misbehaving_hosts_and_a_dying_display(self):
        stop = threading.Event()
        self.addCleanup(stop.set)
        threading.Thread(target=self._move_a_box, args=(stop,), daemon=True).start()
        # The display's death comes last: it takes this test's X server with it.
        for act in (self._host_closes_stdout, self._host_freezes, self._host_sends_garbage, self._display_dies):
            with self.subTest(act.__name__):
                s = session(self, self.xvfb.display, ["--source", "s:0", "--low", "640x360"])
                self.assertIsNotNone(first(s, 3, 30), "the main stream does not move")
                act(s)

    def _host_closes_stdout(self, s):
        cpu = s.usage()[0]
        time.sleep(2)
        reading = s.usage()[0] - cpu
        s.reading = "closed"
        s.reader.join(5)
        cpu = s.usage()[0]
        time.sleep(2)
        self.assertLess(s.usage()[0] - cpu, 1.5 * reading + 0.2, "spins once nobody reads")
        self.assertEqual(s.close()[0], 0)

    def _host_freezes(self, s):
        with open(f"/proc/{s.proc.pid}/maps") as maps:  # AddressSanitizer keeps freed memory for a while
            limit = 65536 if "libasan" in maps.read() else 8192
        s.reading = "held"
        time.sleep(1)  # time to fill the pipe
        rss = s.usage()[1]
        time.sleep(6)
        grown = s.usage()[1] - rss
        s.reading = "on"
        self.assertIsNotNone(first(s, 3, 30, after=time.monotonic() + 1), "no main chunks after the freeze")
        self.assertEqual(s.close()[0], 0)
        self.assertLess(grown, limit, "kilobytes grown while frozen: frames are being queued")
        stream = b"".join(p for _, k, p in s.messages if k in (2, 3))
        decoded = subprocess.run(["ffmpeg", "-v", "error", "-f", "h264", "-i", "-", "-f", "null", "-"], input=stream,
                                 capture_output=True, timeout=60)
        self.assertEqual((decoded.returncode, decoded.stderr), (0, b""))

    def _host_sends_garbage(self, s):
        s.proc.stdin.write(b"\xff\xff\xff\xffgarbage")
        s.send(11)  # ignored from now on
        sent = time.monotonic()
        self.assertIsNotNone(first(s, 3, 30, after=sent + 1), "capture stopped")
        self.assertEqual(kinds(s, 5, 6), [])
        status, _, lines = s.close()
        self.assertEqual((status, [l for l in lines if "stdin" in l]),
                         (0, ["[capture] stdin: кривая длина команды 4294967295 — команды отключены"]))

    def _display_dies(self, s):
        self.xvfb.stop()
        status = harness.wait_status(s.proc, 40)  # by itself: closing stdin would end it too
        lines = s.close()[2]
        self.assertEqual((status, lines[-40:]),
                         (0, ["[capture] grab (%d): X11: соединение с дисплеем потеряно" % n for n in range(1, 41)]))

    def test_a_destroyed_window_ends_the_session_with_status_0(self):
        window = self.painter.create_window(100, 100, 640, 480, 0x336699)
        s = session(self, self.xvfb.display, ["--source", "w:%d" % window])
        self.assertIsNotNone(first(s, 2))
        destroyed = time.monotonic()
        self.painter.destroy(window)
        self.assertEqual(harness.wait_status(s.proc, 5), 0)
        self.assertLess(time.monotonic() - destroyed, 1.0)


if __name__ == "__main__":
    harness.main()
