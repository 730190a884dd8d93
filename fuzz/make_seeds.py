#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses into OUT/<harness>/: watch
streams and access units cut from small clips that ffmpeg makes here, and a
few command records and command lines. Nothing of it is kept in the tree."""
import hashlib
import os
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from watch_packets import access_units, annexb_packets, avcc_packets  # noqa: E402

# (name, size, frames, extra encoder arguments)
CLIPS = [
    ("small", "64x48", 6, []),
    ("bframes", "128x96", 8, ["-bf", "3"]),
    ("baseline", "176x144", 4, ["-profile:v", "baseline"]),
    ("bt709", "64x48", 3, ["-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc", "bt709",
                           "-x264-params", "chromaloc=0"]),
    ("full-range", "64x48", 3, ["-color_range", "pc"]),
    ("yuv444", "64x48", 2, ["-pix_fmt", "yuv444p"], ),
    ("odd", "66x50", 3, []),
]
# Which request of the pipeline harness each clip is fed with (its table's order).
PIPELINE_REQUEST = {"small": 0, "bframes": 1, "baseline": 4, "bt709": 0, "full-range": 0, "odd": 0}
STEPS = [b"\xff\xff\xff\xff", b"\x00\x03\x01\x20"]


def clip(work, name, size, frames, extra):
    path = os.path.join(work, name + ".h264")
    pix = [] if "-pix_fmt" in extra else ["-pix_fmt", "yuv420p"]
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"testsrc2=size={size}:rate=30", "-frames:v",
                    str(frames), "-c:v", "libx264", "-preset", "veryfast", *pix, *extra, "-f", "h264", path],
                   check=True)
    with open(path, "rb") as f:
        return f.read()


def save(out, harness, data):
    folder = os.path.join(out, harness)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, hashlib.sha1(data).hexdigest()), "wb") as f:
        f.write(data)


def command(payload):
    return struct.pack("<I", len(payload)) + payload


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "build/fuzz/seeds"
    with tempfile.TemporaryDirectory(prefix="nimbra-seeds-") as work:
        for name, size, frames, extra in CLIPS:
            stream = clip(work, name, size, frames, extra)
            flavours = [annexb_packets(stream), avcc_packets(stream), avcc_packets(stream, 2)]
            for steps, packets in zip(STEPS * 2, flavours):
                save(out, "watch_wire", steps + b"".join(packets))
                if name in PIPELINE_REQUEST:
                    save(out, "watch_pipeline", bytes((PIPELINE_REQUEST[name],)) + steps + b"".join(packets))
            for unit in access_units(stream)[:2]:
                save(out, "sps_rewrite", b"".join(b"\x00\x00\x00\x01" + nal for nal in unit))
    for steps in STEPS:
        save(out, "stdin_commands", steps + b"".join(command(bytes((c,))) for c in (10, 11, 13, 12, 99)))
        save(out, "stdin_commands", steps + command(b"") + command(b"\x0b\x00") + struct.pack("<I", 1025) + b"x" * 9)
        save(out, "stdin_commands", steps + command(b"\x0a")[:3])
    for line in (["--source", "s:0", "--parent", "1"],
                 ["--source", "w:-12", "--parent", "+77", "--audio", "1", "--fps", "60", "--width", "1920",
                  "--height", "1080", "--bitrate", "8000000", "--low", "640x360", "--low-fps", "15",
                  "--low-bitrate", "200000"],
                 ["--low", " 1280 x 720 ", "--source", "s:0", "--parent", "9", "--width", "160", "--height", "90"],
                 ["--watch", "1280", "720"], ["--watch", "+1920", "1080", "640", "360"]):
        save(out, "command_line", b"\0".join(arg.encode() for arg in line))


if __name__ == "__main__":
    main()
