"""The Windows pipeline under Wine through the Media Foundation encoder code, in a private prefix with the
lossless test encoder (tests/win/ipcm_encoder.cpp) and windows of colour tiles (Wine's screen shows only what
its own windows paint): pictures and previews must equal the tiles byte for byte."""

import os, subprocess, unittest

import harness


# (B, G, R) and the BT.601 studio-range (Y, U, V) the program's conversion makes of it.
PALETTE = [((0, 0, 0), (16, 128, 128)), ((255, 255, 255), (235, 128, 128)), ((0, 0, 255), (82, 90, 240)),
           ((0, 255, 0), (144, 54, 34)), ((255, 0, 0), (41, 240, 110)), ((40, 160, 220), (157, 67, 163)),
           ((200, 100, 30), (94, 182, 90))]
# What the program says of an encoder whose ICodecAPI takes no value.
REFUSALS = ["[capture] AVLowLatencyMode не принят энкодером",
            "[capture] AVEncMPVGOPSize не принят — ключевые кадры только по решению энкодера",
            "[capture] force-keyframe API нет — запрос зрителя ждёт ближайший GOP-ключ"]
GDI = "[capture] дубликация недоступна (DuplicateOutput: Not implemented. (0x80004001)) — GDI-фолбэк"


def tiled(width, height, tile, pixel):
    """Square tiles, a palette entry each, as the bytes `pixel` makes of an entry."""
    rows = [b"".join(pixel(PALETTE[(x // tile * 3 + ty * 5) % len(PALETTE)]) for x in range(width))
            for ty in range(-(-height // tile))]
    return b"".join(rows[y // tile] for y in range(height))


def bgra(width, height, tile):
    return tiled(width, height, tile, lambda entry: bytes(entry[0]) + b"\xff")


def nv12(width, height, tile):
    return (tiled(width, height, tile, lambda e: bytes(e[1][:1]))
            + tiled(width // 2, height // 2, tile // 2, lambda e: bytes(e[1][1:])))


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class PatternWindow:
    """A topmost window of tiles, shown by tests/win/pattern_window.cpp until closed (killed)."""

    def __init__(self, x, y, width, height, tile):
        image = os.path.join(os.path.dirname(harness.TARGET.env["WINEPREFIX"]), "tiles-%dx%d.bgra" % (width, height))
        with open(image, "wb") as file:
            file.write(bgra(width, height, tile))
        self.proc = subprocess.Popen([harness.WINE, os.environ["NIMBRA_TEST_PATTERN_WINDOW"], str(x), str(y),
                                      str(width), str(height), windows_path(image)], env=harness.TARGET.env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.handle = int(self.proc.stdout.readline())

    def close(self):
        self.proc.kill()
        self.proc.wait()
        self.proc.stdout.close()


class MfEncoderTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if harness.TARGET.platform != "win":
            raise unittest.SkipTest("Media Foundation is Windows only")
        subprocess.run([harness.WINE, "regsvr32", "/s", windows_path(os.environ["NIMBRA_TEST_ENCODER_DLL"])],
                       env=harness.TARGET.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=180, check=True)  # no pipes a Wine service could hold
        cls.addClassCleanup(PatternWindow(0, 0, 1920, 1080, 48).close)  # tiles of 16 at 640x360, 8 at 320x180

    def session(self, source, width, height, knobs, more=()):
        return harness.TARGET.helper(self, ["--source", source, "--width", str(width), "--height", str(height), *more],
                                     env={"NIMBRA_TEST_MFT": knobs})

    def run_session(self, source, width, height, knobs="", more=(), commands=()):
        """Runs until a key chunk, then until one more follows each command: (status, {kind: [payloads]},
        encoder trace, the program's other stderr lines)."""
        s = self.session(source, width, height, knobs, more)
        key = s.first(2, 30)
        for code in commands:
            self.assertIsNotNone(key, "no key chunk before command %d" % code)
            s.send(code)
            key = s.first(5 if code == 11 else 2, 10, after=key[0])
        self.assertIsNotNone(key, "no key chunk")
        status, _, lines = s.close()
        return (status, {k: s.payloads(k) for k in range(1, 8)}, [l[6:] for l in lines if l.startswith("[mft] ")],
                [l for l in lines if not l.startswith("[mft] ")])

    def assertPictures(self, chunks, width, height, expected):
        raw = subprocess.run(["ffmpeg", "-v", "error", "-f", "h264", "-i", "-", "-f", "rawvideo", "-pix_fmt", "nv12",
                              "-"], input=b"".join(chunks), capture_output=True, timeout=120, check=True).stdout
        size = width * height * 3 // 2
        pictures = [raw[at:at + size] for at in range(0, len(raw), size)]
        self.assertTrue(pictures and all(p == expected for p in pictures), "pictures differ at %dx%d" % (width, height))

    def test_screen_at_640x360_its_low_layer_and_previews(self):
        status, kinds, trace, _ = self.run_session("s:0", 640, 360, more=["--low", "320x180"], commands=[11])
        self.assertEqual((status, trace), (0, ["new", "new"]))  # the main encoder and, after command 11, the low one
        self.assertPictures(kinds[2] + kinds[3], 640, 360, nv12(640, 360, 16))
        self.assertPictures(kinds[5] + kinds[6], 320, 180, nv12(320, 180, 8))
        self.assertTrue(kinds[7] and all(p == bgra(640, 360, 16) for p in kinds[7]), "preview differs")

    def test_a_window_through_print_window_cropped_in_both_directions(self):
        window = PatternWindow(200, 100, 250, 138, 8)
        self.addCleanup(window.close)
        status, kinds, _, lines = self.run_session("w:%d" % window.handle, 250, 138)
        self.assertEqual(status, 0)
        self.assertTrue(any(line.endswith(") — PrintWindow-фолбэк") for line in lines), lines)
        # Wine's PrintWindow draws nothing of another process's window: the canvas stays black (its pixels
        # are GdiSources.DeliverWhatAWindowPaints' in one process).
        self.assertPictures(kinds[2] + kinds[3], 250, 138, b"\x10" * 250 * 138 + b"\x80" * 250 * 69)

    def test_each_way_an_encoder_may_behave(self):
        cases = [  # NIMBRA_TEST_MFT, the encoder's trace around a key request (command 10), stderr after GDI
            ("", ["new", "key 19"], []),  # VT_BOOL refused: the documented VT_UI4
            ("bool", ["new", "key 11"], []),
            ("nocodecapi", ["new", "new"], []),  # no way to force a key frame: a fresh encoder starts with one
            ("refuse", ["new", "new"], REFUSALS * 2),
            ("nosample", ["new", "key 19"], []),  # an answer without a sample ends the drain
            # A failed encode re-creates the encoder and asks it for a key frame.
            ("failinput", ["new", "new", "key 19", "key 19"],
             ["[capture] encode: ProcessInput: Call failed. (0x80004005)"]),
        ]
        for knobs, trace, lines in cases:
            with self.subTest(knobs=knobs):
                status, kinds, got_trace, got_lines = self.run_session("s:0", 320, 180, knobs, commands=[10])
                self.assertEqual((status, got_trace, got_lines), (0, trace, [GDI] + lines))
                self.assertPictures(kinds[2] + kinds[3], 320, 180, nv12(320, 180, 8))

    def test_an_encoder_that_cannot_be_created_ends_the_session_with_status_2(self):
        s = self.session("s:0", 320, 180, "failcreate")
        self.assertEqual(harness.wait_status(s.proc, 30), 2)
        lines = s.close()[2]  # and every message read
        error = "MFT ActivateObject: 0xC00D36B2"  # Wine's activation object puts its own error in place of the factory's
        self.assertEqual([m[1:] for m in s.messages][1:], [(1, ('{"error":"%s"}' % error).encode())])
        self.assertEqual(lines[-1], "[capture] энкодер: " + error)


if __name__ == "__main__":
    # The encoder goes into a prefix of this script's own: the other tests still see Wine without one.
    for name in ("WINEPREFIX", "DISPLAY"):
        os.environ.pop(name, None)
    harness.main()
