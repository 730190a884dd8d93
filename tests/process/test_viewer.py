"""The live viewer (tools/viewer) in headless Chromium, host of a session on a private X server showing
pure colour patches and a moving box; the page's own counters and canvases are read back. Linux only."""

import contextlib, ctypes, json, os, select, shutil, subprocess, sys, tempfile, time, unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

import harness


BRIDGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "viewer", "bridge.py")
PATCHES = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (128, 128, 128)]  # 240-pixel squares: 80 even at 640x360
BACKGROUND = bytes((40, 40, 40, 255))
STATE = """return window.viewer && JSON.stringify({handshake: viewer.handshake, counts: viewer.counts,
  errors: viewer.errors,
  layers: Object.fromEntries(Object.values(viewer.layers).map(l => [l.name,
    {fed: l.fed, decoded: l.decoded, supported: l.supported, colorSpace: l.colorSpace}]))})"""
PIXELS = """return Array.from(document.getElementById(%r).getContext("2d").getImageData(%d, %d, 5, 5).data)"""


def reap_children(timeout=10):
    """Chromium's helpers outlive the browser by a moment: adopted (PR_SET_CHILD_SUBREAPER), they are collected
    here instead of being left as zombies under an init that may not reap."""
    deadline = time.monotonic() + timeout
    with contextlib.suppress(ChildProcessError):
        while time.monotonic() < deadline:
            if os.waitpid(-1, os.WNOHANG) == (0, 0):
                time.sleep(0.05)


def browser(profile):
    """Headless Chromium through chromedriver, both on loopback, with no network beyond it."""
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--user-data-dir=" + profile,
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1", "--proxy-server=127.0.0.1:9"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver", log_path=os.devnull), options=options)


class ViewerTest(unittest.TestCase):
    def setUp(self):
        if harness.TARGET.platform != "linux":
            self.skipTest("the viewer runs the Linux build")
        ctypes.CDLL(None).prctl(36, 1)  # PR_SET_CHILD_SUBREAPER
        self.addCleanup(reap_children)
        self.temp = tempfile.mkdtemp(prefix="nimbra-viewer-")
        self.addCleanup(shutil.rmtree, self.temp, True)
        xvfb, painter = harness.screen(self, BACKGROUND * (1920 * 1080))
        for i, (r, g, b) in enumerate(PATCHES):
            painter.put_bgra(painter.root, 120 + 420 * i, 180, 240, 240, bytes((b, g, r, 255)) * 240 ** 2)
        self.display = xvfb.display
        harness.keep_a_box_moving(self, self.display, 700, BACKGROUND)  # delta chunks in both layers

    def wait_for(self, what, condition, timeout=20):
        state, deadline = None, time.monotonic() + timeout
        while time.monotonic() < deadline:
            if (state := json.loads(self.browser.execute_script(STATE) or "null")) and condition(state):
                return state
            time.sleep(0.1)
        console = [entry["message"] for entry in self.browser.get_log("browser")]
        self.fail(f"{what}: not within {timeout} s; the page saw {state}\n" + "\n".join(console[-20:]))

    def test_session_decodes_in_chromium_with_true_colours(self):
        bridge = subprocess.Popen([sys.executable, BRIDGE, "--exe", harness.TARGET.exe, "--", "--source", "s:0",
                                   "--low", "640x360", "--low-fps", "15"],
                                  env=dict(os.environ, DISPLAY=self.display), stdout=subprocess.PIPE)
        self.addCleanup(bridge.stdout.close)
        self.addCleanup(lambda: bridge.poll() is None and bridge.terminate())
        line = bridge.stdout.readline().decode().strip() if select.select([bridge.stdout], [], [], 20)[0] else ""
        self.assertRegex(line, r"^viewer: http://127\.0\.0\.1:\d+/$")
        self.browser = browser(os.path.join(self.temp, "profile"))
        self.addCleanup(self.browser.quit)
        self.browser.get(line.split()[1])

        state = self.wait_for("main pictures and a preview", lambda s: s["layers"]["main"]["decoded"] >= 20
                              and s["counts"].get("7"))
        self.assertEqual(state["handshake"], {"codec": "avc1.64002a", "height": 720, "port": 0, "width": 1280,
                                              "low": {"codec": "avc1.64002a", "height": 360, "width": 640}})
        self.assertNotIn("5", state["counts"], "the low layer is off until the host asks")
        self.browser.execute_script('document.getElementById("low-on").click()')
        self.wait_for("low pictures", lambda s: s["layers"]["low"]["decoded"] >= 10)
        self.browser.execute_script("return viewer.stop()")
        state = json.loads(self.browser.execute_script(STATE))
        self.assertEqual(state["errors"], [])
        for layer, kinds, scale in (("main", ("2", "3"), 2 / 3), ("low", ("5", "6"), 1 / 3)):
            sent, got = sum(state["counts"].get(k, 0) for k in kinds), state["layers"][layer]
            self.assertEqual((got["supported"], got["fed"], got["decoded"]), (True, sent, sent), layer)
            self.assertEqual((got["colorSpace"]["matrix"], got["colorSpace"]["fullRange"]), ("smpte170m", False))
            for i, colour in enumerate(PATCHES):
                x, y = round((240 + 420 * i) * scale) - 2, round(300 * scale) - 2  # the patch's middle
                pixels = self.browser.execute_script(PIXELS % (layer, x, y))
                worst = max(abs(pixels[p + c] - colour[c]) for p in range(0, len(pixels), 4) for c in range(3))
                self.assertLessEqual(worst, 4, f"{layer} patch {i}: {pixels[:3]} for {colour}")
        bridge.terminate()
        self.assertEqual(harness.wait_status(bridge, 10), 0)


if __name__ == "__main__":
    harness.main()
