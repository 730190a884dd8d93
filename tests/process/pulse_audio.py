"""A private PulseAudio daemon, tone players and a helper session that keeps
every message with its arrival time: what the audio process test and the
audio benchmark share.

The daemon listens on a socket in its own temporary folder only (null sink
"testsink", no autospawn, nothing else of the machine's sound). Players are
pacat children fed by a thread; a copy of the pacat executable under another
name makes a player whose process name is that name.
"""

import math
import os
import select
import shutil
import struct
import subprocess
import tempfile
import threading
import time

RATE = 48000


class PulseDaemon:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="nimbra-pulse-")
        run = os.path.join(self.root, "run")
        home = os.path.join(self.root, "home")
        os.makedirs(run, mode=0o700)
        os.makedirs(os.path.join(home, ".config"))
        self.env = dict(os.environ, XDG_RUNTIME_DIR=run, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                        PULSE_SERVER="unix:" + os.path.join(run, "native"))
        self.env.pop("DISPLAY", None)
        self.proc = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
             "--log-target=file:" + os.path.join(self.root, "pa.log"),
             "-L", "module-null-sink sink_name=testsink rate=48000 channels=2 format=s16le",
             "-L", "module-native-protocol-unix socket=%s auth-anonymous=1" % os.path.join(run, "native")],
            env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.warmer = None
        deadline = time.monotonic() + 15
        while subprocess.run(["pactl", "info"], env=self.env, capture_output=True).returncode != 0:
            if time.monotonic() > deadline or self.proc.poll() is not None:
                self.stop()
                raise RuntimeError("the private PulseAudio daemon did not come up")
            time.sleep(0.1)
        # An idle null sink runs at 2 s latency and hands its monitors sound
        # late; a low-latency reader of its monitor keeps it quick.
        self.warmer = subprocess.Popen(["parec", "-d", "testsink.monitor", "--latency-msec=10"], env=self.env,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(2)

    def named_player(self, name):
        """A copy of pacat called `name`: its process name is that name."""
        path = os.path.join(self.root, name)
        if not os.path.exists(path):
            shutil.copy(shutil.which("pacat"), path)
        return path

    def kill(self):
        """The daemon dies as if it crashed; the warmer goes with it."""
        self.proc.kill()
        self.proc.wait()

    def stop(self):
        for proc in (self.warmer, self.proc):
            if proc and proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        shutil.rmtree(self.root, ignore_errors=True)


class Player:
    """Plays a sine (stereo, both channels alike) through pacat for `seconds`,
    or until stopped; silence first when `silence` seconds are given."""

    def __init__(self, daemon, freq, amplitude=8000, seconds=30.0, executable="pacat", silence=0.0):
        self.proc = subprocess.Popen(
            [executable, "--playback", "--raw", "--format=s16le", "--rate=48000", "--channels=2",
             "--latency-msec=10", "--client-name=tone%d" % freq],
            env=daemon.env, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.freq, self.amplitude = freq, amplitude
        self.started_sound = None  # monotonic time of the first audible write
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._feed, args=(seconds, silence), daemon=True)
        self.thread.start()

    def _feed(self, seconds, silence):
        block = RATE // 100  # 10 ms
        quiet = round(silence * RATE)
        period = RATE // math.gcd(RATE, self.freq)  # frames after which the tone repeats exactly
        cycle = [int(self.amplitude * math.sin(2 * math.pi * self.freq * i / RATE)) for i in range(period)]
        tone = struct.pack("<%dh" % (2 * period), *[v for v in cycle for _ in (0, 1)])
        total = quiet + round(seconds * RATE)
        begun = time.monotonic()
        written = 0
        try:
            while written < total and not self.stopping.is_set():
                if written < quiet:
                    data = bytes(4 * min(block, quiet - written))
                else:
                    at = (written - quiet) % period
                    count = min(block, total - written)
                    data = (tone * (1 + (at + count) // period + 1))[4 * at:4 * (at + count)]
                    if self.started_sound is None:
                        self.started_sound = time.monotonic()
                self.proc.stdin.write(data)
                self.proc.stdin.flush()
                written += len(data) // 4
                ahead = begun + written / RATE - 0.03 - time.monotonic()  # keep 30 ms queued, as a player does
                if ahead > 0:
                    time.sleep(ahead)
        except (BrokenPipeError, ValueError):
            pass
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass

    def stop(self):
        self.stopping.set()
        self.thread.join(5)
        if self.proc.poll() is None:
            self.proc.terminate()
        self.proc.wait(5)


class Helper:
    """A running helper; a thread gathers its messages as (time, kind, payload)."""

    def __init__(self, command, env):
        self.proc = subprocess.Popen(command, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.messages = []
        self.stderr = bytearray()
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        raw = bytearray()
        out, err = self.proc.stdout.fileno(), self.proc.stderr.fileno()
        open_fds = {out, err}
        while open_fds:
            for fd in select.select(list(open_fds), [], [], 0.5)[0]:
                chunk = os.read(fd, 1 << 16)
                if not chunk:
                    open_fds.discard(fd)
                elif fd == err:
                    self.stderr += chunk
                else:
                    now = time.monotonic()
                    raw += chunk
                    while len(raw) >= 5 and len(raw) >= 4 + int.from_bytes(raw[0:4], "little"):
                        length = int.from_bytes(raw[0:4], "little")
                        with self.lock:
                            self.messages.append((now, raw[4], bytes(raw[5:4 + length])))
                        del raw[:4 + length]

    def request_key_frames(self, period=0.1):
        """Asks for a key frame every `period` from a thread, so that a still
        screen keeps the video flowing; the answers are the kind-2 messages."""
        def ask():
            try:
                while self.proc.poll() is None:
                    self.proc.stdin.write(struct.pack("<IB", 1, 10))
                    self.proc.stdin.flush()
                    time.sleep(period)
            except (BrokenPipeError, ValueError, OSError):
                pass
        threading.Thread(target=ask, daemon=True).start()

    def of_kind(self, kinds, after=0.0, before=float("inf")):
        with self.lock:
            return [m for m in self.messages if m[1] in kinds and after <= m[0] < before]

    def wait_for(self, predicate, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self.lock:
                found = [m for m in self.messages if predicate(m)]
            if found:
                return found[0]
            time.sleep(0.01)
        return None

    def thread_cpu(self, name):
        """CPU seconds used so far by this process's threads called `name`."""
        total = 0
        task = "/proc/%d/task" % self.proc.pid
        for tid in os.listdir(task):
            try:
                with open(os.path.join(task, tid, "comm")) as f:
                    if f.read().strip() != name:
                        continue
                with open(os.path.join(task, tid, "stat")) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                total += int(fields[11]) + int(fields[12])  # utime, stime
            except OSError:
                pass
        return total / os.sysconf("SC_CLK_TCK")

    def close(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.reader.join(5)
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if not stream.closed:
                stream.close()


def left_channel(pcm):
    samples = struct.unpack("<%dh" % (len(pcm) // 2), pcm)
    return samples[0::2]


def power(samples, freq):
    """Goertzel: the power of `freq` in the samples."""
    k = 2 * math.cos(2 * math.pi * freq / RATE)
    s1 = s2 = 0.0
    for x in samples:
        s1, s2 = x + k * s1 - s2, s1
    return s1 * s1 + s2 * s2 - k * s1 * s2


def dominant(samples, low, high, step):
    return max((power(samples, low + i * step), low + i * step) for i in range(int((high - low) / step) + 1))[1]
