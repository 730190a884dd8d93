#!/usr/bin/env python3
"""A whole capture session against ffmpeg doing the same job, on a private
Xvfb showing desktop-like moving content (a scrolling text window and a
moving box on a still background, 1920x1080).

Job: capture 1920x1080 at 30 fps, area-scale to 1280x720, H.264 (x264
superfast/zerolatency, 2.5 Mbit/s), plus a 640x360 layer at 15 fps (1 Mbit/s).
Reports each process's CPU seconds per second of session and their ratio
(goal: nimbra-capture at most 0.6 of ffmpeg), the helper's resident memory,
the change-to-stdout latency (median, p95), the quality per CPU of the main
stream's encoder against ffmpeg's libx264 on the same recorded pictures, and,
when the stage profiler is built, the CPU time per frame of each stage inside
the helper.

  bench/session_bench.py --exe build/linux/nimbra-capture [--seconds 20]
      [--stages build/linux/bench/session_stages_bench]
"""
import argparse
import math
import os
import re
import resource
import select
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))

from desktop import Desktop, W, H  # noqa: E402
from xvfb import Xvfb  # noqa: E402
from host_client import command_record, process_usage, read_messages  # noqa: E402


def cpu_of_children():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def run_nimbra(exe, display, seconds):
    env = dict(os.environ, DISPLAY=display)
    before = cpu_of_children()
    proc = subprocess.Popen([exe, "--source", "s:0", "--parent", str(os.getpid()), "--width", "1280",
                             "--height", "720", "--fps", "30", "--bitrate", "2500000", "--low", "640x360",
                             "--low-fps", "15", "--low-bitrate", "1000000"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    counts = {}

    def reader():
        for kind, _ in read_messages(proc.stdout):
            counts[kind] = counts.get(kind, 0) + 1

    t = threading.Thread(target=reader, daemon=True)
    t.start()
    proc.stdin.write(command_record(11))
    proc.stdin.flush()
    rss = []  # resident KB, twice a second
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        time.sleep(0.5)
        rss.append(process_usage(proc.pid)[1])
    proc.stdin.close()
    proc.wait(10)
    t.join(5)
    cpu = cpu_of_children() - before
    err = proc.stderr.read().decode(errors="replace")
    return cpu, counts, err, rss


def run_latency(exe, display, painter, samples=100):
    """Change-to-stdout latency: a still screen gets one change; how long until
    the helper's chunk for it arrives (the grab waits on the change itself).
    One thread reads and times, so nothing waits for Python's lock; between
    changes it keeps reading, so no preview stays behind in the pipe."""
    env = dict(os.environ, DISPLAY=display)
    proc = subprocess.Popen([exe, "--source", "s:0", "--parent", str(os.getpid())], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, bufsize=0)
    fd, pending = proc.stdout.fileno(), bytearray()

    def read_until(deadline, stop_at_chunk):
        """Reads messages until `deadline`, or until a main chunk if `stop_at_chunk`; True if one came."""
        while (left := deadline - time.monotonic()) > 0 and select.select([fd], [], [], left)[0]:
            data = os.read(fd, 1 << 20)
            if not data:
                return False
            pending.extend(data)
            while len(pending) >= 5 and len(pending) >= 4 + (length := int.from_bytes(pending[:4], "little")):
                kind = pending[4]
                del pending[:4 + length]
                if stop_at_chunk and kind in (2, 3):
                    return True
        return False

    box = bytes([255, 255, 255, 255]) * (48 * 48)
    delays = []
    read_until(time.monotonic() + 1.0, False)
    for i in range(samples):
        read_until(time.monotonic() + 0.2, False)
        changed = time.monotonic()  # sent without waiting for the server's reply
        painter.put_bgra(painter.root, 300 + 60 * (i % 25), 60 + 60 * (i // 25), 48, 48, box, sync=False)
        if read_until(changed + 2, True):
            delays.append((time.monotonic() - changed) * 1000)
    proc.stdin.close()
    proc.wait(10)
    delays.sort()
    return delays


def x264_args(preset="superfast", motion="hex"):
    """ffmpeg's libx264 set up as the helper sets up its encoder."""
    return ["-c:v", "libx264", "-preset", preset, "-tune", "zerolatency", "-threads", "1",
            "-profile:v", "high", "-bf", "0", "-sc_threshold", "0", "-keyint_min", "1",
            "-x264-params", "rc-lookahead=0:sync-lookahead=0:mbtree=0:8x8dct=1:me=" + motion]


def run_ffmpeg(display, seconds):
    x264 = x264_args()
    cmd = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "x11grab", "-draw_mouse", "0",
           "-framerate", "30", "-video_size", f"{W}x{H}", "-t", str(seconds), "-i", display + "+0,0",
           "-filter_complex",
           "[0:v]split=2[a][b];[a]scale=1280:720:flags=area,format=nv12[m];"
           "[b]fps=15,scale=640:360:flags=area,format=nv12[l]",
           "-map", "[m]"] + x264 + ["-g", "60", "-b:v", "2500k", "-maxrate", "2500k", "-bufsize", "2500k",
                                  "-f", "h264", "-y", "/dev/null",
                                  "-map", "[l]"] + x264 + ["-g", "30", "-b:v", "1000k", "-maxrate", "1000k",
                                                         "-bufsize", "1000k", "-f", "h264", "-y", "/dev/null"]
    before = cpu_of_children()
    subprocess.run(cmd, stdin=subprocess.DEVNULL, check=True, timeout=seconds + 30)
    return cpu_of_children() - before


def psnr_y(stream, source, size):
    """Mean luma PSNR of an H.264 stream against the raw NV12 pictures it was made from."""
    pair = "[0:v]settb=1/30,setpts=N[a];[1:v]settb=1/30,setpts=N[b];[a][b]psnr"  # picture i with picture i
    run = subprocess.run(["ffmpeg", "-hide_banner", "-nostdin", "-f", "h264", "-i", stream, "-f", "rawvideo",
                          "-pix_fmt", "nv12", "-s", size, "-i", source, "-lavfi", pair, "-f", "null", "-"],
                         capture_output=True, text=True, check=True)
    return float(re.search(r"PSNR y:([\d.]+|inf)", run.stderr).group(1))


def run_quality(display, encoder, seconds, work):
    """Quality per CPU on the very same pictures: the desktop is recorded once,
    area-scaled to 1280x720 NV12, and encoded at 2.5 Mbit/s by the helper's own
    encoder and by ffmpeg's libx264 with the helper's settings and two others.
    Rows of (name, CPU s per picture, PSNR y)."""
    source, size = os.path.join(work, "source.nv12"), "1280x720"
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "x11grab", "-draw_mouse", "0",
                    "-framerate", "30", "-video_size", f"{W}x{H}", "-t", str(seconds), "-i", display + "+0,0",
                    "-vf", "scale=1280:720:flags=area,format=nv12", "-f", "rawvideo", "-y", source],
                   stdin=subprocess.DEVNULL, check=True, timeout=seconds + 60)
    pictures = os.path.getsize(source) // (1280 * 720 * 3 // 2)
    rows = []

    def measure(name, command, stream):
        before = cpu_of_children()
        subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True)
        rows.append((name, (cpu_of_children() - before) / pictures, psnr_y(stream, source, size)))

    ours = os.path.join(work, "ours.h264")
    measure("nimbra-capture", [encoder, source, "1280", "720", "30", "2500000", ours], ours)
    # The helper's settings, and beside them the preset's own diamond search and the next preset.
    for name, preset, motion in (("superfast hex", "superfast", "hex"), ("superfast dia", "superfast", "dia"),
                                 ("veryfast", "veryfast", "hex")):
        theirs = os.path.join(work, preset + motion + ".h264")
        measure("ffmpeg " + name, ["ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "rawvideo",
                                   "-pix_fmt", "nv12", "-s", size, "-r", "30", "-i", source]
                + x264_args(preset, motion)
                + ["-g", "60", "-b:v", "2500k", "-maxrate", "2500k", "-bufsize", "2500k", "-f", "h264", "-y", theirs],
                theirs)
    return pictures, rows


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--stages", help="the stage profiler program, if built")
    parser.add_argument("--encoder", help="bench/encode_nv12_file, for quality per CPU (default: beside --stages)")
    args = parser.parse_args()

    xvfb = Xvfb()
    desktop = Desktop(xvfb.display)
    desktop.start()
    try:
        time.sleep(1)
        ours, counts, err, rss = run_nimbra(args.exe, xvfb.display, args.seconds)
        theirs = run_ffmpeg(xvfb.display, args.seconds)
        print(f"session: {args.seconds:.0f} s, 1920x1080 -> 1280x720@30 + 640x360@15")
        print(f"nimbra-capture: {ours / args.seconds:.3f} CPU s per s "
              f"(main {counts.get(2, 0) + counts.get(3, 0)} chunks, low {counts.get(5, 0) + counts.get(6, 0)}, "
              f"previews {counts.get(7, 0)})")
        print(f"ffmpeg:         {theirs / args.seconds:.3f} CPU s per s")
        print(f"ratio:          {ours / theirs:.2f} (goal <= 0.60)")
        settled = rss[4:] or rss
        print(f"helper RSS: {settled[0] / 1024:.1f} MB after 2 s, max {max(settled) / 1024:.1f} MB, "
              f"end {settled[-1] / 1024:.1f} MB")
        for line in err.splitlines():
            if not line.startswith("[capture] "):
                print("unexpected stderr:", line)
        desktop.stop_flag.set()
        desktop.join(2)
        delays = run_latency(args.exe, xvfb.display, desktop.painter)
        if delays:
            print(f"change-to-stdout latency: median {delays[len(delays) // 2]:.1f} ms, "
                  f"p95 {delays[math.ceil(0.95 * len(delays)) - 1]:.1f} ms (goal < 10), "
                  f"max {delays[-1]:.1f} ms over {len(delays)} changes")
        encoder = args.encoder or (args.stages and os.path.join(os.path.dirname(args.stages), "encode_nv12_file"))
        if encoder and os.path.exists(encoder):
            desktop = Desktop(xvfb.display)
            desktop.start()
            with tempfile.TemporaryDirectory(prefix="nimbra-quality-") as work:
                pictures, rows = run_quality(xvfb.display, encoder, 5, work)
            desktop.stop_flag.set()
            desktop.join(2)
            print(f"quality per CPU, {pictures} recorded pictures 1280x720 at 2.5 Mbit/s (luma PSNR):")
            for name, cpu, psnr in rows:
                print(f"  {name:<16} {cpu * 1000:6.2f} ms CPU per picture  PSNR y {psnr:6.2f} dB")
        if args.stages:
            subprocess.run([args.stages], check=False)
    finally:
        desktop.stop_flag.set()
        desktop.join(2)
        xvfb.stop()


if __name__ == "__main__":
    main()
