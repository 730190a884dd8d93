"""Watch mode end to end: H.264 made by ffmpeg goes in as WatchPacket records,
every PictureRecord that comes out must be ffmpeg's own decode of that frame
put through the BT.601 formula; every malformed input ends with status 1 and
nothing on standard output."""
import itertools
import math
import os
import shutil
import struct
import tempfile
import threading
import unittest

import harness
from watch_streams import (annexb_packets, avcc, avcc_packets, decode_nv12, make_stream, nv12_to_rgba, packet,
                           parse_records)

WORK = None
STREAMS = {}


class Stream:
    """One or more ffmpeg-made parts played back to back, with their reference pictures."""

    def __init__(self, name, parts, frames, extra=()):
        self.data = b""
        self.expected = []  # per part: list of (w, h, rgba)
        for i, (w, h) in enumerate(parts):
            path = os.path.join(WORK, f"{name}-{i}.h264")
            self.data += make_stream(path, w, h, frames, extra)
            self.expected.append([(w, h, nv12_to_rgba(nv12, w, h)) for nv12 in decode_nv12(path, w, h)])


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


def psnr(a, b):
    mse = sum((x - y) ** 2 for x, y in zip(a[::97], b[::97])) / len(a[::97])
    return 99.0 if mse == 0 else 10 * math.log10(255 * 255 / mse)


def run(args, stdin):
    return harness.TARGET.run(args, stdin, timeout=180)


def under_wine():
    return harness.TARGET.platform == "win"


class WatchDecodes(unittest.TestCase):
    def check(self, stream, args, flavour, fails_at_part=None):
        s = STREAMS[stream]
        packets = annexb_packets(s.data) if flavour == "annexb" else avcc_packets(s.data)
        status, out, err = run(["--watch", *map(str, args)], b"".join(packets))
        self.assertEqual(status, 0 if fails_at_part is None else 1, err)
        self.assertEqual(err, b"")
        records = parse_records(out)
        # Records follow the parts in order; a decoder may keep the last
        # pictures of a part back (reordering) and never return them.
        part, index = 0, 0
        seen = [0] * len(s.expected)
        for n, (w, h, pixels) in enumerate(records):
            while part < len(s.expected) and (w, h) != s.expected[part][0][:2]:
                part, index = part + 1, 0
            self.assertLess(part, len(s.expected), f"record {n}: unexpected size {w}x{h}")
            self.assertLess(index, len(s.expected[part]), f"record {n}: more pictures than frames")
            ew, eh, expected = s.expected[part][index]
            self.assertTrue(pixels == expected,
                            f"record {n} ({w}x{h}) differs from frame {index}: {psnr(pixels, expected):.1f} dB")
            seen[part] += 1
            index += 1
        for p, count in enumerate(seen[:fails_at_part]):
            self.assertGreaterEqual(count, len(s.expected[p]) - 4, f"part {p}: only {count} pictures")

    def test_every_stream_shape_decodes_exactly(self):
        # Wine 8's decoder cannot follow a size change inside a stream: its
        # pipeline goes on offering only the first negotiated size, so the new
        # one is refused and ProcessOutput fails with 0xD0000001. The pictures
        # before it must still be right, and the session must end with 1.
        cases = [("720p", (1280, 720), None), ("1080p", (1920, 1080), None), ("360p", (640, 360), None),
                 ("switch", (1280, 720, 640, 360), 1 if under_wine() else None)]
        for (stream, args, fails_at_part), flavour in itertools.product(cases, ("annexb", "avcc")):
            with self.subTest(stream=stream, flavour=flavour):
                self.check(stream, args, flavour, fails_at_part)
        # Colour signalling of the stream changes no pixel (1080p also crops its coded 1088 rows).
        self.check("709", (1280, 720), "annexb")

    def test_empty_input_ends_cleanly(self):
        for args in (["1920", "1080"], ["+1280", "720", "2", "1080"]):
            with self.subTest(args):
                self.assertEqual(run(["--watch", *args], b""), (0, b"", b""))


