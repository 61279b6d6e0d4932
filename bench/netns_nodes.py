"""Real nodes and daemons in a network namespace of the run's own, for the scripts in bench/: what
the run starts is ended by PID on every exit path, and the namespace is deleted with it."""

import ctypes
import os
import select
import signal
import socket
import struct
import subprocess
import tempfile
import time

TIMING = ["-a", "1", "-n", "3", "-r", "1"]
IRC_PORT = 6667
CLONE_NEWNET = 0x40000000


def sh(*cmd):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=20)


def wait_until(probe, seconds, step=0.05):
    deadline = time.monotonic() + seconds
    for _ in range(int(seconds / step) + 2):
        if probe():
            return True
        if time.monotonic() >= deadline:
            break
        time.sleep(step)
    return probe()


def listening(host, port=IRC_PORT):
    with socket.socket() as s:
        # Closed with a reset, so that the probe leaves no TIME_WAIT of its own behind.
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        return s.connect_ex((host, port)) == 0


def enter_namespace(ns):
    # The clients' sockets must live beside the nodes; Python 3.11 has no os.setns.
    libc = ctypes.CDLL(None, use_errno=True)
    fd = os.open(f"/run/netns/{ns}", os.O_RDONLY)
    try:
        if libc.setns(fd, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns")
    finally:
        os.close(fd)


class Run:
    """What the run started, so that every exit path ends exactly that and nothing else."""

    def __init__(self, prog, build_dir):
        self.prog = prog
        self.server = os.path.join(build_dir, "quorvel")
        self.routed = os.path.join(build_dir, "routed", "quorvel-routed")
        for binary in (self.server, self.routed):
            if not os.access(binary, os.X_OK):
                raise SystemExit(f"{prog}: {binary} is missing; build first (cmake --build {build_dir})")
        self.ns = f"quorvel-{prog}-{os.getpid()}"
        self.ns_made = False
        self.procs = []  # (what, Popen, log path), in start order
        self.dir = tempfile.mkdtemp(prefix=f"quorvel-{prog}.")

    def enter(self, sysctls=()):
        """Makes the namespace and moves this process into it; False where namespaces are refused."""
        if sh("ip", "netns", "add", self.ns).returncode != 0:
            return False
        self.ns_made = True
        for cmd in (["ip", "link", "set", "lo", "up"], *[["sysctl", "-w", s] for s in sysctls]):
            r = sh("ip", "netns", "exec", self.ns, *cmd)
            if r.returncode != 0:
                self.fail(f"{' '.join(cmd)} failed: {r.stdout.strip()}")
        enter_namespace(self.ns)
        return True

    def start(self, what, *cmd):
        log = os.path.join(self.dir, what.replace(" ", "-") + ".log")
        with open(log, "wb") as out:
            proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        self.procs.append((what, proc, log))
        return proc, log

    def config(self, lines, key=None, name="nodes.conf"):
        conf = os.path.join(self.dir, name)
        with open(conf, "w") as f:
            f.write("".join(line + "\n" for line in lines))
        if key:
            fd = os.open(os.path.join(self.dir, "network.key"), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
            os.write(fd, os.urandom(32))
            os.close(fd)
        return conf

    def key_path(self):
        return os.path.join(self.dir, "network.key")

    def daemon(self, node, conf, extra=()):
        proc, log = self.start(f"routed {node}", self.routed, "-i", str(node), "-c", conf, *TIMING, *extra)
        ready = f"Routing daemon of node {node} ready".encode()
        if not wait_until(lambda: proc.poll() is None and ready in open(log, "rb").read(), 5):
            self.fail(f"the routing daemon of node {node} did not come up")
        return proc

    def node(self, node, conf, extra=(), what=None):
        proc, _ = self.start(what or f"quorvel {node}", self.server, str(node), conf, *TIMING, *extra)
        if not wait_until(lambda: proc.poll() is None and listening(f"127.0.0.{node}"), 5):
            self.fail(f"node {node} never listened on 127.0.0.{node}:{IRC_PORT}")
        return proc

    def cleanup(self):
        # A second Ctrl-C must not cut the cleanup short and leave processes or the namespace behind.
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)
        # Newest first, so that no server outlives the daemon it would link to again.
        for _, proc, _ in reversed(self.procs):
            if proc.poll() is None:
                proc.send_signal(signal.SIGCONT)
                proc.terminate()
        for _, proc, _ in reversed(self.procs):
            try:
                proc.wait(timeout=3)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=3)
        if self.ns_made:
            sh("ip", "netns", "del", self.ns)
        for name in os.listdir(self.dir):
            os.unlink(os.path.join(self.dir, name))
        os.rmdir(self.dir)

    def fail(self, why):
        for what, proc, log in self.procs:
            with open(log, "rb") as f:
                tail = f.read()[-600:].decode(errors="replace").strip()
            state = "running" if proc.poll() is None else f"exited {proc.returncode}"
            print(f"{self.prog}: {what} (pid {proc.pid}, {state}) log ends: {tail!r}", flush=True)
        raise SystemExit(f"{self.prog}: {why}")


class Client:
    def __init__(self, host, nick, source=None, timeout=2, port=IRC_PORT):
        self.nick = nick
        self.sock = socket.create_connection((host, port), timeout=timeout,
                                             source_address=(source, 0) if source else None)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = b""
        self.closed = False

    def lines(self, timeout):
        """The complete lines that arrive within the timeout; [] on none, EOFError when closed."""
        ready, _, _ = select.select([self.sock], [], [], timeout)
        if not ready:
            return []
        try:
            data = self.sock.recv(1 << 16)
        except ConnectionResetError:
            data = b""
        if not data:
            self.closed = True
            raise EOFError(f"node closed {self.nick}'s connection")
        self.buf += data
        *done, self.buf = self.buf.split(b"\r\n")
        return done

    def wait_for(self, text, seconds):
        deadline = time.monotonic() + seconds
        for _ in range(10000):
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            for line in self.lines(left):
                if text in line:
                    return line
        return None

    def send(self, text):
        self.sock.sendall(text.encode())

    def register(self, seconds=5):
        self.send(f"NICK {self.nick}\r\nUSER {self.nick} 0 * :{self.nick}\r\n")
        if not self.wait_for(b" 376 ", seconds):
            raise SystemExit(f"{self.nick} was never registered")

    def close(self):
        self.sock.close()


def reach(alice, bob, target="bob"):
    """One probe at a time until bob hears alice, so that no stray probe lands in a stream."""
    for k in range(100):
        alice.send(f"PRIVMSG {target} :probe {k}\r\n")
        deadline = time.monotonic() + 0.5
        while time.monotonic() < deadline:
            if any(line.endswith(f":probe {k}".encode()) for line in bob.lines(0.02)):
                return True
            alice.lines(0)  # the 401s of probes sent before bob was routable
        time.sleep(0.1)
    return False
