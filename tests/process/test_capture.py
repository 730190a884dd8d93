"""Capture sessions of the real helper on a private Xvfb showing a known
image: handshake, the encoded stream, previews, stdin commands and every way
a session ends. Linux only (the Windows backends come later)."""

import json
import math
import os
import select
import subprocess
import tempfile
import threading
import time
import unittest

import harness
import screen_model
import x11_paint

SCREEN_W, SCREEN_H = 1920, 1080
DEFAULT_HANDSHAKE = b'{"codec":"avc1.64002a","height":720,"port":0,"width":1280}'


class Session:
    """One running helper; a thread gathers its messages with arrival times."""

    def __init__(self, display, args, parent=None):
        self.target = harness.TARGET
        env = dict(self.target.env, DISPLAY=display)
        parent = parent if parent is not None else os.getpid()
        self.proc = subprocess.Popen(self.target.command(list(args) + ["--parent", str(parent)]), env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.started = time.monotonic()
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
            ready, _, _ = select.select(list(open_fds), [], [], 0.5)
            for fd in ready:
                chunk = os.read(fd, 1 << 16)
                if not chunk:
                    open_fds.discard(fd)
                    continue
                if fd == err:
                    self.stderr += chunk
                    continue
                now = time.monotonic()
                with self.lock:
                    self.raw += chunk
                    while len(self.raw) >= 5:
                        length = int.from_bytes(self.raw[0:4], "little")
                        if len(self.raw) < 4 + length:
                            break
                        self.messages.append((now, self.raw[4], bytes(self.raw[5:4 + length])))
                        del self.raw[:4 + length]

    def wait_for(self, predicate, timeout):
        """The first message (time, kind, payload) matching `predicate`, or None."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self.lock:
                for m in self.messages:
                    if predicate(m):
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
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        status = harness.wait_status(self.proc, timeout)
        self.reader.join(5)
        return status, time.monotonic() - closed

    def stderr_lines(self):
        return bytes(self.stderr).decode("utf-8").splitlines()


def linux_only():
    if harness.TARGET.platform != "linux":
        raise unittest.SkipTest("the Windows capture backends come later")


class Screen:
    """A private X server with the desktop image on its root window."""

    def __init__(self):
        linux_only()
        self.xvfb = harness.Xvfb(f"{SCREEN_W}x{SCREEN_H}x24")
        self.painter = x11_paint.Painter(self.xvfb.display)
        self.image = screen_model.desktop_image(SCREEN_W, SCREEN_H)
        self.painter.put_bgra(self.painter.root, 0, 0, SCREEN_W, SCREEN_H, self.image)

    def stop(self):
        self.painter.close()
        self.xvfb.stop()


class Mover(threading.Thread):
    """Keeps a small box moving so that frames keep changing."""

    def __init__(self, display):
        super().__init__(daemon=True)
        self.painter = x11_paint.Painter(display)
        self.stop_flag = threading.Event()

    def run(self):
        box = bytes([0, 0, 255, 255]) * (32 * 32)
        i = 0
        while not self.stop_flag.is_set():
            self.painter.put_bgra(self.painter.root, 100 + (i * 8) % 800, 100, 32, 32, box)
            i += 1
            time.sleep(1 / 60)

    def stop(self):
        self.stop_flag.set()
        self.join(2)
        self.painter.close()


class StillScreenTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.screen = Screen()
        cls.scaled = screen_model.AreaScaled(cls.screen.image, SCREEN_W, SCREEN_H, 1280, 720)

    @classmethod
    def tearDownClass(cls):
        cls.screen.stop()

    def start(self, *args, **kw):
        session = Session(self.screen.xvfb.display, ["--source", "s:0"] + list(args), **kw)
        self.addCleanup(lambda: session.proc.poll() is None and session.proc.kill())
        return session

    def test_handshake_then_a_key_frame_then_a_preview_of_the_exact_scaled_screen(self):
        s = self.start()
        self.assertIsNotNone(s.wait_for(lambda m: m[1] == 7, 10), "no preview")
        self.assertIsNotNone(s.wait_for(lambda m: m[1] == 2, 10), "no key frame")
        status, _ = s.close()
        self.assertEqual(status, 0)
        self.assertEqual(bytes(s.raw), b"", "a torn message at the end")
        framed = harness.parse_messages(self._all_bytes(s))
        self.assertEqual(framed[0], (1, DEFAULT_HANDSHAKE))
        video = [k for k, _ in framed if k in (2, 3)]
        self.assertEqual(video[0], 2)
        preview = next(p for k, p in framed if k == 7)
        self.assertEqual(len(preview), 921600)
        expected = screen_model.preview_from_scaled(self.scaled, 1280, 720)
        self.assertTrue(preview == expected, "preview differs from the sampled area-scaled screen")
        self.assertEqual([l for l in s.stderr_lines() if not l.startswith("[capture] ")], [])

    def _all_bytes(self, s):
        out = bytearray()
        for _, kind, payload in s.messages:
            out += (len(payload) + 1).to_bytes(4, "little") + bytes([kind]) + payload
        return bytes(out)

    def test_decoded_stream_matches_the_scaled_screen(self):
        s = self.start()
        self.assertIsNotNone(s.wait_for(lambda m: m[1] == 2, 10))
        time.sleep(0.3)
        s.close()
        stream = b"".join(p for _, k, p in s.messages if k in (2, 3))
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "main.h264")
            with open(path, "wb") as f:
                f.write(stream)
            decoded = subprocess.run(["ffmpeg", "-v", "error", "-f", "h264", "-i", path, "-frames:v", "1",
                                      "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"], capture_output=True,
                                     timeout=60, check=True).stdout
        self.assertEqual(len(decoded), 1280 * 720 * 3 // 2)  # the luma plane as decoded, no range change
        # Luma PSNR on every second pixel of every second row (the samples the preview check computes).
        total = 0
        count = 0
        for y in range(0, 720, 2):
            for x in range(0, 1280, 2):
                b, g, r = self.scaled.pixel(x, y)
                d = decoded[y * 1280 + x] - screen_model.luma(b, g, r)
                total += d * d
                count += 1
        mse = total / count
        psnr = 99.0 if mse == 0 else 10 * math.log10(255 * 255 / mse)
        self.assertGreaterEqual(psnr, 35.0)

    def test_a_key_frame_follows_command_10_within_a_second(self):
        s = self.start()
        first = s.wait_for(lambda m: m[1] == 2, 10)
        self.assertIsNotNone(first)
        time.sleep(0.5)  # the screen is still: nothing more is encoded
        asked = time.monotonic()
        s.send(10)
        again = s.wait_for(lambda m: m[1] == 2 and m[0] > asked, 3)
        self.assertIsNotNone(again)
        self.assertLess(again[0] - asked, 1.0)
        self.assertEqual(s.close()[0], 0)

    def test_closing_stdin_ends_the_session_within_a_second(self):
        s = self.start()
        self.assertIsNotNone(s.wait_for(lambda m: m[1] == 2, 10))
        status, took = s.close()
        self.assertEqual(status, 0)
        self.assertLess(took, 1.0)

    def test_the_end_of_the_parent_ends_the_session_within_a_second(self):
        host = harness.UnixHost()
        s = self.start(parent=host.pid)
        self.assertIsNotNone(s.wait_for(lambda m: m[1] == 2, 10))
        gone = host.stop()
        status = harness.wait_status(s.proc, 5)
        ended = time.monotonic()
        self.assertEqual(status, 0)
        self.assertLess(ended - gone, 1.0)


class MovingScreenTest(unittest.TestCase):
    def setUp(self):
        self.screen = Screen()
        self.mover = Mover(self.screen.xvfb.display)
        self.mover.start()
        self.addCleanup(self.screen.stop)
        self.addCleanup(self.mover.stop)

    def test_low_layer_follows_commands_11_and_12(self):
        s = Session(self.screen.xvfb.display, ["--source", "s:0", "--low", "640x360", "--low-fps", "15"])
        self.addCleanup(lambda: s.proc.poll() is None and s.proc.kill())
        self.assertIsNotNone(s.wait_for(lambda m: m[1] == 3, 10), "the main stream does not move")
        time.sleep(0.5)
        self.assertEqual([k for k in s.kinds() if k in (5, 6)], [])
        on = time.monotonic()
        s.send(11)
        self.assertIsNotNone(s.wait_for(lambda m: m[1] == 6 and m[0] > on, 5))
        low = [k for k in s.kinds(on) if k in (5, 6)]
        self.assertEqual(low[0], 5)
        s.send(12)
        time.sleep(1.0)  # a low frame already being encoded may still come out
        off = time.monotonic()
        # The main stream goes on (at whatever speed this build manages) while the low one is silent.
        self.assertIsNotNone(s.wait_for(lambda m: m[1] == 3 and m[0] > off + 1.0, 15))
        self.assertEqual([k for k in s.kinds(off) if k in (5, 6)], [])
        handshake = json.loads(s.messages[0][2])
        self.assertEqual(handshake["low"], {"codec": "avc1.64002a", "height": 360, "width": 640})
        self.assertEqual(s.close()[0], 0)


class WindowTest(unittest.TestCase):
    def test_a_destroyed_window_ends_the_session_with_status_0(self):
        screen = Screen()
        self.addCleanup(screen.stop)
        window = screen.painter.create_window(100, 100, 640, 480, 0x336699)
        s = Session(screen.xvfb.display, ["--source", "w:%d" % window])
        self.addCleanup(lambda: s.proc.poll() is None and s.proc.kill())
        self.assertIsNotNone(s.wait_for(lambda m: m[1] == 2, 10))
        destroyed = time.monotonic()
        screen.painter.destroy(window)
        status = harness.wait_status(s.proc, 5)
        self.assertEqual(status, 0)
        self.assertLess(time.monotonic() - destroyed, 1.0)
        self.assertEqual([l for l in s.stderr_lines() if not l.startswith("[capture] ")], [])

    def test_an_unknown_window_ends_with_status_3_and_both_lines(self):
        screen = Screen()
        self.addCleanup(screen.stop)
        s = Session(screen.xvfb.display, ["--source", "w:123456789"])
        status = harness.wait_status(s.proc, 10)
        s.reader.join(5)
        self.assertEqual(status, 3)
        self.assertEqual(s.stderr_lines(), ["[capture] WGC недоступен (окно не существует) — PrintWindow-фолбэк",
                                            "[capture] окно: окно не существует"])


if __name__ == "__main__":
    harness.main()
