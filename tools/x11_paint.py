"""A minimal X11 client in plain Python: enough of the core protocol to put
known pixels on a test's private X server (windows, images, server-side
copies), without any X library."""

import socket
import struct

OP_CREATE_WINDOW, OP_DESTROY_WINDOW, OP_MAP_WINDOW = 1, 4, 8
OP_GET_INPUT_FOCUS, OP_CREATE_GC, OP_COPY_AREA, OP_PUT_IMAGE = 43, 55, 62, 72


class XError(Exception):
    pass


def _pad(n):
    return (4 - n % 4) % 4


class Painter:
    def __init__(self, display):
        number = display.lstrip(":").split(".")[0]
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(f"/tmp/.X11-unix/X{number}")
        self.sock.sendall(struct.pack("<BxHHHHxx", ord("l"), 11, 0, 0, 0))
        head = self._read(8)
        if head[0] != 1:
            raise XError("X server refused the connection")
        extra = struct.unpack_from("<H", head, 6)[0] * 4
        body = self._read(extra)
        (_, self.id_base, self.id_mask, _, vendor_len, self.max_request, screens, formats) = struct.unpack_from(
            "<IIIIHHBB", body, 0)
        at = 32 + vendor_len + _pad(vendor_len) + 8 * formats
        self.root, _, _, _, _, self.width, self.height = struct.unpack_from("<IIIIIHH", body, at)
        self.root_visual = struct.unpack_from("<I", body, at + 32)[0]
        self.root_depth = body[at + 38]
        self.next_id = 0
        self.gc = self._new_id()
        self._request(OP_CREATE_GC, 0, struct.pack("<III", self.gc, self.root, 0))
        self.sync()

    def _read(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise XError("X server closed the connection")
            data += chunk
        return data

    def _new_id(self):
        self.next_id += 1
        return self.id_base | (self.next_id & self.id_mask)

    def _request(self, opcode, data_byte, body):
        body += b"\0" * _pad(len(body))
        self.sock.sendall(struct.pack("<BBH", opcode, data_byte, (len(body) + 4) // 4) + body)

    def sync(self):
        """Returns once the server has carried out everything sent before; raises on an X error."""
        self._request(OP_GET_INPUT_FOCUS, 0, b"")
        while True:
            packet = self._read(32)
            if packet[0] == 0:
                raise XError(f"X error {packet[1]} for request {packet[10]}")
            if packet[0] == 1:
                return
            # events are of no interest here

    def create_window(self, x, y, w, h, background=0):
        window = self._new_id()
        self._request(OP_CREATE_WINDOW, 0, struct.pack(
            "<IIhhHHHHIII", window, self.root, x, y, w, h, 0, 1, 0, 0x2, background))
        self.map(window)
        return window

    def map(self, window):
        self._request(OP_MAP_WINDOW, 0, struct.pack("<I", window))
        self.sync()

    def destroy(self, window):
        self._request(OP_DESTROY_WINDOW, 0, struct.pack("<I", window))
        self.sync()

    def put_bgra(self, drawable, x, y, w, h, bgra, sync=True):
        """Draws a BGRA image (the fourth byte is ignored by a depth-24 drawable)."""
        rows = max(1, (self.max_request * 4 - 64) // (w * 4))
        for top in range(0, h, rows):
            n = min(rows, h - top)
            data = bgra[top * w * 4:(top + n) * w * 4]
            self._request(OP_PUT_IMAGE, 2, struct.pack("<IIHHhhBBxx", drawable, self.gc, w, n, x, y + top, 0, 24)
                          + bytes(data))
        if sync:
            self.sync()

    def copy_area(self, drawable, src_x, src_y, dst_x, dst_y, w, h):
        self._request(OP_COPY_AREA, 0, struct.pack("<IIIhhhhHH", drawable, drawable, self.gc,
                                                     src_x, src_y, dst_x, dst_y, w, h))

    def close(self):
        self.sock.close()

