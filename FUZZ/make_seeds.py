#!/usr/bin/env python3
"""Writes the seed corpora under FUZZ/corpus/<target>/: valid inputs of each
kind. Run again after changing it; the files are committed."""
import base64
import os
import struct
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")

DATA, HEADERS, PRIORITY, RST, SETTINGS, PUSH, PING, GOAWAY, WINDOW, CONT = range(10)
END_STREAM, ACK, END_HEADERS, PADDED, PRIO = 0x1, 0x1, 0x4, 0x8, 0x20


def frame(ftype, flags, sid, payload=b""):
    return struct.pack(">I", len(payload))[1:] + bytes([ftype, flags]) + struct.pack(">I", sid) + payload


def lit(name, value):
    # HPACK literal without indexing, new name, no Huffman.
    n, v = name.encode(), value.encode()
    assert len(n) < 127 and len(v) < 127
    return b"\x00" + bytes([len(n)]) + n + bytes([len(v)]) + v


def block(*pairs):
    return b"".join(lit(n, v) for n, v in pairs)


def settings(*entries):
    return frame(SETTINGS, 0, 0, b"".join(struct.pack(">HI", k, v) for k, v in entries))


def request(sid, method, path, body=b"", extra=(), resize=False):
    # After the client acknowledged a smaller header table, its next header
    # block must begin with a table size update (here to 0).
    hdr = (b"\x20" if resize else b"") + block(
        (":method", method), (":scheme", "http"), (":authority", "fuzz"), (":path", path), *extra)
    if not body:
        return frame(HEADERS, END_HEADERS | END_STREAM, sid, hdr)
    return frame(HEADERS, END_HEADERS, sid, hdr) + frame(DATA, END_STREAM, sid, body)


def response(sid, status, body=b"", extra=(), resize=False):
    hdr = (b"\x20" if resize else b"") + block((":status", status), *extra)
    if not body:
        return frame(HEADERS, END_HEADERS | END_STREAM, sid, hdr)
    return frame(HEADERS, END_HEADERS, sid, hdr) + frame(DATA, END_STREAM, sid, body)


