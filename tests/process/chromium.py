"""Headless Chromium driven over the DevTools protocol on a pipe (JSON messages ending in a zero byte, read by
the browser on fd 3, written on fd 4), with no network beyond loopback."""

import contextlib, ctypes, fcntl, json, os, select, signal, subprocess, time


def adopt_orphans():
    """Chromium's helpers outlive the browser by a moment: adopted, reap_children() collects them instead of
    leaving zombies under an init that may not reap."""
    ctypes.CDLL(None).prctl(36, 1)  # PR_SET_CHILD_SUBREAPER


def reap_children(timeout=10):
    deadline = time.monotonic() + timeout
    with contextlib.suppress(ChildProcessError):
        while time.monotonic() < deadline:
            if os.waitpid(-1, os.WNOHANG) == (0, 0):
                time.sleep(0.05)


class Browser:
    def __init__(self, profile, log):
        to_browser, self.to_browser = os.pipe()
        self.from_browser, from_browser = os.pipe()

        def on_fds_3_and_4():
            high = [fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (to_browser, from_browser)]
            os.dup2(high[0], 3)
            os.dup2(high[1], 4)

        self.proc = subprocess.Popen(
            ["/usr/bin/chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
             "--user-data-dir=" + profile, "--no-first-run", "--no-default-browser-check",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--disable-default-apps", "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
             "--proxy-server=127.0.0.1:9", "--window-size=1300,1000", "about:blank"],
            pass_fds=(3, 4), preexec_fn=on_fds_3_and_4, start_new_session=True, stdin=subprocess.DEVNULL,
            stdout=log, stderr=log)
        os.close(to_browser)
        os.close(from_browser)
        self.buffer, self.console, self.next_id, self.session = b"", [], 0, None

    def call(self, method, timeout=30, **params):
        """The result of one method; console lines and exceptions met on the way are kept in `console`."""
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if self.session and not method.startswith(("Target.", "Browser.")):
            message["sessionId"] = self.session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            while b"\0" not in self.buffer:
                if not select.select([self.from_browser], [], [], max(0, deadline - time.monotonic()))[0]:
                    raise TimeoutError(method)
                if not (chunk := os.read(self.from_browser, 1 << 16)):
                    raise EOFError(method)
                self.buffer += chunk
            text, self.buffer = self.buffer.split(b"\0", 1)
            reply = json.loads(text)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply["result"]
            if reply.get("method") in ("Runtime.consoleAPICalled", "Runtime.exceptionThrown"):
                self.console.append(json.dumps(reply["params"])[:400])

    def open(self, url):
        """Opens `url` in a new tab; later calls go to that page."""
        target = self.call("Target.createTarget", url=url)["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        self.call("Runtime.enable")

    def evaluate(self, expression):
        """The value of a JavaScript expression in the page (promises awaited)."""
        result = self.call("Runtime.evaluate", expression=expression, awaitPromise=True, returnByValue=True)
        if "exceptionDetails" in result:
            raise RuntimeError(json.dumps(result["exceptionDetails"])[:400])
        return result["result"].get("value")

    def close(self):
        with contextlib.suppress(Exception):  # killed below
            self.call("Browser.close", timeout=5)
        os.killpg(self.proc.pid, signal.SIGKILL)  # whatever is left of its group: not reaped yet, it keeps its id
        self.proc.wait()
        os.close(self.to_browser)
        os.close(self.from_browser)
