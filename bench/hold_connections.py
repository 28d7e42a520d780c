#!/usr/bin/env python3
"""Holds idle and slow connections against a server until killed.

hold_connections.py PORT IDLE SLOW
  IDLE connections open and send nothing; SLOW connections send the start of a
  request and then one header byte every 2 s, never finishing it. Connections the
  server closes are opened again, so the counts stay up. Prints "ready" once all
  are open, then once a second "held I S reopened N".
"""
import selectors
import socket
import sys
import time

port, idle_count, slow_count = (int(a) for a in sys.argv[1:4])
sel = selectors.DefaultSelector()
conns = {}  # socket -> "idle" | "slow"
reopened = 0


def open_one(kind):
    s = socket.create_connection(("127.0.0.1", port))
    s.setblocking(False)
    if kind == "slow":
        s.send(b"GET /download?file=common.ini HTTP/1.1\r\nHost: h\r\n")
    sel.register(s, selectors.EVENT_READ)
    conns[s] = kind


for _ in range(idle_count):
    open_one("idle")
for _ in range(slow_count):
    open_one("slow")
print("ready", flush=True)

next_trickle = time.monotonic() + 2
next_report = time.monotonic() + 1
while True:
    for key, _ in sel.select(timeout=0.2):
        s = key.fileobj
        try:
            data = s.recv(65536)
        except OSError:
            data = b""
        if not data:
            kind = conns.pop(s)
            sel.unregister(s)
            s.close()
            reopened += 1
            try:
                open_one(kind)
            except OSError:
                pass
    now = time.monotonic()
    if now >= next_trickle:
        next_trickle = now + 2
        for s, kind in list(conns.items()):
            if kind == "slow":
                try:
                    s.send(b"X")
                except OSError:
                    pass
    if now >= next_report:
        next_report = now + 1
        kinds = list(conns.values())
        print("held", kinds.count("idle"), kinds.count("slow"), "reopened", reopened, flush=True)