def write(target, name, data):
    d = os.path.join(ROOT, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
SETTINGS_PAYLOAD = struct.pack(">HIHI", 3, 100, 4, 65535)
TOKEN = base64.urlsafe_b64encode(SETTINGS_PAYLOAD).decode().rstrip("=")
ACK_SETTINGS = frame(SETTINGS, ACK, 0)


def upgrade_head(method="GET", path="/", extra=""):
    return (f"{method} {path} HTTP/1.1\r\nHost: fuzz\r\nConnection: Upgrade, HTTP2-Settings\r\n"
            f"Upgrade: h2c\r\nHTTP2-Settings: {TOKEN}\r\n{extra}\r\n").encode()


def seeds():
    # 1. Upgrade request as the client sends it, with and without a body and
    # with the HTTP/2 bytes that follow the 101.
    write("fuzz_upgrade_server", "get", upgrade_head())
    write("fuzz_upgrade_server", "post-body", upgrade_head("POST", "/echo", "Content-Length: 5\r\n") + b"hello")
    write("fuzz_upgrade_server", "get-then-h2", upgrade_head() + PREFACE + settings() + ACK_SETTINGS)
    write("fuzz_upgrade_server", "extra-headers",
          upgrade_head("GET", "/x?q=1", "Accept: */*\r\nUser-Agent: fuzz\r\nX-Note: a\r\n"))
    write("fuzz_upgrade_server", "plain-http1",
          b"POST /x HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nhello")

    # 2. Server engine: shape byte, then frames after the preface.
    s = "fuzz_server_engine"
    for shape, tag in ((0x02, "preface"), (0x82, "upgrade")):
        first = 3 if shape & 0x80 else 1
        write(s, f"{tag}-get", bytes([shape]) + ACK_SETTINGS + request(first, "GET", "/a", resize=True))
        write(s, f"{tag}-post", bytes([shape]) + ACK_SETTINGS + request(first, "POST", "/b", b"hello",
                                                                          (("x-note", "n"),), True))
        write(s, f"{tag}-many", bytes([shape]) + ACK_SETTINGS + b"".join(
            request(first + 2 * i, "GET", f"/{i}", resize=(i == 0)) for i in range(6)))
        write(s, f"{tag}-no-ack", bytes([shape | 0x01]) + b"".join(
            request(first + 2 * i, "POST", f"/{i}", b"body%d" % i) for i in range(3)))
    write(s, "ping-window-rst", bytes([0x02]) + frame(PING, 0, 0, b"12345678") +
          frame(WINDOW, 0, 0, struct.pack(">I", 1000)) + request(1, "POST", "/p", b"x" * 40) +
          frame(RST, 0, 1, struct.pack(">I", 8)) + request(3, "GET", "/after"))
    write(s, "priority-goaway", bytes([0x03]) + frame(PRIORITY, 0, 1, struct.pack(">IB", 0, 16)) +
          request(1, "GET", "/g") + frame(GOAWAY, 0, 0, struct.pack(">II", 1, 0)))
    write(s, "continuation", bytes([0x02]) +
          frame(HEADERS, END_STREAM, 1, block((":method", "GET"), (":scheme", "http"))) +
          frame(CONT, END_HEADERS, 1, block((":authority", "fuzz"), (":path", "/c"))))
    write(s, "padded-data", bytes([0x06]) + frame(HEADERS, END_HEADERS, 1, block(
        (":method", "POST"), (":scheme", "http"), (":authority", "f"), (":path", "/d"))) +
          frame(DATA, PADDED, 1, b"\x03abc\x00\x00\x00") + frame(DATA, END_STREAM, 1, b"def"))
    write(s, "reset-000", bytes([0x02]) + request(1, "POST", "/r", b"\x00zero"))
    write(s, "too-many-429", bytes([0x00]) + b"".join(
        request(1 + 2 * i, "POST", f"/{i}", b"x") for i in range(4)))
    write(s, "big-body", bytes([0x0a]) + request(1, "POST", "/big", b"y" * 3000))

    # 3. Client engine: shape byte, then everything the server sends.
    c = "fuzz_client_engine"
    srv = settings((3, 100), (4, 65535)) + ACK_SETTINGS
    answers = response(1, "200", resize=True) + response(3, "200", b"hello", (("content-type", "text/plain"),)) + \
        response(5, "201", b"0123456789abcdef0123456789abcdef")
    write(c, "preface", bytes([0x00]) + srv + answers)
    up = b"HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: h2c\r\n\r\n"
    write(c, "upgrade", bytes([0x80]) + up + srv + response(1, "200", b"up", resize=True) + response(3, "200") +
          response(5, "200", b"hello") + response(7, "200", b"big"))
    write(c, "preface-rst-goaway", bytes([0x01]) + srv + response(1, "200", resize=True) +
          frame(RST, 0, 3, struct.pack(">I", 11)) + frame(PING, 0, 0, b"abcdefgh") +
          frame(GOAWAY, 0, 0, struct.pack(">II", 3, 0)))
    write(c, "preface-large", bytes([0x02]) + srv + response(1, "200", b"z" * 200, resize=True) +
          frame(WINDOW, 0, 0, struct.pack(">I", 100)))
    write(c, "upgrade-refused", bytes([0x80]) + b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")

    # 4. INI files.
    i = "fuzz_ini"
    write(i, "server", "# server\n[SSL/TLS]\nCERT = /tmp/c.pem\n[THREAD]\nCOUNT = 4\n"
          "[LISTENER]\nHTTP = 8080\nHTTPS=8443\nIP = $(VNF:AMF;sig)\n[HTTP2_OPTIONS]\n"
          "MAX_CONCURRENT_STREAM = 100\nRATIO = 0.5\nDETAIL = true\n")
    write(i, "vnf-braces", "[A]\nX = ${VNF: AMF ; oam }\nY = pre-$(VNF:AMF;sig)-post-$(VNF:AMF;sig)\n"
          "Z = $(VNF:NONE;x)\n")
    write(i, "types", "[N]\ni = -2147483648\nl = 9223372036854775807\nd = 1e308\nb = no\nb2 = Y\n")
    write(i, "duplicate", "[S]\nk = 1\nk = 2\n")
    write(i, "long-line", "[L]\nk = " + "v" * 1100 + "\nnext = 1\n")

    # 5. VNF server lists.
    v = "fuzz_vnf"
    write(v, "list", '{"vnfcConfigurationData":[{"vnfcSpecificData":{"name":"AMF","interfaces":['
          '{"networkInterfaceId":"sig","address":"10.0.0.1"},{"networkInterfaceId":"oam",'
          '"address":"fd00::1"}]}},{"vnfcSpecificData":{"name":"SMF","interfaces":[{'
          '"networkInterfaceId":"n4","address":"10.0.0.2"}]}}]}')
    write(v, "long-address", '{"vnfcConfigurationData":[{"vnfcSpecificData":{"name":"a","interfaces":'
          '[{"networkInterfaceId":"b","address":"' + "1" * 300 + '"}]}}]}')
    write(v, "wrong-types", '{"vnfcConfigurationData":[{"vnfcSpecificData":{"name":5,"interfaces":{}}}]}')
    write(v, "empty", "{}")

    # 6. Log pipe records: 32-byte tag, 64-bit host-order length, text.
    def rec(tag, text):
        t = tag.encode()[:31]
        return t + b"\x00" * (32 - len(t)) + struct.pack("<Q", len(text)) + text
    l = "fuzz_log_pipe"
    write(l, "main", rec("MAIN", b"[    CQIRServiceLog.cpp:      MessageLog:0042] hello\n"))
    write(l, "mixed", rec("MAIN", b"a\n") + rec("T1", b"thread line\n") + rec("UNKNOWN", b"x\n") +
          rec("MAIN", b""))
    write(l, "short", rec("MAIN", b"abc\n")[:20])
    write(l, "too-long", rec("MAIN", b"")[:32] + struct.pack("<Q", 1 << 40) + b"rest")
    write(l, "full", rec("MAIN", b"x" * 4000 + b"\n"))

    # 7. Conversions: selector byte, then the text.
    k = "fuzz_conv"
    write(k, "bcd", b"\x00\x00" + b"0123456789")
    write(k, "tbcd", b"\x00\x01" + b"12345*#abcf")
    write(k, "hex", b"\x00\x03" + b"deadBEEF0")
    write(k, "packed", b"\x00\x04" + bytes([0x12, 0x34, 0x5f, 0xab]))
    write(k, "ipv4", b"\x01" + b"192.168.0.1")
    write(k, "ipv6-prefix", b"\x01" + b"2001:0db8:0000:0000:0000:0000:0000:0000/32")
    write(k, "ipv6-full", b"\x01" + b"fe80::1:2")
    write(k, "prefix-bin", b"\x02" + bytes([0, 64]) + bytes(range(1, 17)))
    write(k, "env", b"\x03\x40" + b"a $(QIRF_A) b $(QIRF_LONG) c $(QIRF_EMPTY)$(QIRF_REF)")
    write(k, "replace", b"\x04\x20" + b"aaa bbb aaa\x00aaa\x00b")
    write(k, "replace-grow", b"\x04\x02" + b"abcabc\x00b\x00bbbb")
    write(k, "time", b"\x05" + b"CCYY-MM-DD hh:mm:ss.XXX\x00" + b"2024-02-29 23:59:58.123")
    write(k, "time-compact", b"\x05" + b"YYYYMMDDhhmmss\x00" + b"20240101000000")
    write(k, "date", b"\x05" + b"CCYY/MM/DD\x00" + b"20240229")
    write(k, "csv", b"\x06," + b";\x00" + b'a,"b,c",,d;e')
    write(k, "base64", b"\x07" + base64.b64encode(SETTINGS_PAYLOAD))
    write(k, "token68", b"\x07" + TOKEN.encode())
    write(k, "lz4", b"\x08\x04" + bytes([0x50]) + b"hello")
    write(k, "trim-json", b"\x09" + b'  {"a": [1, 2, {"b": "c d"}]}  ')

    # 8. Compressed socket frames: shape byte (buffer size, I/O method), frames.
    def lz4_literal(data):
        # One LZ4 block holding only literals.
        n = len(data)
        if n < 15:
            return bytes([n << 4]) + data
        rest, ext = n - 15, b""
        while rest >= 255:
            ext += b"\xff"
            rest -= 255
        return b"\xf0" + ext + bytes([rest]) + data

    def zframe(data):
        b = lz4_literal(data)
        return struct.pack("<ii", len(data), len(b)) + b
    z = "fuzz_lz4_socket"
    write(z, "one", bytes([0x44]) + zframe(b"hello world"))
    write(z, "two-loop", bytes([0xc4]) + zframe(b"a" * 100) + zframe(b"second"))
    write(z, "too-big", bytes([0x41]) + zframe(b"b" * 200))


if __name__ == "__main__":
    seeds()
    sys.exit(0)
