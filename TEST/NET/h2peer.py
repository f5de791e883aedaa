#!/usr/bin/env python3
"""A python h2 server for the client engine tests, one connection at a time
on a loopback port it prints first ("port N"). What each path answers: see
answer(); anything else echoes the body. Prints the client's SETTINGS,
request headers, resets and GOAWAYs as they arrive.
    h2peer.py [upgrade]"""
import socket, struct, sys
import h2.config, h2.connection, h2.events as ev

MODE = sys.argv[1] if len(sys.argv) > 1 else ""


def frame(ftype, flags, sid, payload):
    return struct.pack(">I", len(payload))[1:] + bytes([ftype, flags]) + struct.pack(">I", sid) + payload


def answer(s, c, sid, path, body):
    if path == "/silent":
        return
    if path == "/bad-hpack":  # an index far past any table: no decoder reads it
        s.sendall(c.data_to_send() + frame(1, 4, sid, b"\xff\xff\xff\xff\x0f"))
    elif path in ("/rst", "/headers-rst"):
        if path == "/headers-rst":
            c.send_headers(sid, [(":status", "200")])
        c.reset_stream(sid, 11)  # ENHANCE_YOUR_CALM
    else:
        length = [("content-length", "10")] if path == "/bad-length" else []  # then 3 bytes
        out = {"/big": lambda: b"b" * int(body or 0), "/bad-length": lambda: b"abc"}.get(path, lambda: body)()
        c.send_headers(sid, [(":status", "200")] + length)
        c.send_data(sid, out, end_stream=True)
        if path == "/goaway":
            s.sendall(c.data_to_send() + frame(7, 0, 0, struct.pack(">II", sid, 0)))


def serve(s):
    c = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False, header_encoding="utf-8"))
    paths, bodies = {}, {}
    if MODE == "upgrade":
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
