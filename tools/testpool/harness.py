"""Drives the test pool from Python: the pool as a child process, and a plain Stratum client.

`PoolProcess` starts testpool.py on 127.0.0.1 with a free port, a control port and a log in a
folder of its own, and stops it with SIGTERM. `Client` is a line-based Stratum client over a
socket (optionally TLS) that keeps notifications and responses in arrival order. Every wait is
bounded. For tests; one thread per object.
"""

import json
import os
import select
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time

TESTPOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "testpool.py")
WAIT = 5.0


class PoolProcess:
    def __init__(self, *args, workdir):
        self.dir = tempfile.mkdtemp(dir=workdir)
        self.port_file = os.path.join(self.dir, "port")
        self.control_file = os.path.join(self.dir, "control")
        self.log_path = os.path.join(self.dir, "log.jsonl")
        self.proc = subprocess.Popen(
            [sys.executable, "-B", TESTPOOL, "--host", "127.0.0.1", "--port", "0",
             "--port-file", self.port_file, "--control-port", "0",
             "--control-port-file", self.control_file, "--log", self.log_path, "--quiet"]
            + list(args),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self._control = None
        self.stdout = b""
        deadline = time.monotonic() + 10
        while self.stdout.count(b"\n") < 2:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([self.proc.stdout], [], [], max(0.0, left))
            chunk = os.read(self.proc.stdout.fileno(), 4096) if ready else b""
            if not chunk:
                self.kill()
                raise AssertionError("pool did not start: %r %r"
                                     % (self.stdout, self.proc.stderr.read()))
            self.stdout += chunk
        with open(self.port_file) as f:
            self.port = int(f.read())
        with open(self.control_file) as f:
            self.control_port = int(f.read())

    def control(self, command):
        if self._control is None:
            self._control_sock = socket.create_connection(("127.0.0.1", self.control_port),
                                                          timeout=WAIT)
            self._control = self._control_sock.makefile("rwb")
        self._control.write(command.encode() + b"\n")
        self._control.flush()
        return self._control.readline().decode().rstrip("\n")

    def events(self, kind=None):
        with open(self.log_path, encoding="utf-8") as f:
            records = [json.loads(line) for line in f if line.strip()]
        return [r for r in records if kind is None or r["event"] == kind]

    def wait_event(self, predicate, timeout=WAIT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = [r for r in self.events() if predicate(r)]
            if found:
                return found[0]
            time.sleep(0.02)
        raise AssertionError("event not logged within %g s" % timeout)

    def stop(self):
        if self._control is not None:
            self._control.close()
            self._control_sock.close()
        self.proc.send_signal(signal.SIGTERM)
        try:
            code = self.proc.wait(timeout=WAIT)
        finally:
            self.kill()
        return code

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()


class Client:
    def __init__(self, port, tls_context=None):
        sock = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
        if tls_context is not None:
            sock = tls_context.wrap_socket(sock, server_hostname="localhost")
        self.sock = sock
        self.buffer = b""
        self.pushes = []      # notifications in arrival order: (method, params)
        self.responses = []   # responses in arrival order

    def close(self):
        self.sock.close()

    def send(self, request_id, method, params):
        line = json.dumps({"id": request_id, "method": method, "params": params})
        self.sock.sendall(line.encode() + b"\n")

    def read_raw(self, timeout=WAIT):
        """Whatever arrives next (b"" at end of stream); None when nothing came in time."""
        if self.buffer:
            data, self.buffer = self.buffer, b""
            return data
        self.sock.settimeout(timeout)
        try:
            return self.sock.recv(65536)
        except (socket.timeout, ssl.SSLWantReadError):
            return None

    def next_line(self, timeout=WAIT):
        """The next line without its line feed; None on timeout, b"" at end of stream."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(65536)
            except (socket.timeout, ssl.SSLWantReadError):
                return None
            if not chunk:
                return b""
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line

    def pump(self, done, timeout=WAIT):
        """Reads messages until done() holds; False on timeout or end of stream."""
        deadline = time.monotonic() + timeout
        while not done():
            line = self.next_line(max(0.0, deadline - time.monotonic()))
            if not line:
                return False
            message = json.loads(line)
            if message.get("method"):
                self.pushes.append((message["method"], message["params"]))
            else:
                self.responses.append(message)
        return True

    def response(self, request_id, timeout=WAIT):
        found = lambda: [r for r in self.responses if r["id"] == request_id]
        self.pump(lambda: found(), timeout)
        return found()[0] if found() else None

    def push(self, method, index=-1, count=1, timeout=WAIT):
        """Params of the index-th push of `method` once `count` of them have arrived."""
        of = lambda: [p for m, p in self.pushes if m == method]
        if not self.pump(lambda: len(of()) >= count, timeout):
            raise AssertionError("no %d x %s within %g s" % (count, method, timeout))
        return of()[index]

    def login(self, user="vx1qtest.rig"):
        """Subscribes and authorizes; returns (extranonce1 hex, extranonce2 size, first notify)."""
        self.user = user
        self.send(1, "mining.subscribe", ["selftest/1.0"])
        result = self.response(1)["result"]
        self.send(2, "mining.authorize", [user, "x"])
        answer = self.response(2)
        if not answer or answer["result"] is not True:
            raise AssertionError("authorization failed: %r" % (answer,))
        return result[1], result[2], self.push("mining.notify")

    def submit(self, request_id, notify, extranonce2_hex, nonce, user=None):
        self.send(request_id, "mining.submit",
                  [user or self.user, notify[0], extranonce2_hex, notify[7], "%08x" % nonce])
        return self.response(request_id)
