#!/usr/bin/env python3
"""Application audio of the Linux helper against a private PulseAudio daemon
(and a private X server for the video it runs beside).

  CPU: the "sys-audio" thread (and the scan and PulseAudio threads beside
  it) while three applications play for --seconds, as a share of one core
  (goal: "sys-audio" under 1 %), and as a ratio to parec recording the same
  sink's monitor for the same time (the reference reader of that sound).
  Latency: from the first audible write of a player to the first kind-4
  chunk (goal: under 100 ms, priming included), for a player that starts
  with sound (new session: scan, client, priming) and for one whose stream
  was open and silent first (priming only). Median and best of --runs each; a busy
  machine shows in the spread (the load average is printed beside it).

  bench/audio_bench.py --exe build/linux/nimbra-capture [--seconds 20] [--runs 5]
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "process"))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))

import harness  # noqa: E402
import pulse_audio  # noqa: E402


def process_cpu(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def latency(helper, daemon, silence):
    player = pulse_audio.Player(daemon, 440, 8000, seconds=1.5, silence=silence, latency_ms=10)
    try:
        deadline = time.monotonic() + silence + 3
        while player.started_sound is None and time.monotonic() < deadline:
            time.sleep(0.005)
        first = helper.wait_for(lambda m: m[1] == 4 and m[0] >= player.started_sound, 3)
        return None if first is None else first[0] - player.started_sound
    finally:
        player.stop()
        time.sleep(1.0)  # the plan forgets the player before the next run


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--runs", type=int, default=5)
    options = parser.parse_args()

    xvfb = harness.Xvfb("640x360x24")
    daemon = pulse_audio.PulseDaemon()
    helper = harness.Helper([os.path.abspath(options.exe), "--source", "s:0", "--parent", str(os.getpid()),
                                 "--audio", "1", "--fps", "10", "--width", "320", "--height", "180"],
                                dict(daemon.env, DISPLAY=xvfb.display))
    try:
        if helper.wait_for(lambda m: m[1] == 1 and b'"audio"' in m[2], 10) is None:
            sys.exit("no audio status")
        time.sleep(1)

        results = {}
        for name, silence in (("new player", 0.0), ("open stream", 1.0)):
            runs = [latency(helper, daemon, silence) for _ in range(options.runs)]
            got = [r * 1000 for r in runs if r is not None]
            results[name] = got
            print("latency, %-11s: median %5.1f ms, best %5.1f ms  (runs: %s; load average %.1f)" % (
                name, statistics.median(got) if got else float("nan"), min(got, default=float("nan")),
                ", ".join("%.1f" % g for g in got), os.getloadavg()[0]))

        players = [pulse_audio.Player(daemon, f, 6000, seconds=options.seconds + 4) for f in (440, 550, 660)]
        time.sleep(2)
        threads = ("sys-audio", "sys-audio-scan", "threaded-ml")
        before = {t: helper.thread_cpu(t) for t in threads}
        reference = subprocess.Popen(["parec", "-d", "testsink.monitor", "--latency-msec=10", "--rate=48000",
                                      "--channels=2", "--format=s16le"], env=daemon.env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        begun = time.monotonic()
        time.sleep(options.seconds)
        span = time.monotonic() - begun
        used = {t: helper.thread_cpu(t) - before[t] for t in threads}
        parec = process_cpu(reference.pid)
        reference.terminate()
        reference.wait()
        for player in players:
            player.stop()
        for t in threads:
            print("CPU, three players, %-15s %6.3f %% of a core" % (t + ":", 100 * used[t] / span))
        print("CPU, parec on the monitor:          %6.3f %% of a core" % (100 * parec / span))
        if parec > 0:
            print("ratio sys-audio / parec:            %6.2f" % (used["sys-audio"] / parec))
        print("goals: sys-audio < 1 %% of a core: %s; latency < 100 ms: %s" % (
            "met" if used["sys-audio"] / span < 0.01 else "MISSED",
            "met" if all(g and statistics.median(g) < 100 for g in results.values()) else "MISSED"))
    finally:
        helper.close()
        daemon.stop()
        xvfb.stop()


if __name__ == "__main__":
    main()
