#!/usr/bin/env python3
"""The live viewer: a local bridge between nimbra-capture and a browser page
that plays the host. The page (viewer.js) reads the helper's messages,
decodes the video with WebCodecs and steers the helper; the bridge only
carries bytes, so the page is the protocol in code.

  GET  /         the page (index.html, viewer.js)
  GET  /stream   starts the helper and relays its stdout unchanged as a
                 chunked response; the helper ends when the page goes away
  POST /command  one stdin command record, written to the helper as it came

Serves on 127.0.0.1 at a free port, printed at start. Without a display it
starts a private X server with moving content, like the main job.

  tools/viewer/bridge.py --exe build/linux/nimbra-capture -- --source s:0 --low 640x360
"""
import argparse
import http.server
import os
import signal
import subprocess
import sys
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
PAGES = {"/": ("index.html", "text/html; charset=utf-8"),
         "/viewer.js": ("viewer.js", "text/javascript; charset=utf-8")}
MAX_COMMAND = 4 + 1024  # the helper disables commands past this length


class Helper:
    """The one running helper; a new stream replaces it."""

    def __init__(self, exe, helper_args, env):
        self.exe, self.helper_args, self.env = exe, helper_args, env
        self.lock = threading.Lock()
        self.proc = None

    def start(self):
        with self.lock:
            self._stop_locked()
            self.proc = subprocess.Popen([self.exe] + self.helper_args + ["--parent", str(os.getpid())],
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=self.env)
            return self.proc

    def write(self, record):
        with self.lock:
            if self.proc is None or self.proc.poll() is not None:
                return False
            try:
                self.proc.stdin.write(record)
                self.proc.stdin.flush()
                return True
            except (BrokenPipeError, ValueError):
                return False

    def stop(self, proc=None):
        with self.lock:
            if proc is None or proc is self.proc:
                self._stop_locked()

    def _stop_locked(self):
        proc, self.proc = self.proc, None
        if proc is None:
            return
        try:
            proc.stdin.close()  # how a host ends a session
        except BrokenPipeError:
            pass
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    helper = None  # set by main
    port = 0

    def log_message(self, *args):
        pass

    def _local(self):
        # A page from another origin resolved to this address must not drive the helper.
        return self.headers.get("Host") in (f"127.0.0.1:{self.port}", f"localhost:{self.port}")

    def _reply(self, status, body=b"", content_type="text/plain; charset=utf-8"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)
        self.close_connection = status >= 400  # an unread request body must not become the next request

    def do_GET(self):
        if not self._local():
            return self._reply(403)
        if self.path in PAGES:
            name, content_type = PAGES[self.path]
            with open(os.path.join(HERE, name), "rb") as f:
                return self._reply(200, f.read(), content_type)
        if self.path != "/stream":
            return self._reply(404)
        proc = self.helper.start()
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Transfer-Encoding", "chunked")
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        try:
            while data := os.read(proc.stdout.fileno(), 1 << 16):
                self.wfile.write(b"%x\r\n%s\r\n" % (len(data), data))
                self.wfile.flush()
            self.wfile.write(b"0\r\n\r\n")
        except (BrokenPipeError, ConnectionResetError, OSError):
            pass  # the page went away or a newer stream replaced this helper
        finally:
            self.helper.stop(proc)
            proc.stdout.close()  # only now: this thread is the one reading it
        self.close_connection = True

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        if not self._local() or self.path != "/command" or not 5 <= length <= MAX_COMMAND:
            return self._reply(400)
        ok = self.helper.write(self.rfile.read(length))
        self._reply(204 if ok else 409)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", required=True)
    parser.add_argument("helper_args", nargs="*", help="the helper's capture options, after --")
    args = parser.parse_args()

    env = dict(os.environ)
    server = desktop = None
    if not env.get("DISPLAY"):
        sys.path.insert(0, os.path.join(HERE, ".."))
        from desktop import Desktop, Xvfb
        server = Xvfb()
        desktop = Desktop(server.display)
        desktop.start()
        env["DISPLAY"] = server.display
        print("started a private X server on", server.display, flush=True)

    Handler.helper = Helper(os.path.abspath(args.exe), args.helper_args or ["--source", "s:0"], env)
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    httpd.daemon_threads = True
    Handler.port = httpd.server_address[1]
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=httpd.shutdown).start())
    print(f"viewer: http://127.0.0.1:{Handler.port}/", flush=True)
    try:
        httpd.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        Handler.helper.stop()
        httpd.server_close()
        if desktop:
            desktop.stop_flag.set()
            desktop.join()
        if server:
            server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
