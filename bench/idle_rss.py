#!/usr/bin/env python3
"""Resident memory of an IRC server per idle registered client.

    bench/idle_rss.py --port PORT --pid PID [--clients 10000] [--batch 200]

Samples the server's VmRSS, registers CLIENTS clients on 127.0.0.1:PORT (NICK and USER, then waits for
each one's 001: a quorvel node runs with --compat), lets them sit idle, samples again and prints both
samples and the difference per client. Clients connect in batches, each waiting
for the previous one to be welcomed, so that no server sees more unregistered connections from one
address at once than BATCH. Standard library only; the caller's RLIMIT_NOFILE must cover CLIENTS.
"""
import argparse
import json
import selectors
import socket
import sys
import time


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def register_batch(port, first, count, deadline_s):
    """Connects and registers `count` clients; returns their sockets once each was answered."""
    sel = selectors.DefaultSelector()
    socks = []
    for i in range(first, first + count):
        s = socket.create_connection(("127.0.0.1", port))
        s.setblocking(False)
        s.sendall(f"NICK c{i}\r\nUSER u{i} 0 * :idle {i}\r\n".encode())
        sel.register(s, selectors.EVENT_READ, bytearray())
        socks.append(s)
    waiting = count
    deadline = time.monotonic() + deadline_s
    while waiting > 0:
        left = deadline - time.monotonic()
        if left <= 0:
            raise RuntimeError(f"{waiting} of clients {first}..{first + count - 1} were not answered in time")
        for key, _ in sel.select(min(left, 1.0)):
            got = key.fileobj.recv(65536)
            if not got:
                raise RuntimeError("the server closed a client during registration")
            buf = key.data
            buf += got
            if b" 001 " in buf:
                sel.unregister(key.fileobj)
                waiting -= 1
    sel.close()
    return socks


def drain(socks):
    """Reads what is left (the rest of the welcome), so the server holds nothing queued for them."""
    for s in socks:
        try:
            while s.recv(65536):
                pass
        except BlockingIOError:
            pass


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--pid", type=int, required=True)
    ap.add_argument("--clients", type=int, default=10000)
    ap.add_argument("--batch", type=int, default=200)
    ap.add_argument("--deadline", type=float, default=60.0, help="seconds a batch may take to be welcomed")
    ap.add_argument("--idle", type=float, default=3.0, help="seconds to sit idle before the second sample")
    args = ap.parse_args()

    before = rss_kib(args.pid)
    socks = []
    start = time.monotonic()
    for first in range(0, args.clients, args.batch):
        socks += register_batch(args.port, first, min(args.batch, args.clients - first), args.deadline)
    registered_s = time.monotonic() - start
    time.sleep(args.idle)
    drain(socks)
    time.sleep(0.5)
    after = rss_kib(args.pid)
    per_client = (after - before) * 1024 / args.clients
    print(json.dumps({"clients": args.clients, "rss_before_kib": before, "rss_after_kib": after,
                      "bytes_per_client": round(per_client), "registration_s": round(registered_s, 1)}))
    for s in socks:
        s.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
