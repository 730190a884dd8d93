"""Watch mode's byte formats as a host speaks them: an H.264 byte stream cut
into access units, each framed as one WatchPacket (plain Annex-B, or
length-prefixed NAL units with the AVC configuration record on key frames),
and the PictureRecord records that come back."""
import re
import struct

KEY, DELTA = 2, 3


def nal_units(stream):
    """Splits Annex-B into NAL units without their start codes (nor the zeros of four-byte ones)."""
    return re.split(rb"\x00{2,}\x01", stream)[1:]


def access_units(stream):
    """Groups NAL units into access units, one coded picture each."""
    units, current, has_picture = [], [], False
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


def packet(kind, payload):
    return bytes((kind,)) + struct.pack(">I", len(payload)) + payload


def avcc(sps_list, pps_list, length_size=4):
    """An AVC decoder configuration record."""
    sps = sps_list[0]
    out = bytes((1, sps[1], sps[2], sps[3], 0xFC | (length_size - 1), 0xE0 | len(sps_list)))
    for s in sps_list:
        out += struct.pack(">H", len(s)) + s
    out += bytes((len(pps_list),))
    for p in pps_list:
        out += struct.pack(">H", len(p)) + p
    return out


def is_key(unit):
    return any(n[0] & 31 == 5 for n in unit)


def annexb_packets(stream):
    """Each access unit as it is, parameter sets included, without a description."""
    return [packet(KEY if is_key(au) else DELTA, b"\x00\x00" + b"".join(b"\x00\x00\x00\x01" + n for n in au))
            for au in access_units(stream)]


def avcc_packets(stream, length_size=4):
    """Length-prefixed NAL units; key packets carry the configuration record instead of in-band sets."""
    out = []
    for au in access_units(stream):
        sps = [n for n in au if n[0] & 31 == 7]
        pps = [n for n in au if n[0] & 31 == 8]
        frame = b"".join(len(n).to_bytes(length_size, "big") + n for n in au if n[0] & 31 not in (7, 8))
        description = avcc(sps, pps, length_size) if is_key(au) and sps and pps else b""
        out.append(packet(KEY if is_key(au) else DELTA, struct.pack(">H", len(description)) + description + frame))
    return out


def read_up_to(stream, n):
    """Up to n bytes: fewer only where the stream ends."""
    data = b""
    while len(data) < n:
        chunk = stream.read(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def read_records(stream):
    """Yields each PictureRecord of a byte stream as (width, height, RGBA pixels); refuses a torn one."""
    while header := read_up_to(stream, 12):
        if len(header) < 12:
            raise ValueError("torn record header")
        count, width, height = struct.unpack(">III", header)
        if count != width * height * 4 or len(pixels := read_up_to(stream, count)) < count:
            raise ValueError(f"torn or bad record: {count} bytes for {width}x{height}")
        yield width, height, pixels
