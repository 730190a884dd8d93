#!/usr/bin/env python3
"""The main job: a short capture session of the screen with the low layer on,
kept as files a person can open: capture.mp4 (main stream), low.mp4 (low
layer), preview.png (the last preview), plus the raw .h264 streams.

Without a display it starts a private X server with moving content on it.

  tools/demo_session.py --exe build/linux/nimbra-capture --out out --seconds 10
"""
import argparse
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from desktop import Desktop  # noqa: E402
from xvfb import Xvfb  # noqa: E402
from host_client import Host, KIND_NAMES  # noqa: E402


def mux(h264, mp4, fps):
    if os.path.getsize(h264) == 0 or not shutil.which("ffmpeg"):
        return False
    done = subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-r", str(fps), "-i", h264, "-c", "copy", mp4])
    return done.returncode == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--out", default="out")
    parser.add_argument("--seconds", type=float, default=10.0)
    args = parser.parse_args()

    server = desktop = None
    env = dict(os.environ)
    if not env.get("DISPLAY"):
        server = Xvfb()
        desktop = Desktop(server.display)
        desktop.start()
        env["DISPLAY"] = server.display
        print("started a private X server on", server.display)
    try:
        helper_args = ["--source", "s:0", "--fps", "30", "--low", "640x360", "--low-fps", "15"]
        print("$ nimbra-capture " + " ".join(helper_args) + " --parent <this process>")
        host = Host(args.exe, helper_args, args.out, env=env)
        host.send(11)  # the low layer stays silent until the host asks for it
        try:
            host.proc.wait(args.seconds)
        except subprocess.TimeoutExpired:
            pass
        status = host.finish()  # closing stdin is how a host ends the session
    finally:
        if desktop:
            desktop.stop_flag.set()
            desktop.join()
        if server:
            server.stop()

    print("exit status", status)
    for kind in sorted(host.counts):
        print(f"  {KIND_NAMES.get(kind, kind)}: {host.counts[kind]} messages")
    made = [name for name, ok in (("capture.mp4", mux(os.path.join(args.out, "main.h264"),
                                                       os.path.join(args.out, "capture.mp4"), 30)),
                                  ("low.mp4", mux(os.path.join(args.out, "low.h264"),
                                                  os.path.join(args.out, "low.mp4"), 15)),
                                  ("preview.png", os.path.exists(os.path.join(args.out, "preview.png"))))
            if ok]
    print("files in", os.path.abspath(args.out) + ":", ", ".join(made))
    return 0 if status == 0 and "capture.mp4" in made else 1


if __name__ == "__main__":
    sys.exit(main())
