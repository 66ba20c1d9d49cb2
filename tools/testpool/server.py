"""The test pool itself: listening socket, live connections, the job ticker and the control channel.

`Pool` owns the job board, the live `Connection`s, the set of accepted shares (for duplicate checks
across connections), the counters, the default difficulty and the plans for connections to come.
Everything runs on one asyncio event loop; commands from the control channel, the fault script's
timelines and the ticker all execute there, so no state needs a lock.
"""

import asyncio
import os
import random
import socket
import sys
import time
import traceback

import control
import jobs
from session import Connection

LINE_LIMIT = 1 << 20   # a longer line from a miner closes its connection


class Pool:
    def __init__(self, options, log, script, tls_context):
        self.options = options
        self.log = log
        self.script = script
        self.tls_context = tls_context
        self.rng = random.Random(options.seed)
        self.difficulty = options.difficulty
        self.difficulty_grace = options.difficulty_grace
        self.extranonce2_size = options.extranonce2_size
        en1_size = len(options.extranonce1) if options.extranonce1 is not None else 4
        self.board = jobs.JobBoard(self.rng, time.time, options.nbits, options.version_bits,
                                   options.height, en1_size + options.extranonce2_size,
                                   branches=options.merkle_branches)
        self.connections = {}
        self.next_plans = []
        self.default_override = {}
        self.seen_shares = set()
        self.counts = {"accepted": 0, "rejected": 0, "blocks": 0}
        self.stopped = asyncio.Event()
        self._last_id = 0
        self._extranonce_base = self.rng.getrandbits(32)
        self._servers = []
        self._conn_tasks = set()      # one per miner connection; they end when it closes
        self._service_tasks = set()   # control clients and the stdin reader
        self._control_tasks = set()   # control clients: ended by closing their writers
        self._control_writers = set()
        self._timers = []
        self._ticker = None

    # ----- start and stop

    async def start(self):
        """Binds and starts serving; raises OSError when the address cannot be used."""
        options = self.options
        self.board.new_job()
        sock = _listen_socket(options.host, options.port)
        server = await asyncio.start_server(self._accept, sock=sock, limit=LINE_LIMIT)
        self._servers.append(server)
        port = sock.getsockname()[1]
        if options.port_file:
            _write_atomically(options.port_file, "%d\n" % port)
        self.log.emit("listening", host=options.host, port=port, tls=self.tls_context is not None,
                      difficulty=self.difficulty, nbits="%08x" % options.nbits)
        self.log.say("listening on %s:%d" % (options.host, port))

        if options.control_port is not None:
            csock = _listen_socket(options.host, options.control_port)
            self._servers.append(await asyncio.start_server(self._control_client, sock=csock))
            cport = csock.getsockname()[1]
            if options.control_port_file:
                _write_atomically(options.control_port_file, "%d\n" % cport)
            self.log.emit("control_listening", host=options.host, port=cport)
            self.log.say("control on %s:%d" % (options.host, cport))
        if options.control_stdin:
            reader = asyncio.StreamReader()
            await asyncio.get_running_loop().connect_read_pipe(
                lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
            self._service_tasks.add(asyncio.ensure_future(self._control_stdin(reader)))

        if options.job_interval > 0:
            self._ticker = asyncio.ensure_future(self._tick())
        loop = asyncio.get_running_loop()
        for entry in self.script.timeline:
            self._timers.append(loop.call_later(entry["at"], self.run_timeline_command,
                                                entry["do"], None))

    async def shutdown(self):
        for timer in self._timers:
            timer.cancel()
        if self._ticker is not None:
            self._ticker.cancel()
        for server in self._servers:
            server.close()
        for conn in list(self.connections.values()):
            conn.close("pool stopping")
        for writer in self._control_writers:
            writer.close()   # their readers see the end of the stream and the tasks finish
        for task in self._service_tasks - self._control_tasks:
            task.cancel()
        pending = [t for t in self._conn_tasks | self._service_tasks if not t.done()]
        if pending:
            await asyncio.wait(pending, timeout=3.0)
        self.log.emit("stopped", **self.counts)

    # ----- connections

    def extranonce1_for(self, conn_id):
        if self.options.extranonce1 is not None:
            return self.options.extranonce1
        return ((self._extranonce_base + conn_id) & 0xFFFFFFFF).to_bytes(4, "big")

    def plan_for_next(self):
        self._last_id += 1
        plan = self.script.plan_for(self._last_id, self.default_override)
        if self.next_plans:
            plan.update(self.next_plans.pop(0))
        return self._last_id, plan

    async def _accept(self, reader, writer):
        task = asyncio.current_task()
        self._conn_tasks.add(task)
        conn_id, plan = self.plan_for_next()
        conn = Connection(self, conn_id, reader, writer, plan)
        self.connections[conn_id] = conn
        try:
            await conn.run()
        except asyncio.CancelledError:
            raise
        except Exception:  # a fault in the pool itself: tell the test instead of dying quietly
            self.log.emit("internal_error", conn=conn_id, error=traceback.format_exc())
            traceback.print_exc()
            conn.close("internal error")
        finally:
            self.connections.pop(conn_id, None)
            self._conn_tasks.discard(task)

    def live(self):
        return [c for c in self.connections.values() if not c.closed]

    def count(self, verdict, block):
        self.counts[verdict] += 1
        if block:
            self.counts["blocks"] += 1

    # ----- jobs

    def new_job(self, new_block):
        job = self.board.new_job(new_block)
        self.log.emit("job", job_id=job.job_id, height=job.height, clean=job.clean,
                      prevhash=job.prevhash_text())
        for conn in self.live():
            if conn.work_sent:
                conn.send_job(job)
        return job

    async def _tick(self):
        options = self.options
        made = 0
        while True:
            await asyncio.sleep(options.job_interval)
            made += 1
            self.new_job(options.block_every > 0 and made % options.block_every == 0)

    # ----- commands

    def run_command(self, text, scope=None):
        ok, reply = control.execute(self, text, scope)
        self.log.emit("command", text=text, conn=scope.id if scope else None, ok=ok, reply=reply)
        return ok, reply

    def run_timeline_command(self, text, scope):
        self.run_command(text, scope)

    async def _control_client(self, reader, writer):
        task = asyncio.current_task()
        self._service_tasks.add(task)
        self._control_tasks.add(task)
        self._control_writers.add(writer)
        try:
            while True:
                line = await reader.readline()
                if not line:
                    break
                text = line.decode("utf-8", "replace").strip()
                if text:
                    _, reply = self.run_command(text)
                    writer.write(reply.encode() + b"\n")
                    await writer.drain()
        except (ConnectionError, OSError, ValueError):
            pass
        finally:
            writer.close()
            self._control_writers.discard(writer)
            self._control_tasks.discard(task)
            self._service_tasks.discard(task)

    async def _control_stdin(self, reader):
        while True:
            line = await reader.readline()
            if not line:
                return
            text = line.decode("utf-8", "replace").strip()
            if text:
                _, reply = self.run_command(text)
                self.log.say("control: " + reply)


def _listen_socket(host, port):
    """One listening socket on the first address of `host`, so that port 0 yields a single port."""
    infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    family, socktype, proto, _, address = infos[0]
    sock = socket.socket(family, socktype, proto)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
        sock.listen(64)
        sock.setblocking(False)
    except OSError:
        sock.close()
        raise
    return sock


def _write_atomically(path, text):
    tmp = "%s.tmp.%d" % (path, os.getpid())
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)
