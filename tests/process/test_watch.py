"""Watch mode end to end: H.264 made by ffmpeg goes in as WatchPacket records; every PictureRecord that comes
out must match ffmpeg's own BT.601 limited-range decode of its frame; bad input ends with 1 and no word."""
import io, itertools, os, shutil, subprocess, sys, tempfile, unittest

import harness

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from watch_packets import annexb_packets, avcc_packets, packet, read_records  # noqa: E402

WORK = None
STREAMS = {}


def make_stream(name, parts, frames, extra=()):
    """ffmpeg-made parts back to back: (the stream, per part (width, height, ffmpeg's RGBA of each frame))."""
    data, expected = b"", []
    for i, (w, h) in enumerate(parts):
        path = os.path.join(WORK, f"{name}-{i}.h264")
        for args in (["-f", "lavfi", "-i", f"testsrc2=size={w}x{h}:rate=30", "-frames:v", str(frames), "-c:v",
                      "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", *extra, "-f", "h264", path],
                     # Nearest chroma sample, exact rounding: within one level of the helper's conversion.
                     ["-i", path, "-vf", "scale=in_color_matrix=bt601:in_range=limited:"
                      "flags=neighbor+accurate_rnd+full_chroma_int,format=rgba", "-f", "rawvideo", path + ".rgba"]):
            subprocess.run(["ffmpeg", "-v", "error", "-y", *args], check=True)
        with open(path, "rb") as f, open(path + ".rgba", "rb") as rgba:
            data, pictures = data + f.read(), rgba.read()
        expected.append((w, h, [pictures[k:k + w * h * 4] for k in range(0, len(pictures), w * h * 4)]))
    return data, expected


def setUpModule():
    global WORK
    WORK = tempfile.mkdtemp(prefix="nimbra-watch-")
    STREAMS["1080p"] = make_stream("1080p", [(1920, 1080)], 8)  # also crops its coded 1088 rows
    STREAMS["360p"] = make_stream("360p", [(640, 360)], 12)
    STREAMS["switch"] = make_stream("switch", [(1280, 720), (640, 360)], 8)
    # Signalled as BT.709 with left-sited chroma: the pictures must still come out unconverted.
    STREAMS["709"] = make_stream("709", [(1280, 720)], 6, ("-colorspace", "bt709", "-color_primaries", "bt709",
                                                           "-color_trc", "bt709", "-x264-params", "chromaloc=0"))


def tearDownModule():
    shutil.rmtree(WORK, ignore_errors=True)


def run(args, stdin):
    return harness.TARGET.run(["--watch", *map(str, args)], stdin, timeout=180)


class WatchTest(unittest.TestCase):
    def check(self, stream, args, flavour, fails_at_part=None):
        data, parts = STREAMS[stream]
        status, out, err = run(args, b"".join((annexb_packets if flavour == "annexb" else avcc_packets)(data)))
        self.assertEqual((status, err), (0 if fails_at_part is None else 1, b""))
        sizes = [part[:2] for part in parts]
        records = [(sizes.index((w, h)), pixels) for w, h, pixels in read_records(io.BytesIO(out))]  # known sizes
        self.assertEqual([p for p, _ in records], sorted(p for p, _ in records), "sizes out of order")
        # Pictures held back for x264's B-frames (two by libavcodec, three by Wine's decoder) would come out
        # only at a flush, which is never sent.
        held = 3 if harness.TARGET.platform == "win" else 2
        for p, (w, h, frames) in enumerate(parts):
            pictures = [pixels for q, pixels in records if q == p]
            self.assertLessEqual(len(pictures), len(frames))
            self.assertGreaterEqual(len(pictures), 0 if p == fails_at_part else len(frames) - held, f"part {p}")
            for n, (got, want) in enumerate(zip(pictures, frames)):
                # Luma below 16 counts as 16 here but not in ffmpeg: a few dark, saturated pixels differ more.
                off = sum(1 for a, b in zip(got[::3], want[::3]) if abs(a - b) > 1)
                self.assertLess(off * 3000, len(got), f"picture {n} of {w}x{h} differs in {off} bytes")

    def test_every_stream_shape_decodes(self):
        # Wine 8's decoder cannot follow a size change inside a stream (ProcessOutput fails with 0xD0000001):
        # the pictures before it must still be right, and the session must end with 1.
        cases = [("1080p", (1920, 1080), None), ("360p", (640, 360), None),
                 ("switch", (1280, 720, 640, 360), 1 if harness.TARGET.platform == "win" else None)]
        for (stream, args, fails_at_part), flavour in itertools.product(cases, ("annexb", "avcc")):
            with self.subTest(stream=stream, flavour=flavour):
                self.check(stream, args, flavour, fails_at_part)
        self.check("709", (1280, 720), "annexb")

    def test_a_corrupt_slice_is_skipped_without_a_word(self):
        packets = annexb_packets(STREAMS["360p"][0])
        packets[3] = packets[3][:12] + b"\xff" * 28 + packets[3][40:]  # its slice header
        self.assertEqual(run((640, 360), b"".join(packets))[::2], (0, b""))

    def test_bad_input_or_size_ends_with_status_1_and_no_input_with_0_all_silent(self):
        first = annexb_packets(STREAMS["360p"][0])[0]
        cases = [((640, 360), packet(4, first[5:]), 1), ((640, 360), packet(2, b"\x00\x02\x01\x64" + first[7:]), 1),
                 ((640, 360), first[:-1], 1), ((1922, 1080), first, 1), (("+1280", 720, 2, 1080), b"", 0)]
        for args, data, status in cases:
            with self.subTest(args=args, data=data[:8]):
                self.assertEqual(run(args, data), (status, b"", b""))

    def test_closed_output_ends_the_session_with_1(self):
        read_fd, write_fd = os.pipe()
        os.close(read_fd)
        self.addCleanup(os.close, write_fd)
        stream = b"".join(annexb_packets(STREAMS["360p"][0]))
        self.assertEqual(harness.TARGET.run(["--watch", "640", "360"], stream, 180, write_fd), (1, b"", b""))


if __name__ == "__main__":
    harness.main()
