#!/usr/bin/env python3
"""A small host for nimbra-capture: starts the helper, steers it with stdin
commands, reads every message it writes and keeps what it got.

The helper's protocol, as this host speaks it:

  stdin  (host -> helper), capture mode: records of
           u32 little-endian length L, then L payload bytes; byte 0 is the command
           10 = key frame on the main stream, 11 = low layer on (and a key frame),
           12 = low layer off, 13 = key frame on the low layer.
           Closing stdin ends the helper (status 0).
  stdout (helper -> host): messages of
           u32 little-endian length N (kind byte + payload), kind byte, N - 1 payload bytes
           1 = JSON (first the handshake; later {"error": ...}, {"low_err": ...}, audio status)
           2 = main H.264 key chunk, 3 = main H.264 chunk (Annex-B)
           4 = audio PCM (48 kHz stereo s16le, 20 ms)
           5 = low H.264 key chunk, 6 = low H.264 chunk
           7 = preview: 640 x 360 BGRA, alpha 255, 921,600 bytes
  stderr: diagnostic lines, each beginning with "[capture] ", "[audio] " or "[gpu-check] ".

Example:
  tools/host_client.py --exe build/linux/nimbra-capture --seconds 5 \
      --at 2:11 --at 4:10 --out /tmp/session -- --source s:0 --low 640x360
"""
import argparse
import contextlib
import json
import os
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

KIND_NAMES = {1: "json", 2: "main key", 3: "main", 4: "audio", 5: "low key", 6: "low", 7: "preview"}
PREVIEW_W, PREVIEW_H = 640, 360


def command_record(code):
    return struct.pack("<I", 1) + bytes([code])


def read_exact(stream, n):
    data = b""
    while len(data) < n:
        chunk = stream.read(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def read_messages(stream):
    """Yields (kind, payload) until the stream ends."""
    while True:
        header = read_exact(stream, 5)
        if header is None:
            return
        length, kind = struct.unpack("<IB", header)
        payload = read_exact(stream, length - 1) if length > 1 else b""
        if payload is None:
            return
        yield kind, payload


def process_usage(pid):
    """(CPU seconds so far, resident kilobytes of the memory the process made)
    of a running process, from /proc. Anonymous and shared pages only: the
    kernel may drop file pages such as the program's code at any time (this
    machine's proactive reclaim does), which says nothing about growth."""
    with open("/proc/%d/stat" % pid) as stat, open("/proc/%d/status" % pid) as status:
        ticks = stat.read().rsplit(")", 1)[1].split()[11:13]
        made = sum(int(line.split()[1]) for line in status if line.startswith(("RssAnon:", "RssShmem:")))
    return sum(map(int, ticks)) / os.sysconf("SC_CLK_TCK"), made


def png_from_rgba(rgba, width, height):
    """A PNG file of 8-bit RGBA pixels, rows top to bottom without padding."""
    stride = width * 4
    rows = b"".join(b"\x00" + rgba[y * stride:(y + 1) * stride] for y in range(height))

    def chunk(tag, data):
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 6)) + chunk(b"IEND", b"")


def png_from_bgra(bgra, width, height):
    rgba = bytearray(bgra)
    rgba[0::4], rgba[2::4] = bgra[2::4], bgra[0::4]
    return png_from_rgba(bytes(rgba), width, height)


def wait_status(proc, timeout):
    """The exit status, or None after killing a process that outlived `timeout`."""
    try:
        return proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        return None