def description(sps_count_byte, rest):
    return bytes((1, 0x64, 0, 0x2A, 0xFF, sps_count_byte)) + rest


def with_description(d, frame):
    return struct.pack(">H", len(d)) + d + frame


VALID_AVCC = avcc([bytes((0x67, 0x64, 0, 0x2A))], [bytes((0x68, 0xCE))])
ERROR_VECTORS = [
    ("kind 0", packet(0, b"\x00\x00\x00\x00\x00\x01\x09\xf0")),
    ("kind 1", packet(1, b"\x00\x00\x00\x00\x00\x01\x09\xf0")),
    ("kind 4", packet(4, b"\x00\x00\x00\x00\x00\x01\x09\xf0")),
    ("length 2", b"\x02\x00\x00\x00\x02\x00\x00"),
    ("length 1048577", b"\x02\x00\x10\x00\x01" + bytes(16)),
    ("end after kind", b"\x02"),
    ("end after header", b"\x02\x00\x00\x00\x0a"),
    ("end inside payload", b"\x03\x00\x00\x00\x0a\x00\x00\x00"),
    ("3-byte payload without start code", packet(3, b"\x00\x00\x65")),
    ("truncated description", packet(2, b"\x00\x09\x01\x02\x03")),
    ("6-byte description", packet(2, with_description(description(0xE0, b"")[:6], b"\x65"))),
    ("version 0", packet(2, with_description(b"\x00" + VALID_AVCC[1:], b"\x00\x00\x00\x01\x65"))),
    ("missing PPS count", packet(2, with_description(description(0xE1, b"\x00\x02\x67\x42"), b"\x65"))),
    ("truncated parameter set", packet(2, with_description(description(0xE1, b"\x00"), b"\x65"))),
    ("zero-size parameter set", packet(2, with_description(description(0xE1, b"\x00\x00\x00"), b"\x65"))),
    ("empty configuration", packet(2, with_description(description(0xE0, b"\x00"), b"\x65"))),
    ("empty video frame", packet(2, with_description(VALID_AVCC, b""))),
    ("missing configuration", packet(3, b"\x00\x00\x00\x00\x00\x2a\x65")),
    ("truncated NAL length", packet(2, with_description(VALID_AVCC, b"\x00\x00\x05"))),
    ("NAL longer than frame", packet(2, with_description(VALID_AVCC, b"\x00\x00\x00\x05\x65\x88\x84\x00"))),
]


class WatchRefuses(unittest.TestCase):
    def test_every_malformed_packet_ends_with_status_1_and_no_output(self):
        for name, data in ERROR_VECTORS:
            with self.subTest(name):
                status, out, err = run(["--watch", "1280", "720"], data)
                self.assertEqual((status, out, err), (1, b"", b""))

    def test_sizes_out_of_range(self):
        for args in (["1921", "1080"], ["1281", "720"], ["1280", "1082"], ["0", "720"]):
            with self.subTest(args):
                status, out, err = run(["--watch", *args], annexb_packets(STREAMS["720p"].data)[0])
                self.assertEqual((status, out, err), (1, b"", b""))

    def test_closed_output_ends_the_session(self):
        p = harness.TARGET.spawn(["--watch", "640", "360"])
        packets = annexb_packets(STREAMS["360p"].data)

        def feed():
            try:
                for _ in range(20):
                    for pk in packets:
                        p.stdin.write(pk)
                        p.stdin.flush()
            except (BrokenPipeError, OSError):
                pass
            try:
                p.stdin.close()
            except (BrokenPipeError, OSError):
                pass

        feeder = threading.Thread(target=feed)
        feeder.start()
        first = p.stdout.read(12)
        self.assertEqual(len(first), 12)
        p.stdout.close()
        status = p.wait(timeout=120)
        feeder.join()
        p.stderr.close()
        self.assertEqual(status, 1)


if __name__ == "__main__":
    harness.main()
