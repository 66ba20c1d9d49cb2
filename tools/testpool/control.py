"""Control commands of the test pool: one text line in, one reply line out ("ok ..." or "error ...").

The same commands arrive over the control port, from stdin (--control-stdin) and from the timelines
of a fault script. A connection command goes to every live connection, to one chosen with a leading
"@N" (the connection number) or "@last", or, from a connection's own timeline, to that connection.
Runs on the pool's event loop.
"""

import asyncio
import json

import plan as plans
import shares

HELP = ("commands: status | newjob | newblock | difficulty D | extranonce HEX [SIZE] | "
        "message TEXT | reconnect [HOST PORT [WAIT]] | garbage [TEXT] | raw TEXT | "
        "trickle BYTES [SECONDS] | flood RATE SECONDS | close | "
        "submit answer|ignore|twice|reverse [N]|delay [S]|reject | silent on|off | "
        "plan JSON | next JSON | stop   (prefix @N or @last to pick one connection)")

_DEFAULT_GARBAGE = "this is not json {"


class CommandError(Exception):
    pass


def execute(pool, text, scope=None):
    """Runs one command line; returns (ok, reply line). `scope` is the connection of a timeline."""
    try:
        return True, _execute(pool, text.strip(), scope)
    except CommandError as err:
        return False, "error %s" % err


def _execute(pool, text, scope):
    target = None
    if text.startswith("@"):
        target, _, text = text.partition(" ")
        target = target[1:]
    name, _, arg = text.strip().partition(" ")
    arg = arg.strip()
    if name in _POOL_COMMANDS:
        if target is not None:
            raise CommandError("%s does not take a connection" % name)
        return _POOL_COMMANDS[name](pool, arg)
    if name == "difficulty" and target is None and scope is None:
        difficulty = _difficulty(arg)
        pool.difficulty = difficulty
        count = 0
        for conn in pool.live():
            _apply_difficulty(conn, difficulty)
            count += 1
        return "ok %d" % count
    if name not in _CONNECTION_COMMANDS:
        raise CommandError("unknown command %r (try help)" % name)
    handler = _CONNECTION_COMMANDS[name]
    conns = _targets(pool, target, scope)
    prepared = handler(None, arg)   # validate the arguments once, before touching any connection
    for conn in conns:
        handler(conn, arg, prepared)
    return "ok %d" % len(conns)


def _targets(pool, target, scope):
    if target is None:
        return [scope] if scope is not None else pool.live()
    live = pool.live()
    if target == "last":
        if not live:
            raise CommandError("no live connection")
        return [max(live, key=lambda c: c.id)]
    try:
        wanted = int(target)
    except ValueError:
        raise CommandError("bad connection %r" % target) from None
    chosen = [c for c in live if c.id == wanted]
    if not chosen:
        raise CommandError("no live connection %d" % wanted)
    return chosen


# ----- pool-wide commands

def _status(pool, _arg):
    board = pool.board
    status = {
        "counts": pool.counts,
        "difficulty": pool.difficulty,
        "job_id": board.current.job_id,
        "height": board.height,
        "prevhash": board.current.prevhash_text(),
        "connections": [{
            "id": c.id, "subscribed": c.subscribed, "logins": sorted(c.logins),
            "extranonce1": c.extranonce1.hex(), "extranonce2_size": c.extranonce2_size,
            "difficulty": c.difficulty, "accepted": c.accepted, "rejected": c.rejected,
            "submit": c.submit_mode, "silent": c.silent,
        } for c in sorted(pool.live(), key=lambda c: c.id)],
    }
    return "ok " + json.dumps(status, separators=(",", ":"))


def _new_job(pool, _arg):
    return "ok " + pool.new_job(False).job_id


def _new_block(pool, _arg):
    return "ok " + pool.new_job(True).job_id


def _plan(pool, arg):
    pool.default_override = _plan_arg(arg)
    return "ok"


def _next(pool, arg):
    pool.next_plans.append(_plan_arg(arg))
    return "ok %d" % len(pool.next_plans)


def _stop(pool, _arg):
    pool.stopped.set()
    return "ok"


def _help(_pool, _arg):
    return "ok " + HELP


_POOL_COMMANDS = {
    "status": _status, "newjob": _new_job, "newblock": _new_block, "plan": _plan, "next": _next,
    "stop": _stop, "help": _help,
}


# ----- connection commands: handler(None, arg) validates and returns the parsed argument,
# handler(conn, arg, parsed) applies it

def _cmd_difficulty(conn, arg, parsed=None):
    if conn is None:
        return _difficulty(arg)
    _apply_difficulty(conn, parsed)


def _apply_difficulty(conn, difficulty):
    if conn.work_sent:
        conn.set_difficulty(difficulty)
    else:
        conn.difficulty = difficulty   # goes out with the first job


def _cmd_extranonce(conn, arg, parsed=None):
    if conn is None:
        words = arg.split()
        if not 1 <= len(words) <= 2:
            raise CommandError("usage: extranonce HEX [SIZE]")
        try:
            extranonce1 = bytes.fromhex(words[0])
            size = int(words[1]) if len(words) == 2 else None
        except ValueError:
            raise CommandError("usage: extranonce HEX [SIZE]") from None
        if size is not None and not 0 <= size <= 255:
            raise CommandError("extranonce2 size must be 0 to 255")
        return extranonce1, size
    conn.set_extranonce(*parsed)


def _cmd_message(conn, arg, parsed=None):
    if conn is not None:
        conn.push("client.show_message", [arg])
        conn.log.emit("show_message", conn=conn.id, text=arg)


