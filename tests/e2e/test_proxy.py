"""The fault proxy in front of a real dblinkd, driven by a client that speaks the requester
protocol: u32 length, a 36-byte header (u16 call, u16 version, u32 table, class, operation,
key number, key length, record length, position row id, data length), key, data; the reply
is u32 length, i32 status, u32 row id, record."""
import socket
import struct
import unittest

from plxharness import HarnessCase, _read_frame

HELLO, GET_PATH, OPERATION = 1, 3, 4
STATUS_TABLE, INSERT_CLASS, INSERT_OP, STATUS_ROW_SIZE = 303, 101, 200, 277
DOC = {"servers": [{"ServerId": 1, "ServerName": "SRV"}],
       "installed": [{"Server": "SRV", "Item": "SISITE", "Path": "", "Second": "HQ"}]}


def frame(call, table=0, cls=0, op=0, key=b"", data=b"", record_length=0):
    body = struct.pack("<HHIIIIIIII", call, 1, table, cls, op, 0, len(key), record_length, 0, len(data))
    return struct.pack("<I", len(body) + len(key) + len(data)) + body + key + data


def status_row(pid):
    """A workstation's status row (Scheduled 0) of package pid, target kind 8."""
    rec = bytearray(STATUS_ROW_SIZE)
    struct.pack_into("<IIIHI", rec, 12, 1, pid, 0, 1, 8)
    rec[30:34] = b"WS01"
    return frame(OPERATION, STATUS_TABLE, INSERT_CLASS, INSERT_OP, bytes(4), bytes(rec), STATUS_ROW_SIZE)


def exchange(sock, request):
    """The reply's (status, data), or None when the link was closed."""
    try:
        sock.sendall(request)
    except ConnectionError:
        return None
    reply = _read_frame(sock)
    return None if reply is None else (struct.unpack_from("<i", reply, 4)[0], reply[12:])


class ProxyTest(HarnessCase):

    def test_cut_at_every_request_in_both_modes(self):
        requests = [frame(HELLO), frame(GET_PATH, key=b"SRV", data=b"SISITE"), status_row(7)]
        # (cut at, forward the cut request, refuse later links)
        for cut_at, forward, refuse in [(n, f, r) for n in (1, 2, 3) for f in (False, True) for r in (True, False)]:
            with self.subTest(cut_at=cut_at, forward=forward, refuse=refuse):
                svc = self.h.service(DOC)
                px = self.h.proxy(svc.port, cut_at=cut_at, forward=forward, refuse=refuse)
                with socket.create_connection(("127.0.0.1", px.port), 30) as s:
                    replies = [exchange(s, r) for r in requests[:cut_at]]
                self.assertEqual([r[0] for r in replies[:-1]], [0] * (cut_at - 1))
                self.assertIsNone(replies[-1])
                self.assertTrue(px.cut)
                if cut_at == 2:
                    self.assertEqual(replies[0], (0, b""))
                # The row is stored only when the cut request went through.
                stored = cut_at == 3 and forward
                self.assertEqual(len(svc.status(7)), 1 if stored else 0)
                with socket.create_connection(("127.0.0.1", px.port), 30) as s:
                    again = exchange(s, requests[1])
                self.assertEqual(again, None if refuse else (0, b"\0HQ\0"))
                self.assertEqual((px.requests, px.connections), (cut_at + (not refuse), 2))

    def test_without_a_cut_every_frame_is_counted_and_answered(self):
        svc = self.h.service(DOC)
        px = self.h.proxy(svc.port)
        for _ in range(2):
            with socket.create_connection(("127.0.0.1", px.port), 30) as s:
                self.assertEqual([exchange(s, frame(HELLO))[0], exchange(s, status_row(9))[0]], [0, 0])
        self.assertEqual(len(svc.status(9)), 2)
        self.assertEqual((px.requests, px.connections, px.cut), (4, 2, False))

if __name__ == "__main__":
    unittest.main()
