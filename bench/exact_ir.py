#!/usr/bin/env python3
"""Instructions per message of an exact node, counted by callgrind: a figure that the machine's load
does not move, for comparing two builds where timing is too noisy.

    bench/exact_ir.py [--build build] [--messages 2000] [--batch 20] [--top 25] [--keep DIR]

Starts quorvel-routed and quorvel (no options: the exact replies) as node 1 on 127.0.0.1, the node
under `valgrind --tool=callgrind`; registers a, b, c and d; then counts two phases apart:
  direct   a sends MESSAGES lines "PRIVMSG b :..." in writes of BATCH lines, each write read whole
           at b before the next;
  fan-out  all four join #bench; a sends MESSAGES lines to #bench the same way, read at b, c and d.
Prints each phase's instructions per message and its most costly functions (their own cost).
The routing queue's admission walk costs what the lines waiting at each read do, so the fan-out
figure moves by a few percent from run to run; the direct one by less than one.
Needs valgrind (callgrind_control). Standard library only.
"""
import argparse
import collections
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

STEP_S = 120  # the longest wait for one step under valgrind


def free_ports(n):
    socks = [socket.socket() for _ in range(n)]
    for s in socks:
        s.bind(("127.0.0.1", 0))
    ports = [s.getsockname()[1] for s in socks]
    for s in socks:
        s.close()
    return ports


def wait_for(check, what, seconds=STEP_S):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if check():
            return
        time.sleep(0.1)
    raise RuntimeError(f"timed out waiting for {what}")


class Client:
    def __init__(self, port, nick):
        self.nick = nick
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=STEP_S)
        self.sock.sendall(f"NICK {nick}\r\nUSER {nick} 0 * :{nick}\r\n".encode())

    def read_until(self, needle, count=1):
        """Reads until `needle` was seen `count` times; what was read is dropped."""
        buf = b""
        while buf.count(needle) < count:
            got = self.sock.recv(65536)
            if not got:
                raise RuntimeError(f"the node closed {self.nick}")
            buf += got

    def drain(self):
        self.sock.settimeout(0.5)
        try:
            while self.sock.recv(65536):
                pass
        except socket.timeout:
            pass
        self.sock.settimeout(STEP_S)


def self_costs(path):
    """Each function's own instructions in a callgrind dump written without name compression."""
    costs = collections.Counter()
    fn, after_call = None, False
    with open(path) as dump:
        for line in dump:
            if line.startswith("fn="):
                fn = line[3:].strip()
            elif line.startswith("calls="):
                after_call = True
            elif line[:1].isdigit() or line[:1] in "+-*":
                parts = line.split()
                if len(parts) < 2:
                    continue
                if after_call:
                    after_call = False  # the callee's inclusive cost, counted in its own entry
                else:
                    costs[fn] += int(parts[1])
    return costs


def stream(sender, readers, target, messages, batch, tag):
    sent = 0
    while sent < messages:
        k = min(batch, messages - sent)
        sender.sock.sendall(b"".join(b"PRIVMSG %s :%s %d\r\n" % (target, tag, sent + i) for i in range(k)))
        sent += k
        for r in readers:
            r.read_until(b" :%s " % tag, k)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default="build")
    ap.add_argument("--messages", type=int, default=2000)
    ap.add_argument("--batch", type=int, default=20)
    ap.add_argument("--top", type=int, default=25)
    ap.add_argument("--keep", help="a folder to keep the callgrind dumps in")
    args = ap.parse_args()
    if args.messages < 1 or args.batch < 1:
        ap.error("--messages and --batch take 1 or more")
    if not shutil.which("callgrind_control"):
        print("exact_ir: valgrind is not installed", file=sys.stderr)
        return 77

    work = tempfile.mkdtemp(prefix="quorvel-exact-ir.")
    out = args.keep or work
    os.makedirs(out, exist_ok=True)
    routing, local, server = free_ports(3)
    conf = os.path.join(work, "node.conf")
    with open(conf, "w") as f:
        f.write(f"1 127.0.0.1 {routing} {local} {server}\n")
    procs = []
    try:
        routed_log = os.path.join(work, "routed.log")
        with open(routed_log, "w") as log:
            procs.append(subprocess.Popen([f"{args.build}/routed/quorvel-routed", "-i", "1", "-c", conf],
                                          stdout=log, stderr=log))
        wait_for(lambda: "node 1 ready" in open(routed_log).read(), "the daemon", 5)
        dump = os.path.join(out, "callgrind.out")
        with open(os.path.join(work, "node.log"), "w") as log:
            node = subprocess.Popen(["valgrind", "--tool=callgrind", f"--callgrind-out-file={dump}", "--dump-instr=no",
                                     "--compress-strings=no", "--compress-pos=no", f"{args.build}/quorvel", "1", conf],
                                    stdout=log, stderr=log)
        procs.append(node)

        def listening():
            try:
                socket.create_connection(("127.0.0.1", server), timeout=1).close()
                return True
            except OSError:
                return False
        wait_for(listening, "the node's port")
        time.sleep(1)  # the probe's slot is freed
        clients = [Client(server, nick) for nick in "abcd"]
        time.sleep(3)  # the exact replies welcome nobody: registration is given time, then proved below
        for c in clients:
            c.drain()
        a, members = clients[0], clients[1:]

        def counters(*words):
            subprocess.run(["callgrind_control", *words, str(node.pid)], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        stream(a, [members[0]], b"b", 1, 1, b"warm")
        counters("-z")
        stream(a, [members[0]], b"b", args.messages, args.batch, b"direct")
        counters("-d", "direct")
        for c in clients:
            c.sock.sendall(b"JOIN #bench\r\n")
            c.read_until(b" 366 ")
        time.sleep(2)
        for c in clients:
            c.drain()
        counters("-z")
        stream(a, members, b"#bench", args.messages, args.batch, b"fanout")
        counters("-d", "fanout")

        for part, name in ((1, "direct"), (2, "fan-out")):
            costs = self_costs(f"{dump}.{part}")
            total = sum(costs.values())
            print(f"{name}: {total / args.messages:.0f} instructions per message ({args.messages} messages, "
                  f"writes of {args.batch})")
            for fn, ir in costs.most_common(args.top):
                print(f"  {ir / args.messages:8.1f}  {fn[:100]}")
        return 0
    finally:
        for p in reversed(procs):
            p.terminate()
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