def _cmd_reconnect(conn, arg, parsed=None):
    if conn is None:
        words = arg.split()
        if len(words) not in (0, 2, 3):
            raise CommandError("usage: reconnect [HOST PORT [WAIT]]")
        try:
            return [words[0], int(words[1])] + [int(w) for w in words[2:]] if words else []
        except ValueError:
            raise CommandError("usage: reconnect [HOST PORT [WAIT]]") from None
    conn.push("client.reconnect", parsed)
    conn.log.emit("reconnect_sent", conn=conn.id, params=parsed)


def _cmd_garbage(conn, arg, parsed=None):
    if conn is not None:
        text = arg or _DEFAULT_GARBAGE
        conn.write(text.encode() + b"\n")
        conn.log.emit("garbage_sent", conn=conn.id, text=text)


def _cmd_raw(conn, arg, parsed=None):
    if conn is None:
        if not arg:
            raise CommandError("usage: raw TEXT")
        return None
    conn.write(arg.encode() + b"\n")
    conn.log.emit("raw_sent", conn=conn.id, text=arg)


def _cmd_trickle(conn, arg, parsed=None):
    if conn is None:
        words = arg.split()
        try:
            count = int(words[0])
            seconds = float(words[1]) if len(words) > 1 else 0.0
        except (IndexError, ValueError):
            raise CommandError("usage: trickle BYTES [SECONDS]") from None
        if count < 1 or seconds < 0 or len(words) > 2:
            raise CommandError("usage: trickle BYTES [SECONDS]")
        return count, seconds
    conn.spawn(_trickle(conn, *parsed))


async def _trickle(conn, count, seconds):
    """Sends `count` filler bytes with no line feed, spread evenly over `seconds`."""
    conn.log.emit("trickle", conn=conn.id, bytes=count, seconds=seconds)
    pieces = 1 if seconds == 0 else min(count, 50)
    loop = asyncio.get_running_loop()
    start = loop.time()
    sent = 0
    for i in range(pieces):
        size = count * (i + 1) // pieces - sent
        if not conn.write(b"x" * size) or not await _drained(conn):
            return
        sent += size
        if pieces > 1:
            await asyncio.sleep(max(0.0, start + seconds * (i + 1) / pieces - loop.time()))
    conn.log.emit("trickle_done", conn=conn.id, bytes=sent)


def _cmd_flood(conn, arg, parsed=None):
    if conn is None:
        words = arg.split()
        try:
            rate, seconds = float(words[0]), float(words[1])
        except (IndexError, ValueError):
            raise CommandError("usage: flood RATE SECONDS") from None
        if len(words) != 2 or rate <= 0 or seconds <= 0 or rate * seconds > 100000:
            raise CommandError("usage: flood RATE SECONDS (at most 100000 jobs)")
        return rate, seconds
    conn.spawn(_flood(conn, *parsed))


async def _flood(conn, rate, seconds):
    """Sends round(rate * seconds) fresh, valid jobs to one connection at `rate` per second."""
    total = max(1, round(rate * seconds))
    conn.log.emit("flood", conn=conn.id, rate=rate, seconds=seconds, jobs=total)
    loop = asyncio.get_running_loop()
    start = loop.time()
    for i in range(total):
        if conn.closed:
            return
        conn.send_job(conn.pool.board.new_job(False), forced=True)
        if not await _drained(conn):
            return
        delay = start + (i + 1) / rate - loop.time()
        if delay > 0:
            await asyncio.sleep(delay)
    conn.log.emit("flood_done", conn=conn.id, jobs=total)


async def _drained(conn):
    """Waits until the socket took what we wrote; False once the connection is gone."""
    try:
        await conn.writer.drain()
    except (ConnectionError, OSError):
        return False
    return not conn.closed


def _cmd_close(conn, arg, parsed=None):
    if conn is not None:
        conn.close("closed by command")


def _cmd_submit(conn, arg, parsed=None):
    if conn is None:
        words = arg.split()
        modes = ("answer", "ignore", "twice", "reverse", "delay", "reject")
        if not 1 <= len(words) <= 2 or words[0] not in modes:
            raise CommandError("usage: submit %s [N]" % "|".join(modes))
        value = None
        if len(words) == 2:
            try:
                value = int(words[1]) if words[0] == "reverse" else float(words[1])
            except ValueError:
                raise CommandError("submit: bad number %r" % words[1]) from None
            if words[0] not in ("reverse", "delay") or value < (1 if words[0] == "reverse" else 0):
                raise CommandError("submit: a number only fits reverse (>= 1) or delay (>= 0)")
        return words[0], value
    mode, value = parsed
    # Answers held back for reordering would otherwise never leave.
    for held in reversed(conn.held_answers):
        conn.send_json(held)
    conn.held_answers = []
    conn.submit_mode = mode
    conn.submit_arg = value


def _cmd_silent(conn, arg, parsed=None):
    if conn is None:
        if arg not in ("on", "off"):
            raise CommandError("usage: silent on|off")
        return arg == "on"
    conn.silent = parsed


_CONNECTION_COMMANDS = {
    "difficulty": _cmd_difficulty, "extranonce": _cmd_extranonce, "message": _cmd_message,
    "reconnect": _cmd_reconnect, "garbage": _cmd_garbage, "raw": _cmd_raw,
    "trickle": _cmd_trickle, "flood": _cmd_flood, "close": _cmd_close, "submit": _cmd_submit,
    "silent": _cmd_silent,
}


def _difficulty(arg):
    try:
        return shares.parse_difficulty(arg)
    except ValueError as err:
        raise CommandError(str(err)) from None


def _plan_arg(arg):
    try:
        return plans.check_plan(json.loads(arg))
    except ValueError as err:   # json.JSONDecodeError and PlanError are both ValueErrors
        raise CommandError(str(err)) from None
