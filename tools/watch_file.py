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
import subprocess
import sys
import threading

from host_client import png_from_rgba
from watch_packets import annexb_packets, read_records


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
        packets = annexb_packets(f.read())
    command = ([args.wrapper] if args.wrapper else []) + [args.program, "--watch", *map(str, args.size)]
    child = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def feed():
        try:
            for packet in packets:
                child.stdin.write(packet)
            child.stdin.close()
        except BrokenPipeError:
            pass

    threading.Thread(target=feed, daemon=True).start()
    count = 0
    for width, height, pixels in read_records(child.stdout):
        if count % args.every == 0:
            with open(f"{args.out}-{count}.png", "wb") as f:
                f.write(png_from_rgba(pixels, width, height))
        count += 1
    status = child.wait()
    print(f"{len(packets)} access units in, {count} pictures out, status {status}", file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
