"""Capture sessions of the real helper on a private Xvfb showing a known
image: handshake, the encoded stream, previews, stdin commands and every way
a session ends. Linux only (the Windows backends come later)."""

import json
import math
import os
import select
import subprocess
import threading
import time
import unittest

import harness
import screen_model
import x11_paint

DEFAULT_HANDSHAKE = b'{"codec":"avc1.64002a","height":720,"port":0,"width":1280}'


class Session:
    """One running helper; a thread gathers its messages with arrival times."""

    def __init__(self, test, display, args, parent=None):
        env = dict(harness.TARGET.env, DISPLAY=display)
        parent = parent if parent is not None else os.getpid()
        self.proc = harness.TARGET.spawn(list(args) + ["--parent", str(parent)], env=env)
        test.addCleanup(lambda: self.proc.poll() is None and self.proc.kill())
        self.raw = bytearray()
        self.messages = []  # (arrival time, kind, payload)
        self.stderr = bytearray()
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        out, err = self.proc.stdout.fileno(), self.proc.stderr.fileno()
        open_fds = {out, err}
        while open_fds:
            for fd in select.select(list(open_fds), [], [], 0.5)[0]:
                chunk = os.read(fd, 1 << 16)
                if not chunk:
                    open_fds.discard(fd)
                elif fd == err:
                    self.stderr += chunk
                else:
                    now = time.monotonic()
                    with self.lock:
                        self.raw += chunk
                        while len(self.raw) >= 5 and len(self.raw) >= 4 + int.from_bytes(self.raw[0:4], "little"):
                            length = int.from_bytes(self.raw[0:4], "little")
                            self.messages.append((now, self.raw[4], bytes(self.raw[5:4 + length])))
                            del self.raw[:4 + length]

    def wait_for(self, kind, timeout=10, after=0.0):
        """The first message (time, kind, payload) of `kind` that came after `after`, or None."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self.lock:
                for m in self.messages:
                    if m[1] == kind and m[0] > after:
                        return m
            time.sleep(0.02)
        return None

    def kinds(self, since=0.0):
        with self.lock:
            return [k for t, k, _ in self.messages if t >= since]

    def send(self, code):
        self.proc.stdin.write(harness.command(bytes([code])))
        self.proc.stdin.flush()

    def close(self, timeout=5):
        """Closes stdin and returns (status, seconds it took to end)."""
        closed = time.monotonic()
        self.proc.stdin.close()
        status = harness.wait_status(self.proc, timeout)
        self.reader.join(5)
        return status, time.monotonic() - closed

    def foreign_stderr_lines(self):
        return [l for l in bytes(self.stderr).decode("utf-8").splitlines() if not l.startswith("[capture] ")]


class Screen:
    """A private X server showing screen_model's desktop image, whose edges do
    not line up with the 3:2 scale, so the preview checks real area weights."""

    def __init__(self, test):
        if harness.TARGET.platform != "linux":
            raise unittest.SkipTest("the Windows capture backends come later")
        self.xvfb = harness.Xvfb("1920x1080x24")
        test.addCleanup(self.xvfb.stop)
        self.painter = x11_paint.Painter(self.xvfb.display)
        test.addCleanup(self.painter.close)
        image = screen_model.desktop_image(1920, 1080)
        self.painter.put_bgra(self.painter.root, 0, 0, 1920, 1080, image)
        self.scaled = screen_model.AreaScaled(image, 1920, 1080, 1280, 720)


class CaptureTest(unittest.TestCase):
    def test_still_screen_session(self):
        screen = Screen(self)
        s = Session(self, screen.xvfb.display, ["--source", "s:0"])
        self.assertIsNotNone(s.wait_for(7), "no preview")
        self.assertIsNotNone(s.wait_for(2), "no key frame")
        time.sleep(0.5)  # the screen is still: nothing more is encoded
        asked = time.monotonic()
        s.send(10)
        again = s.wait_for(2, 3, after=asked)
        self.assertIsNotNone(again, "no key frame after command 10")
        self.assertLess(again[0] - asked, 1.0)
        status, took = s.close()
        self.assertEqual((status, bytes(s.raw)), (0, b""), "status, and a torn message at the end")
        self.assertLess(took, 1.0)
        self.assertEqual(s.messages[0][1:], (1, DEFAULT_HANDSHAKE))
        self.assertEqual([k for _, k, _ in s.messages if k in (2, 3)][0], 2)
        preview = next(p for _, k, p in s.messages if k == 7)
        expected = screen_model.preview_from_scaled(screen.scaled, 1280, 720)
        self.assertTrue(preview == expected, "preview differs from the sampled area-scaled screen")
        self.assertEqual(s.foreign_stderr_lines(), [])

        # Luma PSNR of the first decoded picture, on the pixels the preview samples.
        stream = b"".join(p for _, k, p in s.messages if k in (2, 3))
        decoded = subprocess.run(["ffmpeg", "-v", "error", "-f", "h264", "-i", "-", "-frames:v", "1", "-f",
                                  "rawvideo", "-pix_fmt", "yuv420p", "-"], input=stream, capture_output=True,
                                 timeout=60, check=True).stdout
        self.assertEqual(len(decoded), 1280 * 720 * 3 // 2)
        total = sum((decoded[2 * y * 1280 + 2 * x] - screen_model.luma(*screen.scaled.pixel(2 * x, 2 * y))) ** 2
                    for y in range(360) for x in range(640))
        psnr = 99.0 if total == 0 else 10 * math.log10(255 * 255 * 640 * 360 / total)
        self.assertGreaterEqual(psnr, 35.0)

    def test_the_end_of_the_parent_ends_the_session_within_a_second(self):
        screen = Screen(self)
        host = harness.UnixHost()
        s = Session(self, screen.xvfb.display, ["--source", "s:0"], parent=host.pid)
        self.assertIsNotNone(s.wait_for(2))
        gone = host.stop()
        self.assertEqual(harness.wait_status(s.proc, 5), 0)
        self.assertLess(time.monotonic() - gone, 1.0)

    def test_low_layer_follows_commands_11_and_12(self):
        screen = Screen(self)
        stop = threading.Event()
        self.addCleanup(stop.set)
        threading.Thread(target=self._move_a_box, args=(screen.xvfb.display, stop), daemon=True).start()
        s = Session(self, screen.xvfb.display, ["--source", "s:0", "--low", "640x360", "--low-fps", "15"])
        self.assertIsNotNone(s.wait_for(3), "the main stream does not move")
        time.sleep(0.5)
        self.assertEqual([k for k in s.kinds() if k in (5, 6)], [])
        on = time.monotonic()
        s.send(11)
        self.assertIsNotNone(s.wait_for(6, 5, after=on))
        self.assertEqual([k for k in s.kinds(on) if k in (5, 6)][0], 5)
        s.send(12)
        time.sleep(1.0)  # a low frame already being encoded may still come out
        off = time.monotonic()
        # The main stream goes on (at whatever speed this build manages) while the low one is silent.
        self.assertIsNotNone(s.wait_for(3, 15, after=off + 1.0))
        self.assertEqual([k for k in s.kinds(off) if k in (5, 6)], [])
        self.assertEqual(json.loads(s.messages[0][2])["low"], {"codec": "avc1.64002a", "height": 360, "width": 640})
        self.assertEqual(s.close()[0], 0)

    @staticmethod
    def _move_a_box(display, stop):
        """Keeps a small box moving so that frames keep changing."""
        painter = x11_paint.Painter(display)
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

    def test_a_destroyed_window_ends_the_session_with_status_0(self):
        screen = Screen(self)
        window = screen.painter.create_window(100, 100, 640, 480, 0x336699)
        s = Session(self, screen.xvfb.display, ["--source", "w:%d" % window])
        self.assertIsNotNone(s.wait_for(2))
        destroyed = time.monotonic()
        screen.painter.destroy(window)
        self.assertEqual(harness.wait_status(s.proc, 5), 0)
        self.assertLess(time.monotonic() - destroyed, 1.0)
        self.assertEqual(s.foreign_stderr_lines(), [])


if __name__ == "__main__":
    harness.main()
