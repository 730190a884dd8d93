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
    """Plays a sine through pacat (both channels alike), after `silence`
    seconds of zeros, for `seconds` or until stopped."""

    def __init__(self, daemon, freq, amplitude=8000, seconds=30.0, executable="pacat", silence=0.0, latency_ms=50):
        self.proc = subprocess.Popen(
            [executable, "--playback", "--raw", "--format=s16le", "--rate=48000", "--channels=2",
             "--latency-msec=%d" % latency_ms],
            env=daemon.env, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        period = RATE // math.gcd(RATE, freq)  # frames after which the tone repeats exactly
        cycle = struct.pack("<%dh" % (2 * period), *[int(amplitude * math.sin(2 * math.pi * freq * (i // 2) / RATE))
                                                     for i in range(2 * period)])
        self.quiet = 4 * round(silence * RATE)
        self.signal = bytes(self.quiet) + (cycle * (1 + int(seconds * RATE) // period))[:4 * int(seconds * RATE)]
        self.started_sound = None  # monotonic time of the first audible write
        self.lead = latency_ms / 1000 + 0.05  # queued ahead of pacat, so that a busy machine does not starve it
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._feed, daemon=True)
        self.thread.start()

    def _feed(self):
        block, begun = 4 * RATE // 100, time.monotonic()  # 10 ms
        try:
            for at in range(0, len(self.signal), block):
                if self.stopping.is_set():
                    break
                if self.started_sound is None and at >= self.quiet:
                    self.started_sound = time.monotonic()
                self.proc.stdin.write(self.signal[at:at + block])
                self.proc.stdin.flush()
                time.sleep(max(0.0, begun + (at + block) / (4 * RATE) - self.lead - time.monotonic()))
            self.proc.stdin.close()
        except (BrokenPipeError, ValueError):
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
        self.errors = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(command, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.errors)
        self.messages = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        out = self.proc.stdout
        while len(head := out.read(5)) == 5:
            payload = out.read(int.from_bytes(head[:4], "little") - 1)
            self.messages.append((time.monotonic(), head[4], payload))  # appending is atomic

    def stderr(self):
        self.errors.seek(0)
        return self.errors.read().decode(errors="replace")

    def request_key_frames(self, period=0.1):
        """Asks for a key frame every `period`, so that a still screen keeps the
        video flowing; the answers are the kind-2 messages."""
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
        return [m for m in list(self.messages) if m[1] in kinds and after <= m[0] < before]

    def wait_for(self, predicate, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = [m for m in list(self.messages) if predicate(m)]
            if found:
                return found[0]
            time.sleep(0.005)
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
                    total += sum(int(v) for v in f.read().rsplit(")", 1)[1].split()[11:13])  # utime, stime
            except OSError:
                pass
        return total / os.sysconf("SC_CLK_TCK")

    def close(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(10)
        except (subprocess.TimeoutExpired, BrokenPipeError):
            self.proc.kill()
            self.proc.wait()
        self.reader.join(5)
        self.proc.stdout.close()
        self.errors.close()


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
