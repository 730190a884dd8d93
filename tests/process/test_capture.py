"""Capture sessions on a private Xvfb showing a known screen, and hosts that misbehave. Linux only: Wine's
pipeline is test_mf_encoder's."""

import subprocess, time, unittest

import harness


def block_colour(bx, by):
    """(B, G, R) of a 48-pixel block, each unlike its neighbours (1920 -> 1280 makes them 32 x 32 exactly)."""
    return (bx * 37 + by * 11) % 256, (bx * 13 + by * 59) % 256, (bx * 71 ^ by * 29) % 256


class CaptureTest(unittest.TestCase):
    def setUp(self):
        if harness.TARGET.platform != "linux":
            self.skipTest("Wine has no H.264 encoder: see test_mf_encoder")
        rows = [b"".join(bytes(block_colour(x // 48, by)) + b"\xff" for x in range(1920)) for by in range(23)]
        self.xvfb, _ = harness.screen(self, b"".join(rows[y // 48] for y in range(1080)))

    def session(self, *args):
        return harness.TARGET.helper(self, ["--source", *args], self.xvfb.display)

    def test_still_screen_session(self):
        s = self.session("s:0")
        self.assertIsNotNone(s.first(7), "no preview")
        self.assertIsNotNone(s.first(2), "no key frame")
        status, took, lines = s.close(5)
        self.assertEqual((status, [l for l in lines if not l.startswith("[capture] ")]), (0, []))
        self.assertLess(took, 1.0)
        self.assertEqual((s.messages[0][1], s.of_kind((2, 3))[0][1]), (1, 2))  # the handshake first; a key chunk
        # The preview samples the scaled screen at every second pixel: the blocks' own colours.
        self.assertTrue(s.payloads(7)[0] == b"".join(bytes(block_colour(3 * x // 48, 3 * y // 48)) + b"\xff"
                                                    for y in range(360) for x in range(640)), "preview differs")

    def test_misbehaving_hosts_and_a_dying_display(self):
        harness.keep_a_box_moving(self, self.xvfb.display, 100, b"\0\0\xff\xff")
        # The display's death comes last: it takes this test's X server with it.
        for act in (self._host_closes_stdout, self._host_freezes, self._host_sends_garbage, self._display_dies):
            with self.subTest(act.__name__):
                s = self.session("s:0", "--low", "640x360")
                self.assertIsNotNone(s.first(3, 30), "the main stream does not move")
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
        self.assertIsNotNone(s.first(3, 30, after=time.monotonic() + 1), "no main chunks after the freeze")
        self.assertEqual(s.close()[0], 0)
        self.assertLess(grown, limit, "kilobytes grown while frozen: frames are being queued")
        decoded = subprocess.run(["ffmpeg", "-v", "error", "-f", "h264", "-i", "-", "-f", "null", "-"],
                                 input=b"".join(s.payloads(2, 3)), capture_output=True, timeout=60)
        self.assertEqual((decoded.returncode, decoded.stderr), (0, b""))

    def _host_sends_garbage(self, s):
        s.proc.stdin.write(b"\xff\xff\xff\xffgarbage")  # that later commands count for nothing is the unit test's
        s.proc.stdin.flush()
        self.assertIsNotNone(s.first(3, 30, after=time.monotonic() + 1), "capture stopped")
        status, _, lines = s.close()
        self.assertEqual((status, [l for l in lines if "stdin" in l]),
                         (0, ["[capture] stdin: кривая длина команды 4294967295 — команды отключены"]))

    def _display_dies(self, s):
        self.xvfb.stop()
        status = harness.wait_status(s.proc, 40)  # by itself: closing stdin would end it too
        self.assertEqual((status, s.close()[2][-40:]),
                         (0, ["[capture] grab (%d): X11: соединение с дисплеем потеряно" % n for n in range(1, 41)]))


if __name__ == "__main__":
    harness.main()
