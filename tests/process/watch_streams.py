"""H.264 test streams for watch mode, made by the ffmpeg command-line tool,
framed as WatchPacket records, and the pictures the host should get back."""
import os
import re
import struct
import subprocess

MAX_PAYLOAD = 1048576


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-v", "error", "-y", *args], check=True)


def make_stream(path, width, height, frames, extra=()):
    """A moving test pattern encoded by ffmpeg's libx264 as raw Annex-B."""
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={width}x{height}:rate=30", "-frames:v", str(frames),
           "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", *extra, "-f", "h264", path)
    with open(path, "rb") as f:
        return f.read()


def decode_nv12(path, width, height):
    """ffmpeg's own decode, as NV12 pictures at the stream's display size."""
    out = path + ".nv12"
    ffmpeg("-i", path, "-f", "rawvideo", "-pix_fmt", "nv12", out)
    with open(out, "rb") as f:
        data = f.read()
    os.remove(out)
    size = width * height * 3 // 2
    return [data[i:i + size] for i in range(0, len(data), size)]


def nv12_to_rgba(nv12, w, h):
    """BT.601 limited range, integer factors scaled by 256, luma floored at 16."""
    cache = {}
    out = bytearray(w * h * 4)
    chroma = w * h
    o = 0
    for r in range(h):
        row = r * w
        crow = chroma + (r // 2) * w
        for c in range(w):
            key = (nv12[row + c] << 16) | (nv12[crow + (c & ~1)] << 8) | nv12[crow + (c & ~1) + 1]
            px = cache.get(key)
            if px is None:
                lum = max(key >> 16, 16)
                t = 298 * lum - 4640
                d = ((key >> 8) & 255) - 128
                e = (key & 255) - 128

                def clamp(v):
                    return 0 if v < 256 else min(v >> 8, 255)

                px = bytes((clamp(t + 409 * e), clamp(t - 100 * d - 208 * e), clamp(t + 516 * d), 255))
                cache[key] = px
            out[o:o + 4] = px
            o += 4
    return bytes(out)


def nal_units(stream):
    """Splits Annex-B into NAL units without their start codes (nor the zeros of four-byte ones)."""
    return re.split(rb"\x00{2,}\x01", stream)[1:]


def access_units(stream):
    """Groups NAL units into access units (one coded picture each)."""
    units = []
    current = []
    has_picture = False
    for nal in nal_units(stream):
        kind = nal[0] & 31
        first_slice = kind in (1, 5) and nal[1] & 0x80
        if has_picture and (kind in (6, 7, 8, 9) or first_slice):
            units.append(current)
            current, has_picture = [], False
        current.append(nal)
        has_picture = has_picture or kind in (1, 5)
    if current:
        units.append(current)
    return units


def avcc(sps_list, pps_list, length_size=4):
    sps = sps_list[0]
    out = bytes((1, sps[1], sps[2], sps[3], 0xFC | (length_size - 1), 0xE0 | len(sps_list)))
    for s in sps_list:
        out += struct.pack(">H", len(s)) + s
    out += bytes((len(pps_list),))
    for p in pps_list:
        out += struct.pack(">H", len(p)) + p
    return out


def packet(kind, payload):
    return bytes((kind,)) + struct.pack(">I", len(payload)) + payload


def annexb_packets(stream):
    """Each access unit as it is, start codes and parameter sets included."""
    out = []
    for au in access_units(stream):
        key = any(n[0] & 31 == 5 for n in au)
        frame = b"".join(b"\x00\x00\x00\x01" + n for n in au)
        out.append(packet(2 if key else 3, b"\x00\x00" + frame))
    return out


def avcc_packets(stream, length_size=4):
    """Length-prefixed NAL units; key packets carry the configuration."""
    out = []
    for au in access_units(stream):
        sps = [n for n in au if n[0] & 31 == 7]
        pps = [n for n in au if n[0] & 31 == 8]
        key = any(n[0] & 31 == 5 for n in au)
        frame = b"".join(n[0:0] + len(n).to_bytes(length_size, "big") + n for n in au if n[0] & 31 not in (7, 8))
        description = avcc(sps, pps, length_size) if key and sps and pps else b""
        out.append(packet(2 if key else 3, struct.pack(">H", len(description)) + description + frame))
    return out


def parse_records(data):
    """PictureRecord stream → list of (width, height, pixels); refuses leftovers."""
    records = []
    at = 0
    while at < len(data):
        if len(data) - at < 12:
            raise ValueError("truncated record header")
        count, w, h = struct.unpack_from(">III", data, at)
        at += 12
        if count != w * h * 4 or len(data) - at < count:
            raise ValueError(f"bad record {count} {w}x{h}")
        records.append((w, h, data[at:at + count]))
        at += count
    return records