class Helper:
    """A running helper; a thread keeps every message it writes as (arrival time, kind, payload).
    The reader may also hold its reads (`reading = "held"`) or close its end ("closed"), as a bad host would."""

    def __init__(self, command, env):
        self.err = tempfile.TemporaryFile()  # not a pipe: a Wine service the helper starts would hold it
        self.proc = subprocess.Popen(command, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.err)
        self.messages, self.reading = [], "on"
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for kind, payload in read_messages(self.proc.stdout):
            self.messages.append((time.monotonic(), kind, payload))
            while self.reading == "held":
                time.sleep(0.02)
            if self.reading == "closed":
                self.proc.stdout.close()
                return

    def of_kind(self, kinds, after=0.0, before=float("inf")):
        return [m for m in list(self.messages) if m[1] in kinds and after <= m[0] < before]

    def payloads(self, *kinds):
        return [m[2] for m in self.of_kind(kinds)]

    def wait_for(self, predicate, timeout=10):
        """The first message that meets `predicate` within `timeout` seconds, or None."""
        deadline = time.monotonic() + timeout
        while not (found := [m for m in list(self.messages) if predicate(m)]) and time.monotonic() < deadline:
            time.sleep(0.005)
        return found[0] if found else None

    def first(self, kind, timeout=10, after=0.0):
        return self.wait_for(lambda m: m[1] == kind and m[0] > after, timeout)

    def send(self, code):
        self.proc.stdin.write(command_record(code))
        self.proc.stdin.flush()

    def thread_cpu(self, name):
        """CPU seconds used so far by this process's threads called `name`."""
        total, task = 0, "/proc/%d/task/" % self.proc.pid
        for tid in os.listdir(task):
            with contextlib.suppress(OSError), open(task + tid + "/comm") as comm, open(task + tid + "/stat") as stat:
                if comm.read().strip() == name:
                    total += sum(int(v) for v in stat.read().rsplit(")", 1)[1].split()[11:13])  # utime, stime
        return total / os.sysconf("SC_CLK_TCK")

    def usage(self):
        return process_usage(self.proc.pid)

    def close(self, timeout=10):
        """Closes stdin: (status or None if it had to be killed, seconds it took, stderr lines)."""
        closed = time.monotonic()
        with contextlib.suppress(OSError):
            self.proc.stdin.close()
        status = wait_status(self.proc, timeout)
        took = time.monotonic() - closed
        self.reader.join(5)
        self.proc.stdout.close()
        with self.err:
            self.err.seek(0)
            return status, took, self.err.read().decode(errors="replace").splitlines()


class Host:
    def __init__(self, exe, helper_args, out_dir, env=None, stderr=None):
        self.out_dir = out_dir
        os.makedirs(out_dir, exist_ok=True)
        args = list(helper_args)
        if "--parent" not in args:
            args += ["--parent", str(os.getpid())]
        self.proc = subprocess.Popen([exe] + args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=stderr, env=env)
        self.counts = {}
        self.first_at = {}
        self.json = []
        self.last_preview = None
        self.started = time.monotonic()
        self.files = {"main": open(os.path.join(out_dir, "main.h264"), "wb"),
                      "low": open(os.path.join(out_dir, "low.h264"), "wb"),
                      "audio": open(os.path.join(out_dir, "audio.pcm"), "wb")}
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for kind, payload in read_messages(self.proc.stdout):
            self.counts[kind] = self.counts.get(kind, 0) + 1
            self.first_at.setdefault(kind, time.monotonic() - self.started)
            if kind == 1:
                self.json.append(json.loads(payload.decode("utf-8", "replace")))
            elif kind in (2, 3):
                self.files["main"].write(payload)
            elif kind in (5, 6):
                self.files["low"].write(payload)
            elif kind == 4:
                self.files["audio"].write(payload)
            elif kind == 7:
                self.last_preview = payload

    def send(self, code):
        self.proc.stdin.write(command_record(code))
        self.proc.stdin.flush()

    def finish(self, timeout=5.0):
        with contextlib.suppress(BrokenPipeError):
            self.proc.stdin.close()
        wait_status(self.proc, timeout)  # killed when it outlives the timeout
        self.reader.join(timeout)
        for f in self.files.values():
            f.close()
        if self.last_preview is not None and len(self.last_preview) == PREVIEW_W * PREVIEW_H * 4:
            with open(os.path.join(self.out_dir, "preview.png"), "wb") as f:
                f.write(png_from_bgra(self.last_preview, PREVIEW_W, PREVIEW_H))
        return self.proc.returncode


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--out", default="host-out")
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--at", action="append", default=[], metavar="SECONDS:CODE",
                        help="send command CODE at SECONDS after the start")
    parser.add_argument("helper_args", nargs="*", help="the helper's own options, after --")
    args = parser.parse_args()

    schedule = sorted((float(t), int(c)) for t, c in (item.split(":") for item in args.at))
    host = Host(args.exe, args.helper_args or ["--source", "s:0"], args.out)
    for at, code in schedule:
        time.sleep(max(0.0, host.started + at - time.monotonic()))
        if host.proc.poll() is not None:
            break
        host.send(code)
    time.sleep(max(0.0, host.started + args.seconds - time.monotonic()))
    status = host.finish()

    print("status", status)
    for message in host.json:
        print("json", json.dumps(message, sort_keys=True))
    for kind in sorted(host.counts):
        print(f"{KIND_NAMES.get(kind, kind)}: {host.counts[kind]} messages, first after {host.first_at[kind]:.3f} s")
    print("files in", args.out)
    return 0 if status == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
