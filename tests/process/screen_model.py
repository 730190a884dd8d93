"""The helper's pixel pipeline in plain Python, for checking its output
exactly: area scaling (area-weighted mean, rounded half up), the preview
sampler, and BT.601 luma. Only the target pixels asked for are computed."""


def spans(source, target):
    """For each target index: [(source index, weight)], weights in units of 1/target."""
    out = []
    for t in range(target):
        s0 = t * source // target
        s1 = ((t + 1) * source + target - 1) // target
        out.append([(s, min((s + 1) * target, (t + 1) * source) - max(s * target, t * source))
                    for s in range(s0, s1)])
    return out


class AreaScaled:
    """The area-scaled image of a BGRA picture, pixel by pixel on demand."""

    def __init__(self, bgra, sw, sh, tw, th):
        self.src, self.sw, self.sh, self.tw, self.th = bgra, sw, sh, tw, th
        self.identity = sw == tw and sh == th
        self.xs = spans(sw, tw)
        self.ys = spans(sh, th)
        self.area = sw * sh

    def pixel(self, tx, ty):
        """(B, G, R) of the scaled image at (tx, ty)."""
        if self.identity:
            at = (ty * self.sw + tx) * 4
            return self.src[at], self.src[at + 1], self.src[at + 2]
        b = g = r = 0
        src, sw = self.src, self.sw
        for sy, wy in self.ys[ty]:
            row = sy * sw
            for sx, wx in self.xs[tx]:
                w = wx * wy
                at = (row + sx) * 4
                b += w * src[at]
                g += w * src[at + 1]
                r += w * src[at + 2]
        half = self.area // 2
        return (b + half) // self.area, (g + half) // self.area, (r + half) // self.area


def preview_from_scaled(scaled, w, h):
    """The 640 x 360 BGRA preview of a w x h BGRA frame: one sample per pixel, alpha 255."""
    out = bytearray(640 * 360 * 4)
    for y in range(360):
        sy = y * h // 360
        for x in range(640):
            b, g, r = scaled.pixel(x * w // 640, sy)
            at = (y * 640 + x) * 4
            out[at:at + 4] = bytes((b, g, r, 255))
    return bytes(out)


def luma(b, g, r):
    return ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16


def desktop_image(w, h):
    """Screen content with smooth ramps and sharp edges that do not line up with a 3:2 scale."""
    out = bytearray(w * h * 4)
    ramp = bytes((x // 4) & 0xFF for x in range(w))
    for y in range(h):
        g = y * 255 // max(1, h - 1)
        row = bytearray(w * 4)
        row[0::4] = bytes((v + y // 8) & 0xFF for v in ramp)
        row[1::4] = bytes([g]) * w
        row[2::4] = bytes(200 if (x // 125 + y // 95) % 2 else 40 for x in range(w))
        row[3::4] = b"\xff" * w
        out[y * w * 4:(y + 1) * w * 4] = row
    return bytes(out)
