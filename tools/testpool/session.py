"""One miner connection to the test pool: TLS, the Stratum exchange, share judging and scripted faults.

A `Connection` owns its stream pair, the jobs it was sent (each with the extranonce1 and extranonce2
size in force when it was sent, because a share is built from those), its difficulty, its pending
timers and tasks. The pool (`server.Pool`) owns the job board, the set of shares already accepted and
the counters. Everything runs on the pool's event loop; nothing here is thread-safe or needs to be.
"""

import asyncio
import collections
import json
import ssl

import shares

TLS_HANDSHAKE_TIMEOUT = 30.0
NTIME_WINDOW = 7200       # seconds a share's ntime may run ahead of its job's
SENT_JOBS_KEPT = 4096

# Stratum error arrays: [code, message, data].
ERR_MALFORMED = 20
ERR_JOB = 21
ERR_DUPLICATE = 22
ERR_LOW_DIFFICULTY = 23
ERR_UNAUTHORIZED = 24


class Connection:
    def __init__(self, pool, conn_id, reader, writer, plan):
        self.pool = pool
        self.id = conn_id
        self.reader = reader
        self.writer = writer
        self.plan = plan
        self.log = pool.log
        self.loop = asyncio.get_running_loop()
        self.extranonce1 = (bytes.fromhex(plan["extranonce1"]) if plan["extranonce1"] is not None
                            else pool.extranonce1_for(conn_id))
        self.extranonce2_size = (plan["extranonce2_size"] if plan["extranonce2_size"] is not None
                                 else pool.extranonce2_size)
        self.difficulty = plan["difficulty"] or pool.difficulty
        self.previous_difficulty = None
        self.difficulty_changed_at = None
        self.silent = plan["silent"]
        self.submit_mode = plan["submit"]
        self.submit_arg = None           # batch size or delay set through the control channel
        self.subscribed = False
        self.logins = set()
        self.work_sent = False
        self.sent_jobs = collections.OrderedDict()
        self.held_answers = []
        self.accepted = 0
        self.rejected = 0
        self.closed = False
        self.close_reason = None
        self._timers = []
        self._tasks = set()
        self._task = None                # the task running run()
        self._in_handshake = False
        self._handshake_cut = False

    # ----- life cycle

    async def run(self):
        self._task = asyncio.current_task()
        peer = self.writer.get_extra_info("peername")
        self.log.emit("connect", conn=self.id, peer="%s:%s" % tuple(peer[:2]) if peer else "?")
        accepted_at = self.loop.time()
        if self.plan["close_after"] is not None:   # also cuts a TLS handshake short
            delay = self.plan["close_after"]
            self._timers.append(self.loop.call_later(
                delay, self.close, "scripted close after %g s" % delay))
        try:
            if self.pool.tls_context is None or await self._tls_handshake():
                self._arm_timeline(self.loop.time() - accepted_at)
                await self._read_loop()
        except (ConnectionError, OSError, ssl.SSLError) as err:
            self.close_reason = self.close_reason or "i/o error: %s" % err
        finally:
            self.close(self.close_reason or "peer closed")
            if not self._handshake_cut:   # after a cut handshake nothing would report the close
                await self._wait_closed()
            self.log.emit("disconnect", conn=self.id, reason=self.close_reason,
                          accepted=self.accepted, rejected=self.rejected)

    def close(self, reason):
        if self.closed:
            return
        self.closed = True
        self.close_reason = reason
        if self._in_handshake and self._task is not asyncio.current_task():
            # Cancel before the transport goes: a transport closed under a running handshake
            # makes it end as if it had succeeded, without a TLS transport.
            self._handshake_cut = True
            self._task.cancel()
        for timer in self._timers:
            timer.cancel()
        for task in list(self._tasks):
            if task is not asyncio.current_task():
                task.cancel()
        self.writer.close()

    async def _wait_closed(self):
        try:
            await asyncio.wait_for(self.writer.wait_closed(), 2.0)
        except (ConnectionError, OSError, ssl.SSLError, asyncio.TimeoutError):
            pass

    def spawn(self, coro):
        task = asyncio.ensure_future(coro)
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)
        return task

    def _arm_timeline(self, elapsed):
        """Times count from the accept; entries due during the TLS handshake run right after it."""
        for entry in self.plan["timeline"]:
            self._timers.append(self.loop.call_later(
                max(0.0, entry["at"] - elapsed), self.pool.run_timeline_command, entry["do"], self))

    async def _tls_handshake(self):
        mode = self.plan["tls_handshake"]
        if mode == "normal":
            # Called before the connection task's first await: the client's hello must reach the
            # TLS layer, not the plain stream buffer.
            self._in_handshake = True
            try:
                await self.writer.start_tls(self.pool.tls_context,
                                            ssl_handshake_timeout=TLS_HANDSHAKE_TIMEOUT)
            except asyncio.CancelledError:
                task = asyncio.current_task()
                if not self._handshake_cut or task.cancelling() > 1:
                    raise
                task.uncancel()
                return False
            except (ssl.SSLError, ConnectionError, OSError, asyncio.TimeoutError) as err:
                self.close_reason = "tls handshake failed: %s" % (err or type(err).__name__)
                self.log.emit("tls_failed", conn=self.id, error=str(err) or type(err).__name__)
                return False
            finally:
                self._in_handshake = False
            tls = self.writer.get_extra_info("ssl_object")
            self.log.emit("tls", conn=self.id, version=tls.version(), cipher=tls.cipher()[0])
            return True
        self.log.emit("tls_fault", conn=self.id, mode=mode)
        if mode == "stall":
            # Take whatever the client sends and never answer, until it gives up.
            while await self.reader.read(4096):
                pass
            self.close_reason = self.close_reason or "client gave up during a stalled handshake"
            return False
        await self.reader.read(4096)  # the start of the client's hello
        if mode == "garbage":
            self.writer.write(b"this is not a TLS server\r\n")
        self.close("scripted close mid-handshake")
        return False

    async def _read_loop(self):
        while not self.closed:
            try:
                line = await self.reader.readline()
            except ValueError:
                self.log.emit("line_too_long", conn=self.id)
                self.close("line too long")
                return
            if not line:
                return
            line = line.strip()
            if line:
                self._handle_line(line)

    # ----- output

    def write(self, data):
        if self.closed or self.writer.is_closing():
            return False
        self.writer.write(data)
        return True

    def send_json(self, message):
        return self.write(json.dumps(message, separators=(",", ":")).encode() + b"\n")

    def reply(self, request_id, result, error=None):
        return self.send_json({"id": request_id, "result": result, "error": error})

    def push(self, method, params):
        return self.send_json({"id": None, "method": method, "params": params})

    def send_work(self):
        """The connection's difficulty, then the current job (as a clean start)."""
        self.work_sent = True
        self.push("mining.set_difficulty", [self.difficulty])
        self.log.emit("set_difficulty", conn=self.id, difficulty=self.difficulty)
        self.send_job(self.pool.board.current, clean=True)

    def send_job(self, job, clean=None, forced=False):
        """Sends a notify unless the connection is silent (forced: an explicit command, sent anyway)."""
        if self.closed or (self.silent and not forced):
            return
        self.sent_jobs[job.job_id] = (job, self.extranonce1, self.extranonce2_size)
        while len(self.sent_jobs) > SENT_JOBS_KEPT:
            self.sent_jobs.popitem(last=False)
        params = job.notify_params(clean)
        self.push("mining.notify", params)
        self.log.emit("notify", conn=self.id, job_id=job.job_id, prevhash=params[1], clean=params[8],
                      height=job.height, ntime=params[7], nbits=params[6])

    def set_difficulty(self, difficulty):
        self.previous_difficulty = self.difficulty
        self.difficulty = difficulty
        self.difficulty_changed_at = self.loop.time()
        self.push("mining.set_difficulty", [difficulty])
        self.log.emit("set_difficulty", conn=self.id, difficulty=difficulty,
                      previous=self.previous_difficulty)

    def set_extranonce(self, extranonce1, size=None):
        """Takes effect for jobs sent from now on; shares of earlier jobs keep their extranonce1."""
        self.extranonce1 = extranonce1
        params = [extranonce1.hex()]
        if size is not None:
            self.extranonce2_size = size
            params.append(size)
        self.push("mining.set_extranonce", params)
        self.log.emit("set_extranonce", conn=self.id, extranonce1=extranonce1.hex(),
                      extranonce2_size=self.extranonce2_size)

    # ----- input

    def _handle_line(self, raw):
        try:
            message = json.loads(raw)
        except (ValueError, UnicodeDecodeError):
            message = None
        if not isinstance(message, dict):
            self.log.emit("bad_line", conn=self.id, text=raw[:200].decode("utf-8", "replace"))
            return
        method = message.get("method")
        request_id = message.get("id")
        params = message.get("params")
        if not isinstance(method, str):
            self.log.emit("client_response", conn=self.id, message=message)
        elif method == "mining.subscribe":
            self._on_subscribe(request_id, params)
        elif method == "mining.authorize":
            self._on_authorize(request_id, params)
        elif method == "mining.submit":
            self._on_submit(request_id, params)
        else:
            self.log.emit("unknown_method", conn=self.id, id=request_id, method=method)
            if request_id is not None and not self.silent:
                self.reply(request_id, None, [ERR_MALFORMED, "unsupported method", None])

    def _on_subscribe(self, request_id, params):
        agent = params[0] if isinstance(params, list) and params else None
        mode = self.plan["subscribe"]
        self.log.emit("subscribe", conn=self.id, id=request_id, agent=agent,
                      mode="silent" if self.silent else mode)
        if self.silent or mode == "ignore":
            return
        if mode == "close":
            self.close("scripted close on subscribe")
            return
        if mode == "error":
            self.reply(request_id, None, [ERR_MALFORMED, "subscription refused", None])
            return
        self.subscribed = True
        result = self.plan["subscribe_result"]
        if result is None:
            result = [[["mining.notify", "%08x" % self.id]], self.extranonce1.hex(),
                      self.extranonce2_size]
        self.reply(request_id, result)
        if mode == "answer_close":
            self.close("scripted close after subscribe")
        elif self.plan["early_work"] and not self.work_sent:
            self.send_work()

    def _on_authorize(self, request_id, params):
        login = params[0] if isinstance(params, list) and params else None
        mode = self.plan["authorize"]
        self.log.emit("authorize", conn=self.id, id=request_id, login=login,
                      mode="silent" if self.silent else mode)
        if self.silent or mode == "ignore":
            return
        if mode == "close":
            self.close("scripted close on authorize")
            return
        if mode == "refuse" or not isinstance(login, str):
            self.reply(request_id, False, self.plan["authorize_error"])
            return
        self.logins.add(login)
        self.reply(request_id, True)
        if not self.work_sent:
            self.send_work()

    def _on_submit(self, request_id, params):
        ok, error, info = self._judge(params)
        forced = self.submit_mode == "reject"
        if forced:
            ok, error = False, self.plan["submit_error"]
        verdict = "accepted" if ok else "rejected"
        if ok:
            self.accepted += 1
        else:
            self.rejected += 1
        self.pool.count(verdict, info.get("block") and info.get("valid"))
        reason = error[1] if isinstance(error, list) and len(error) > 1 else None
        code = error[0] if isinstance(error, list) and error else None
        self.log.emit("submit", conn=self.id, id=request_id, verdict=verdict, code=code,
                      reason=reason, answer="silent" if self.silent else self.submit_mode, **info)
        if info.get("block") and info.get("valid"):
            self.log.emit("block", conn=self.id, job_id=info["job_id"], height=info["height"],
                          nonce=info["nonce"], digest=info["digest"])
        self._answer({"id": request_id, "result": True if ok else None, "error": error})

    def _answer(self, response):
        mode = self.submit_mode
        if self.silent or mode == "ignore":
            return
        if mode == "twice":
            self.send_json(response)
            self.send_json(response)
        elif mode == "reverse":
            self.held_answers.append(response)
            batch = self.submit_arg or self.plan["submit_batch"]
            if len(self.held_answers) >= batch:
                for held in reversed(self.held_answers):
                    self.send_json(held)
                self.held_answers = []
        elif mode == "delay":
            delay = self.submit_arg if self.submit_arg is not None else self.plan["submit_delay"]
            self._timers.append(self.loop.call_later(delay, self.send_json, response))
        else:
            self.send_json(response)

    def _judge(self, params):
        """Returns (accepted, error array or None, fields for the log)."""
        info = {}
        if not (isinstance(params, list) and len(params) >= 5
                and all(isinstance(p, str) for p in params[:5])):
            info["params"] = params
            return False, [ERR_MALFORMED, "malformed submit", None], info
        login, job_id, en2_hex, ntime_hex, nonce_hex = params[:5]
        info.update(login=login, job_id=job_id, extranonce2=en2_hex, ntime=ntime_hex,
                    nonce=nonce_hex)
        if login not in self.logins:
            return False, [ERR_UNAUTHORIZED, "unauthorized worker", None], info
        sent = self.sent_jobs.get(job_id)
        if sent is None:
            return False, [ERR_JOB, "job not found", None], info
        job, extranonce1, extranonce2_size = sent
        info.update(extranonce1=extranonce1.hex(), height=job.height)
        if self.pool.board.is_stale(job):
            return False, [ERR_JOB, "stale", None], info
        if not _is_lower_hex(en2_hex):
            return False, [ERR_MALFORMED, "malformed extranonce2", None], info
        if len(en2_hex) != 2 * extranonce2_size:
            return False, [ERR_MALFORMED, "incorrect size of extranonce2", None], info
        if len(ntime_hex) != 8 or not _is_lower_hex(ntime_hex):
            return False, [ERR_MALFORMED, "malformed ntime", None], info
        ntime = int(ntime_hex, 16)
        if not job.ntime <= ntime <= job.ntime + NTIME_WINDOW:
            return False, [ERR_MALFORMED, "ntime out of range", None], info
        if len(nonce_hex) != 8 or not _is_lower_hex(nonce_hex):
            return False, [ERR_MALFORMED, "malformed nonce", None], info
        key = (job_id, extranonce1, en2_hex, ntime_hex, nonce_hex)
        if key in self.pool.seen_shares:
            return False, [ERR_DUPLICATE, "duplicate share", None], info
        target = shares.difficulty_to_target(self.difficulty)
        check = shares.check_share(job, extranonce1, bytes.fromhex(en2_hex), ntime,
                                   int(nonce_hex, 16), target)
        rule = "block" if check.block else "difficulty" if check.share else None
        if rule is None and self._previous_target_applies():
            if shares.meets(check.digest, shares.difficulty_to_target(self.previous_difficulty)):
                rule = "previous_difficulty"
        info.update(digest=check.digest.hex(), share_difficulty=shares.share_difficulty(check.digest),
                    difficulty=self.difficulty, block=check.block, valid=rule is not None, rule=rule)
        if rule is None:
            return False, [ERR_LOW_DIFFICULTY, "low difficulty share", None], info
        self.pool.seen_shares.add(key)
        return True, None, info

    def _previous_target_applies(self):
        # Shares already on their way when the difficulty rose were found against the old target.
        return (self.previous_difficulty is not None
                and self.loop.time() - self.difficulty_changed_at <= self.pool.difficulty_grace)


def _is_lower_hex(text):
    return len(text) % 2 == 0 and all(c in "0123456789abcdef" for c in text)
