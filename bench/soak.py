#!/usr/bin/env python3
"""A long capture session on a private Xvfb showing moving content, with the
low layer on: whether anything grows with time.

The screen changes 60 times a second, twice the capture rate, so that every
frame period holds a change whatever the phase between painter and capture on
a busy machine (a box slides over a still background while a band of it
scrolls, both cheap for the painter; the "screen/s" column says how often it
changed). Every 10 s it samples the helper's resident memory (the pages it
made: anonymous and shared) and counts the chunks of each layer and the CPU
seconds of that window. At the end it reports that memory at the start (after
the first minute), its maximum and at the end, the lowest and
mean chunks per second of each layer over the windows, the mean CPU, and
whether both streams decode, one picture per chunk, without a decoder message
(the streams are kept for a look when they do not).

  bench/soak.py --exe build/linux/nimbra-capture [--minutes 30]
"""
import argparse
import os
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))

import x11_paint  # noqa: E402
from desktop import Desktop  # noqa: E402
from host_client import command_record, process_usage, read_messages  # noqa: E402
from xvfb import Xvfb  # noqa: E402

WINDOW = 10.0
PAINTS_PER_SECOND = 60
LAYERS = {"main": (2, 3), "low": (5, 6)}


class Mover(threading.Thread):
    def __init__(self, display):
        super().__init__(daemon=True)
        self.painter = x11_paint.Painter(display)
        self.stop_flag = threading.Event()
        self.changes = 0

    def run(self):
        p, box = self.painter, bytes([40, 200, 240, 255]) * (96 * 96)
        due = time.monotonic()
        while not self.stop_flag.is_set():
            p.copy_area(p.root, 0, 401, 0, 400, 1920, 199)  # the band scrolls up a row
            x = 100 + (self.changes * 6) % 1600
            p.copy_area(p.root, x - 6, 0, x - 6, 900, 102, 96)  # the top rows never change
            p.put_bgra(p.root, x, 900, 96, 96, box)
            self.changes += 1
            due += 1 / PAINTS_PER_SECOND
            time.sleep(max(0.0, due - time.monotonic()))
        p.close()


def decode(path):
    """(pictures decoded, the decoder's complaints). ffprobe decodes every
    picture without a muxer: ffmpeg's null muxer complains about its own
    guessed timestamps past 50,000 pictures of any raw H.264 stream."""
    run = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                          "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", path],
                         capture_output=True, text=True, timeout=1800)
    lines = run.stderr.splitlines() + ([f"ffprobe ended with status {run.returncode}"] if run.returncode else [])
    return int(run.stdout.strip() or 0), lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--minutes", type=float, default=30)
    args = parser.parse_args()

    xvfb = Xvfb()
    Desktop(xvfb.display).painter.close()  # its still background only
    mover = Mover(xvfb.display)
    mover.start()
    work = tempfile.mkdtemp(prefix="nimbra-soak-")
    files = {name: open(os.path.join(work, name + ".h264"), "wb") for name in LAYERS}
    counts = {kind: 0 for kinds in LAYERS.values() for kind in kinds}
    proc = subprocess.Popen([args.exe, "--source", "s:0", "--parent", str(os.getpid()), "--low", "640x360"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=dict(os.environ, DISPLAY=xvfb.display))

    def reader():
        for kind, payload in read_messages(proc.stdout):
            if kind in counts:
                counts[kind] += 1
                files["main" if kind in LAYERS["main"] else "low"].write(payload)

    def layer(name):
        return sum(counts[k] for k in LAYERS[name])

    thread = threading.Thread(target=reader, daemon=True)
    thread.start()
    errors = []
    threading.Thread(target=lambda: errors.extend(proc.stderr.read().decode().splitlines()), daemon=True).start()
    proc.stdin.write(command_record(11))
    proc.stdin.flush()

    windows = []  # (end in seconds, rss KB, chunks/s per layer, CPU share)
    began = time.monotonic()
    last = (began, process_usage(proc.pid)[0], {name: 0 for name in LAYERS}, 0)
    print("   t/s   mem/MB  screen/s  main/s  low/s   CPU", flush=True)
    try:
        while time.monotonic() - began < args.minutes * 60 and proc.poll() is None:
            time.sleep(max(0.0, last[0] + WINDOW - time.monotonic()))
            now, (cpu, rss) = time.monotonic(), process_usage(proc.pid)
            seen = {name: layer(name) for name in LAYERS}
            span = now - last[0]
            rates = {name: (seen[name] - last[2][name]) / span for name in LAYERS}
            windows.append((now - began, rss, rates, (cpu - last[1]) / span))
            print("%6.0f %8.1f %9.1f %7.1f %6.1f %5.2f" % (now - began, rss / 1024, (mover.changes - last[3]) / span,
                                                           rates["main"], rates["low"], windows[-1][3]), flush=True)
            last = (now, cpu, seen, mover.changes)
    finally:
        proc.stdin.close()
        status = proc.wait(10)
        thread.join(10)
        mover.stop_flag.set()
        mover.join(2)
        xvfb.stop()
        for f in files.values():
            f.close()

    settled = [w for w in windows if w[0] > 60] or windows
    rss = [w[1] for w in settled]
    print(f"status {status}; {len(windows)} windows of {WINDOW:.0f} s")
    print("resident memory after the first minute: start %.1f MB, max %.1f MB, end %.1f MB (growth %+.0f KB)"
          % (rss[0] / 1024, max(rss) / 1024, rss[-1] / 1024, rss[-1] - rss[0]))
    for name in LAYERS:
        rates = [w[2][name] for w in settled]
        print("%s: %.1f chunks/s mean, %.1f lowest window" % (name, sum(rates) / len(rates), min(rates)))
    print("CPU: %.2f of a core on average" % (sum(w[3] for w in windows) / len(windows)))
    faults = 0
    for name in LAYERS:
        pictures, lines = decode(os.path.join(work, name + ".h264"))
        faults += len(lines) + (pictures != layer(name))
        print("%s stream: %d chunks, %d pictures decoded, %s" % (name, layer(name), pictures,
              "%d decoder messages" % len(lines) if lines else "no decoder message")
              + "".join("\n  " + line for line in lines[:10]))
    print("diagnostics: %d lines" % len(errors) + "".join("\n  " + line for line in errors[:5]))
    if faults:
        print("streams kept in " + work)
    else:
        subprocess.run(["rm", "-rf", work])

if __name__ == "__main__":
    main()
