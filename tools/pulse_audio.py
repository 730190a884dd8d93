"""A private PulseAudio daemon (null sink "testsink", socket in its own temporary folder) and pacat tone
players, for the audio process test and benchmark."""

import contextlib, math, os, shutil, struct, subprocess, tempfile, threading, time

RATE = 48000
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class PulseDaemon:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="nimbra-pulse-")
        run, config = os.path.join(self.root, "run"), os.path.join(self.root, "home", ".config")
        os.makedirs(run, mode=0o700)
        os.makedirs(config)
        socket = os.path.join(run, "native")
        self.env = dict(os.environ, XDG_RUNTIME_DIR=run, HOME=os.path.dirname(config), XDG_CONFIG_HOME=config,
                        PULSE_SERVER="unix:" + socket)
        self.env.pop("DISPLAY", None)
        self.warmer, self.proc = None, subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
             "--log-target=file:" + os.path.join(self.root, "pa.log"),
             "-L", "module-null-sink sink_name=testsink rate=48000 channels=2 format=s16le",
             "-L", "module-native-protocol-unix socket=%s auth-anonymous=1" % socket], env=self.env, **QUIET)
        deadline = time.monotonic() + 15
        while subprocess.run(["pactl", "info"], env=self.env, capture_output=True).returncode != 0:
            if time.monotonic() > deadline or self.proc.poll() is not None:
                self.stop()
                raise RuntimeError("the private PulseAudio daemon did not come up")
            time.sleep(0.1)
        # An idle null sink runs at 2 s latency and hands its monitors sound late: a quick reader keeps it quick.
        self.warmer = subprocess.Popen(["parec", "-d", "testsink.monitor", "--latency-msec=10"], env=self.env, **QUIET)
        time.sleep(2)

    def named_player(self, name):
        """A copy of pacat whose process name is `name`."""
        path = os.path.join(self.root, name)
        shutil.copy(shutil.which("pacat"), path)
        return path

    def stop(self):
        self.kill()
        shutil.rmtree(self.root, ignore_errors=True)

    def kill(self):
        """The daemon and its monitor reader die as if they crashed."""
        for proc in filter(None, (self.warmer, self.proc)):
            proc.kill()
            proc.wait()


class Player:
    """A sine through pacat (`cycle` is one period, both channels alike) after `silence` seconds of zeros, for
    `seconds` or until stopped, written 10 ms at a time a little ahead of the clock."""

    def __init__(self, daemon, freq, amplitude=8000, seconds=30.0, executable="pacat", silence=0.0, latency_ms=50):
        self.proc = subprocess.Popen(
            [executable, "--playback", "--raw", "--format=s16le", "--rate=48000", "--channels=2",
             "--latency-msec=%d" % latency_ms], env=daemon.env, **dict(QUIET, stdin=subprocess.PIPE))
        period, frames = RATE // math.gcd(RATE, freq), int(seconds * RATE)
        self.cycle = b"".join(struct.pack("<hh", s, s) for s in
                              (int(amplitude * math.sin(2 * math.pi * freq * i / RATE)) for i in range(period)))
        self.quiet = 4 * round(silence * RATE)
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
