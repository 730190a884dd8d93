#!/usr/bin/env python3
"""Feeds a raw H.264 (Annex-B) file through watch mode and saves decoded
pictures as PNG files.

    ffmpeg -f lavfi -i testsrc2=size=1280x720:rate=30 -frames:v 60 -c:v libx264 -f h264 clip.h264
    tools/watch_file.py build/linux/nimbra-capture clip.h264 1280 720 --out /tmp/pic --every 10

Each access unit goes in as one WatchPacket without a description (kind 2
when it holds an IDR slice, 3 otherwise); every PictureRecord that comes back
is counted, and every N-th is written as {out}-{index}.png.
"""
import argparse
import struct
import subprocess
import sys
import threading
import zlib

from host_client import read_exact


def access_units(stream):
    starts = []
    i = stream.find(b"\x00\x00\x01")
    while i >= 0:
        starts.append(i)
        i = stream.find(b"\x00\x00\x01", i + 3)
    units, current, has_picture = [], b"", False
    for k, s in enumerate(starts):
        begin = s - 1 if s > 0 and stream[s - 1] == 0 else s
        end = starts[k + 1] if k + 1 < len(starts) else len(stream)
        if k + 1 < len(starts) and stream[end - 1] == 0:
            end -= 1
        nal = stream[begin:end]
        kind = stream[s + 3] & 31
        first_slice = kind in (1, 5) and stream[s + 4] & 0x80
        if has_picture and (kind in (6, 7, 8, 9) or first_slice):
            units.append(current)
            current, has_picture = b"", False
        current += nal
        has_picture = has_picture or kind in (1, 5)
    if current:
        units.append(current)
    return units


def packet(unit):
    key = any(unit[i + 3] & 31 == 5 for i in range(len(unit) - 3) if unit[i:i + 3] == b"\x00\x00\x01")
    payload = b"\x00\x00" + unit  # no description: plain Annex-B
    return bytes((2 if key else 3,)) + struct.pack(">I", len(payload)) + payload


def png(path, width, height, rgba):
    def chunk(tag, data):
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data))

    rows = b"".join(b"\x00" + rgba[y * width * 4:(y + 1) * width * 4] for y in range(height))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(rows, 6)) + chunk(b"IEND", b""))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("program", help="nimbra-capture (or wine64 nimbra-capture.exe via --wrapper)")
    parser.add_argument("h264")
    parser.add_argument("size", nargs="+", type=int, help="W H [W2 H2]")
    parser.add_argument("--out", default="picture")
    parser.add_argument("--every", type=int, default=1)
    parser.add_argument("--wrapper", default="", help="e.g. /usr/lib/wine/wine64")
    args = parser.parse_args()

    with open(args.h264, "rb") as f:
        units = access_units(f.read())
    command = ([args.wrapper] if args.wrapper else []) + [args.program, "--watch", *map(str, args.size)]
    child = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def feed():
        try:
            for unit in units:
                child.stdin.write(packet(unit))
            child.stdin.close()
        except BrokenPipeError:
            pass

    threading.Thread(target=feed, daemon=True).start()
    count = 0
    while True:
        header = read_exact(child.stdout, 12)
        if header is None:
            break
        size, width, height = struct.unpack(">III", header)
        pixels = read_exact(child.stdout, size)
        if count % args.every == 0:
            png(f"{args.out}-{count}.png", width, height, pixels)
        count += 1
    status = child.wait()
    print(f"{len(units)} access units in, {count} pictures out, status {status}", file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
