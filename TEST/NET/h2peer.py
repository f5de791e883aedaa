#!/usr/bin/env python3
"""A python h2 server for the client engine tests, one connection at a time
on a loopback port it prints first ("port N"). What each path answers: see
answer(); anything else echoes the body. Prints the client's SETTINGS,
request headers, resets and GOAWAYs as they arrive.
    h2peer.py [hold N BEFORE LAST CODE AFTER [partial] [upgrade]]
The hold mode keeps the answers until N requests are in: it answers the
first BEFORE, sends GOAWAY(CODE) with the stream of request LAST as
last-stream-id (none when LAST is -1), waits 0.2 s, answers the requests
after BEFORE up to AFTER (in order of arrival), with partial starts the
answers of the rest (HEADERS and part of the body), and closes; with
upgrade the client starts with the HTTP/1.1 upgrade."""
import socket, struct, sys, time
import h2.config, h2.connection, h2.events as ev

MODE = sys.argv[1] if len(sys.argv) > 1 else ""
HOLD = [int(a) for a in sys.argv[2:7]] if MODE == "hold" else None
PARTIAL = "partial" in sys.argv[7:]
UPGRADE = "upgrade" in sys.argv[7:]


def frame(ftype, flags, sid, payload):
    return struct.pack(">I", len(payload))[1:] + bytes([ftype, flags]) + struct.pack(">I", sid) + payload


def answer(s, c, sid, path, body):
    if path == "/silent":
        return
    if path == "/bad-hpack":  # an index far past any table: no decoder reads it
        s.sendall(c.data_to_send() + frame(1, 4, sid, b"\xff\xff\xff\xff\x0f"))
    elif path in ("/rst", "/headers-rst", "/refuse"):
        if path == "/headers-rst":
            c.send_headers(sid, [(":status", "200")])
        c.reset_stream(sid, 7 if path == "/refuse" else 11)  # REFUSED_STREAM, ENHANCE_YOUR_CALM
    else:
        length = [("content-length", "10")] if path == "/bad-length" else []  # then 3 bytes
        out = {"/big": lambda: b"b" * int(body or 0), "/bad-length": lambda: b"abc"}.get(path, lambda: body)()
        c.send_headers(sid, [(":status", "200")] + length)
        c.send_data(sid, out, end_stream=True)


def hold(s, c, held, bodies):
    n, before, last, code, after = HOLD
    for sid in held[:before]:
        answer(s, c, sid, "/", bodies.get(sid, b""))
    out = c.data_to_send()
    if last >= 0:
        out += frame(7, 0, 0, struct.pack(">II", held[last - 1] if last > 0 else 0, code))
    s.sendall(out)
    time.sleep(0.2)
    for sid in held[before:after]:
        answer(s, c, sid, "/", bodies.get(sid, b""))
    if PARTIAL:
        for sid in held[max(before, after):]:
            c.send_headers(sid, [(":status", "200")])
            c.send_data(sid, b"part")
    s.sendall(c.data_to_send())
    # A close with unread input would reset the connection: end the
    # sending side, read until the client is done or 1 s passed.
    s.shutdown(socket.SHUT_WR)
    s.settimeout(1)
    try:
        while s.recv(65536):
            pass
    except OSError:
        pass


def serve(s):
    c = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False, header_encoding="utf-8"))
    paths, bodies, held = {}, {}, []
    if UPGRADE:
        head = b""
        while b"\r\n\r\n" not in head and len(head) < 4096:
            head += s.recv(1) or b"\r\n\r\n"
        token = head.split(b"HTTP2-Settings: ")[1].split(b"\r\n")[0]
        s.sendall(b"HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: h2c\r\n\r\n")
        c.initiate_upgrade_connection(token)
        answer(s, c, 1, "/", b"upgrade")
    else:
        c.initiate_connection()
    s.sendall(c.data_to_send())
    while True:
        data = s.recv(65536)
        if not data:
            return
        try:
            events = c.receive_data(data)
        except Exception:  # frames after the client's GOAWAY
            events = []
        for e in events:
            if isinstance(e, ev.RemoteSettingsChanged):
                print("settings", *("%d=%d" % (k, v.new_value) for k, v in e.changed_settings.items()))
            elif isinstance(e, ev.RequestReceived):
                paths[e.stream_id] = dict(e.headers)[":path"]
                print("headers", e.stream_id, "|".join("%s=%s" % h for h in e.headers))
            elif isinstance(e, ev.DataReceived):
                bodies[e.stream_id] = bodies.get(e.stream_id, b"") + e.data
                c.acknowledge_received_data(e.flow_controlled_length, e.stream_id)
            elif isinstance(e, ev.StreamEnded) and HOLD:
                held.append(e.stream_id)
                if len(held) == HOLD[0]:
                    hold(s, c, held, bodies)
                    return
            elif isinstance(e, ev.StreamEnded):
                answer(s, c, e.stream_id, paths[e.stream_id], bodies.get(e.stream_id, b""))
            elif isinstance(e, ev.StreamReset):
                print("reset", e.stream_id, int(e.error_code))
            elif isinstance(e, ev.ConnectionTerminated):
                print("goaway", int(e.error_code))
        sys.stdout.flush()
        s.sendall(c.data_to_send())


listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(4)
listener.settimeout(60)
print("port", listener.getsockname()[1], flush=True)
while True:
    conn = listener.accept()[0]
    conn.settimeout(30)
    try:
        serve(conn)
    except (OSError, IndexError):
        pass
    conn.close()
