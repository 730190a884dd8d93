"""Desktop-like moving content for a private X server (tools/xvfb.py): a
text window that scrolls a line at a time and a box that slides along the
bottom, on a still background. Used by the main job and the session benchmark."""
import random
import threading
import time

import x11_paint

W, H = 1920, 1080


class Desktop(threading.Thread):
    """Keeps the screen moving like a desktop in use, 30 times a second."""

    def __init__(self, display):
        super().__init__(daemon=True)
        self.painter = x11_paint.Painter(display)
        self.stop_flag = threading.Event()
        background = bytearray(W * 4)
        for x in range(W):
            background[x * 4:x * 4 + 4] = bytes((60 + x // 16 % 40, 90, 120 + x // 30 % 50, 255))
        self.painter.put_bgra(self.painter.root, 0, 0, W, 1, bytes(background))
        for y in range(1, H):  # spread the first row over the screen, server side
            self.painter.copy_area(self.painter.root, 0, 0, 0, y, W, 1)
        self.painter.sync()

    def run(self):
        p = self.painter
        rng = random.Random(1)
        win_x, win_y, win_w, win_h, line = 240, 160, 960, 640, 16
        box = bytes([40, 200, 240, 255]) * (96 * 96)
        frame = 0
        bx = 0
        next_time = time.monotonic()
        while not self.stop_flag.is_set():
            # The text window scrolls by one line and gets a new line of "glyphs".
            p.copy_area(p.root, win_x, win_y + line, win_x, win_y, win_w, win_h - line)
            strip = bytearray(b"\xf0\xf0\xf0\xff" * (win_w * line))
            x = 8
            while x < win_w - 16:
                word = rng.randint(2, 9) * 8
                for gy in range(3, line - 3):
                    for gx in range(x, min(x + word, win_w - 8), 2):
                        strip[(gy * win_w + gx) * 4:(gy * win_w + gx) * 4 + 3] = b"\x20\x20\x20"
                x += word + 8
            p.put_bgra(p.root, win_x, win_y + win_h - line, win_w, line, bytes(strip), sync=False)
            # The top rows never change: they repaint the background behind the box.
            if frame:
                p.copy_area(p.root, bx, 0, bx, 900, 96, 96)
            bx = 100 + (frame * 12) % (W - 300)
            p.put_bgra(p.root, bx, 900, 96, 96, box, sync=False)
            p.sync()
            frame += 1
            next_time += 1 / 30
            time.sleep(max(0.0, next_time - time.monotonic()))
