"""Watch mode end to end: H.264 made by ffmpeg goes in as WatchPacket records;
every PictureRecord that comes out must match ffmpeg's own decode of that
frame converted with the BT.601 limited-range matrix (to within rounding);
malformed input ends with status 1 and nothing written."""
import io
import itertools
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

import harness

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from watch_packets import annexb_packets, avcc_packets, packet, read_records  # noqa: E402

WORK = None
STREAMS = {}


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-v", "error", "-y", *args], check=True)


class Stream:
    """ffmpeg-made parts played back to back; per part, ffmpeg's decode of each frame as RGBA."""

    def __init__(self, name, parts, frames, extra=()):
        self.data, self.expected = b"", []
        for i, (w, h) in enumerate(parts):
            path = os.path.join(WORK, f"{name}-{i}.h264")
            ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={w}x{h}:rate=30", "-frames:v", str(frames), "-c:v", "libx264",
                   "-preset", "veryfast", "-pix_fmt", "yuv420p", *extra, "-f", "h264", path)
            # Nearest chroma sample, exact rounding: within one level of the helper's conversion.
            ffmpeg("-i", path, "-vf", "scale=in_color_matrix=bt601:in_range=limited:"
                   "flags=neighbor+accurate_rnd+full_chroma_int,format=rgba", "-f", "rawvideo", path + ".rgba")
            with open(path, "rb") as f, open(path + ".rgba", "rb") as rgba:
                self.data += f.read()
                pictures = rgba.read()
            self.expected.append([(w, h, pictures[k:k + w * h * 4]) for k in range(0, len(pictures), w * h * 4)])


def setUpModule():
    global WORK
    WORK = tempfile.mkdtemp(prefix="nimbra-watch-")
    STREAMS["720p"] = Stream("720p", [(1280, 720)], 10)
    STREAMS["1080p"] = Stream("1080p", [(1920, 1080)], 8)
    STREAMS["360p"] = Stream("360p", [(640, 360)], 12)
    STREAMS["switch"] = Stream("switch", [(1280, 720), (640, 360)], 8)
    # Signalled as BT.709 with left-sited chroma: a decoder that honours
    # this must still hand out its pictures unconverted.
    STREAMS["709"] = Stream("709", [(1280, 720)], 6, ("-colorspace", "bt709", "-color_primaries", "bt709",
                                                      "-color_trc", "bt709", "-x264-params", "chromaloc=0"))


def tearDownModule():
    shutil.rmtree(WORK, ignore_errors=True)


def run(args, stdin):
    return harness.TARGET.run(args, stdin, timeout=180)


class WatchDecodes(unittest.TestCase):
    def check(self, stream, args, flavour, fails_at_part=None):
        s = STREAMS[stream]
        packets = annexb_packets(s.data) if flavour == "annexb" else avcc_packets(s.data)
        status, out, err = run(["--watch", *map(str, args)], b"".join(packets))
        self.assertEqual((status, err), (0 if fails_at_part is None else 1, b""))
        # Records follow the parts in order.
        part, index, seen = 0, 0, [0] * len(s.expected)
        for n, (w, h, pixels) in enumerate(read_records(io.BytesIO(out))):
            while part < len(s.expected) and (w, h) != s.expected[part][0][:2]:
                part, index = part + 1, 0
            self.assertLess(part, len(s.expected), f"record {n}: unexpected size {w}x{h}")
            self.assertLess(index, len(s.expected[part]), f"record {n}: more pictures than frames")
            # Luma below 16 counts as 16 here but not in ffmpeg: a few dark, saturated pixels differ more.
            samples = list(zip(pixels[::3], s.expected[part][index][2][::3]))
            off = sum(1 for a, b in samples if abs(a - b) > 1)
            self.assertLess(off * 1000, len(samples), f"record {n} ({w}x{h}) differs from frame {index} in {off} bytes")
            seen[part] += 1
            index += 1
        # Pictures held back for x264's B-frames (two by libavcodec, three by Wine's decoder) would
        # come out only at a flush, which is never sent.
        held = 3 if harness.TARGET.platform == "win" else 2
        for p, count in enumerate(seen[:fails_at_part]):
            self.assertGreaterEqual(count, len(s.expected[p]) - held, f"part {p}: only {count} pictures")

    def test_every_stream_shape_decodes(self):
        # Wine 8's decoder cannot follow a size change inside a stream: its
        # pipeline goes on offering only the first negotiated size, so the new
        # one is refused and ProcessOutput fails with 0xD0000001. The pictures
        # before it must still be right, and the session must end with 1.
        cases = [("720p", (1280, 720), None), ("1080p", (1920, 1080), None), ("360p", (640, 360), None),
                 ("switch", (1280, 720, 640, 360), 1 if harness.TARGET.platform == "win" else None)]
        for (stream, args, fails_at_part), flavour in itertools.product(cases, ("annexb", "avcc")):
            with self.subTest(stream=stream, flavour=flavour):
                self.check(stream, args, flavour, fails_at_part)
        # Colour signalling of the stream changes no pixel (1080p also crops its coded 1088 rows).
        self.check("709", (1280, 720), "annexb")

    def test_a_corrupt_slice_is_skipped_without_a_word(self):
        packets = annexb_packets(STREAMS["360p"].data)
        packets[3] = packets[3][:12] + b"\xff" * 28 + packets[3][40:]  # its slice header
        status, _, err = run(["--watch", "640", "360"], b"".join(packets))
        self.assertEqual((status, err), (0, b""))

    def test_empty_input_ends_cleanly(self):
        self.assertEqual(run(["--watch", "+1280", "720", "2", "1080"], b""), (0, b"", b""))


class WatchRefuses(unittest.TestCase):
    def test_bad_input_or_size_ends_with_status_1_and_nothing_written(self):
        first = annexb_packets(STREAMS["360p"].data)[0]
        cases = [(["640", "360"], packet(4, first[5:])), (["640", "360"], packet(2, b"\x00\x02\x01\x64" + first[7:])),
                 (["640", "360"], first[:-1]), (["1922", "1080"], first)]
        for args, data in cases:
            with self.subTest(args=args, data=data[:8]):
                self.assertEqual(run(["--watch", *args], data), (1, b"", b""))

    def test_closed_output_ends_the_session(self):
        p = harness.TARGET.spawn(["--watch", "640", "360"])

        def feed():
            try:
                for pk in annexb_packets(STREAMS["360p"].data) * 20:
                    p.stdin.write(pk)
                    p.stdin.flush()
                p.stdin.close()
            except OSError:  # BrokenPipeError included
                pass

        feeder = threading.Thread(target=feed)
        feeder.start()
        self.assertEqual(len(p.stdout.read(12)), 12)
        p.stdout.close()
        status = p.wait(timeout=120)
        feeder.join()
        p.stderr.close()
        self.assertEqual(status, 1)


if __name__ == "__main__":
    harness.main()
