"""What the audio process test and the audio benchmark share: a private
PulseAudio daemon (null sink "testsink" on a socket in its own temporary
folder, nothing else of the machine's sound), pacat tone players, and a helper
session that keeps every message with its arrival time."""

import contextlib
import math
import os
import shutil
import struct
import subprocess
import tempfile
import threading
import time

RATE = 48000
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class PulseDaemon:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="nimbra-pulse-")
        run, config = os.path.join(self.root, "run"), os.path.join(self.root, "home", ".config")
        os.makedirs(run, mode=0o700)
        os.makedirs(config)
        self.env = dict(os.environ, XDG_RUNTIME_DIR=run, HOME=os.path.dirname(config), XDG_CONFIG_HOME=config,
                        PULSE_SERVER="unix:" + os.path.join(run, "native"))
        self.env.pop("DISPLAY", None)
        self.proc = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
             "--log-target=file:" + os.path.join(self.root, "pa.log"),
             "-L", "module-null-sink sink_name=testsink rate=48000 channels=2 format=s16le",
             "-L", "module-native-protocol-unix socket=%s auth-anonymous=1" % os.path.join(run, "native")],
            env=self.env, **QUIET)
        self.warmer = None
        deadline = time.monotonic() + 15
        while subprocess.run(["pactl", "info"], env=self.env, capture_output=True).returncode != 0:
            if time.monotonic() > deadline or self.proc.poll() is not None:
                self.stop()
                raise RuntimeError("the private PulseAudio daemon did not come up")
            time.sleep(0.1)
        # An idle null sink runs at 2 s latency and hands its monitors sound
        # late; a low-latency reader of its monitor keeps it quick.
        self.warmer = subprocess.Popen(["parec", "-d", "testsink.monitor", "--latency-msec=10"], env=self.env, **QUIET)
        time.sleep(2)

    def named_player(self, name):
        """A copy of pacat called `name`: its process name is that name."""
        path = os.path.join(self.root, name)
        if not os.path.exists(path):
            shutil.copy(shutil.which("pacat"), path)
        return path

    def stop(self):
        self.kill()
        shutil.rmtree(self.root, ignore_errors=True)

    def kill(self):
        """The daemon and its monitor reader die as if they crashed."""
        for proc in (self.warmer, self.proc):
            if proc:
                proc.kill()
                proc.wait()


class Player:
    """Plays a sine through pacat (both channels alike; `cycle` holds the
    frames of one period), after `silence` seconds of zeros, for `seconds` or
    until stopped, written 10 ms at a time a little ahead of the clock."""

    def __init__(self, daemon, freq, amplitude=8000, seconds=30.0, executable="pacat", silence=0.0, latency_ms=50):
        self.proc = subprocess.Popen(
            [executable, "--playback", "--raw", "--format=s16le", "--rate=48000", "--channels=2",
             "--latency-msec=%d" % latency_ms], env=daemon.env, **dict(QUIET, stdin=subprocess.PIPE))
        period = RATE // math.gcd(RATE, freq)
        self.cycle = b"".join(struct.pack("<hh", s, s) for s in
                              (int(amplitude * math.sin(2 * math.pi * freq * i / RATE)) for i in range(period)))
        self.quiet, frames = 4 * round(silence * RATE), int(seconds * RATE)
        self.signal = bytes(self.quiet) + (self.cycle * (1 + frames // period))[:4 * frames]
        self.started_sound = None  # monotonic time of the first audible write
        self.lead = latency_ms / 1000 + 0.05  # so that a busy machine does not starve pacat
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._feed, daemon=True)
        self.thread.start()

    def _feed(self):
        block, begun = 4 * RATE // 100, time.monotonic()
        with contextlib.suppress(OSError, ValueError), self.proc.stdin:
            for at in range(0, len(self.signal), block):
                if self.stopping.is_set():
                    break
                if self.started_sound is None and at >= self.quiet:
                    self.started_sound = time.monotonic()
                self.proc.stdin.write(self.signal[at:at + block])
                self.proc.stdin.flush()
                time.sleep(max(0.0, begun + (at + block) / (4 * RATE) - self.lead - time.monotonic()))

    def stop(self):
        self.stopping.set()
        self.thread.join(5)
        self.proc.terminate()
        self.proc.wait(5)


class Helper:
    """A running helper; a thread gathers its messages as (time, kind, payload)."""

    def __init__(self, command, env):
        self.proc = subprocess.Popen(command, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.messages = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while len(head := self.proc.stdout.read(5)) == 5:
            payload = self.proc.stdout.read(int.from_bytes(head[:4], "little") - 1)
            self.messages.append((time.monotonic(), head[4], payload))  # appending is atomic

    def request_key_frames(self, period=0.1):
        """Asks for a key frame every `period`: on a still screen the video (kind 2) keeps flowing."""
        def ask():
            with contextlib.suppress(ValueError, OSError):
                while self.proc.poll() is None:
                    self.proc.stdin.write(struct.pack("<IB", 1, 10))
                    self.proc.stdin.flush()
                    time.sleep(period)
        threading.Thread(target=ask, daemon=True).start()

    def of_kind(self, kinds, after=0.0, before=float("inf")):
        return [m for m in list(self.messages) if m[1] in kinds and after <= m[0] < before]

    def wait_for(self, predicate, timeout):
        deadline = time.monotonic() + timeout
        while not (found := [m for m in list(self.messages) if predicate(m)]) and time.monotonic() < deadline:
            time.sleep(0.005)
        return found[0] if found else None

    def thread_cpu(self, name):
        """CPU seconds used so far by this process's threads called `name`."""
        total, task = 0, "/proc/%d/task/" % self.proc.pid
        for tid in os.listdir(task):
            with contextlib.suppress(OSError), open(task + tid + "/comm") as comm, open(task + tid + "/stat") as stat:
                if comm.read().strip() == name:
                    total += sum(int(v) for v in stat.read().rsplit(")", 1)[1].split()[11:13])  # utime, stime
        return total / os.sysconf("SC_CLK_TCK")

    def close(self):
        with contextlib.suppress(OSError):
            self.proc.stdin.close()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        self.reader.join(5)
        self.proc.stdout.close()
