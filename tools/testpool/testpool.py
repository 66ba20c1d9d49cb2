#!/usr/bin/env python3
"""Test pool: a small real Stratum server for the miner's tests and for demonstrations.

It makes its own jobs, checks every share with its own implementation of the share rules, logs what
it saw as JSON lines and can be told to misbehave (fault scripts and a control channel). See
README.md beside this file. Python 3.11 or later, standard library only.

This file reads the command line, builds the TLS context and runs the pool until SIGTERM or SIGINT.
"""

import argparse
import asyncio
import signal
import ssl
import sys
import warnings

import eventlog
import plan as plans
import server
import shares

DEFAULT_DIFFICULTY = "1/256"   # one share per 2**24 hashes on average, see README.md
DEFAULT_NBITS = 0x1B00FFFF      # a normal network target: no block candidates in a test run
EASY_NBITS = 0x1D3FFFFF         # "easy": about one share in four at the default difficulty is a block

_TLS_VERSIONS = {
    "1.0": ssl.TLSVersion.TLSv1,
    "1.1": ssl.TLSVersion.TLSv1_1,
    "1.2": ssl.TLSVersion.TLSv1_2,
    "1.3": ssl.TLSVersion.TLSv1_3,
}


# What SSLSocket.version() reports for each.
_VERSION_NAMES = {
    "TLSv1": ssl.TLSVersion.TLSv1,
    "TLSv1.1": ssl.TLSVersion.TLSv1_1,
    "TLSv1.2": ssl.TLSVersion.TLSv1_2,
    "TLSv1.3": ssl.TLSVersion.TLSv1_3,
}


class UsageError(Exception):
    pass


class TlsSetupError(Exception):
    pass


def parse_args(argv):
    p = argparse.ArgumentParser(prog="testpool.py", description="Stratum test pool")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=3333, help="TCP port, 0 picks a free one")
    p.add_argument("--port-file", help="write the chosen port here (atomically)")
    p.add_argument("--tls", action="store_true", help="speak TLS (needs --cert and --key)")
    p.add_argument("--cert", help="PEM certificate chain for --tls")
    p.add_argument("--key", help="PEM private key for --tls")
    p.add_argument("--tls-max", choices=sorted(_TLS_VERSIONS),
                   help="highest TLS version offered; 1.0 or 1.1 makes an old-only server")
    p.add_argument("--difficulty", default=DEFAULT_DIFFICULTY,
                   help="share difficulty, e.g. 2, 0.5 or 1/256 (default %s)" % DEFAULT_DIFFICULTY)
    p.add_argument("--difficulty-grace", type=float, default=5.0,
                   help="seconds after a difficulty change during which shares meeting the "
                        "previous difficulty still count (default 5)")
    p.add_argument("--extranonce1", help="hex extranonce1 for every connection (default: 4 bytes, "
                                         "different for each connection)")
    p.add_argument("--extranonce2-size", type=int, default=4, help="bytes (default 4)")
    p.add_argument("--job-interval", type=float, default=30.0,
                   help="seconds between new jobs, 0 for none (default 30)")
    p.add_argument("--block-every", type=int, default=4,
                   help="every Nth new job starts a new block (new prevhash); 0 never (default 4)")
    p.add_argument("--nbits", default="%08x" % DEFAULT_NBITS,
                   help="compact network target as 8 hex digits, or 'easy' (default %08x)"
                        % DEFAULT_NBITS)
    p.add_argument("--version-bits", default="20000000", help="block version, 8 hex digits")
    p.add_argument("--height", type=int, default=100000, help="height of the first block")
    p.add_argument("--merkle-branches", type=int, help="fixed branch count (default 0-3 at random)")
    p.add_argument("--seed", type=int, help="seed of the job generator, for repeatable runs")
    p.add_argument("--script", help="fault script (JSON), see README.md")
    p.add_argument("--control-port", type=int, help="TCP port of the control channel (0 picks one)")
    p.add_argument("--control-port-file", help="write the control port here (atomically)")
    p.add_argument("--control-stdin", action="store_true", help="also read control commands from stdin")
    p.add_argument("--log", help="event log, one JSON object per line")
    p.add_argument("--quiet", action="store_true", help="no event lines on stdout")
    args = p.parse_args(argv)
    try:
        _check_args(args)
    except (UsageError, ValueError) as err:
        p.error(str(err))
    return args


def _check_args(args):
    args.difficulty = shares.parse_difficulty(args.difficulty)
    if args.difficulty_grace < 0:
        raise UsageError("--difficulty-grace must be 0 or more")
    args.nbits = EASY_NBITS if args.nbits == "easy" else _hex32(args.nbits, "--nbits")
    args.version_bits = _hex32(args.version_bits, "--version-bits")
    if args.extranonce1 is not None:
        try:
            args.extranonce1 = bytes.fromhex(args.extranonce1)
        except ValueError:
            raise UsageError("--extranonce1 must be hex") from None
    if not 0 <= args.extranonce2_size <= 16:
        raise UsageError("--extranonce2-size must be 0 to 16")
    if args.job_interval < 0:
        raise UsageError("--job-interval must be 0 or more")
    if args.block_every < 0:
        raise UsageError("--block-every must be 0 or more")
    if not 1 <= args.height < (1 << 31):
        raise UsageError("--height must be 1 to 2**31 - 1")
    if args.merkle_branches is not None and not 0 <= args.merkle_branches <= 32:
        raise UsageError("--merkle-branches must be 0 to 32")
    for name in ("port", "control_port"):
        value = getattr(args, name)
        if value is not None and not 0 <= value <= 65535:
            raise UsageError("--%s must be 0 to 65535" % name.replace("_", "-"))
    if args.tls and not (args.cert and args.key):
        raise UsageError("--tls needs --cert and --key")
    if args.tls_max and not args.tls:
        raise UsageError("--tls-max needs --tls")
    if args.control_port_file and args.control_port is None:
        raise UsageError("--control-port-file needs --control-port")


def _hex32(text, option):
    if len(text) != 8:
        raise UsageError("%s expects 8 hex digits" % option)
    try:
        return int(text, 16)
    except ValueError:
        raise UsageError("%s expects 8 hex digits" % option) from None


def make_tls_context(args):
    """The server context; raises TlsSetupError, ssl.SSLError or OSError on failure."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    try:
        context.load_cert_chain(args.cert, args.key)
    except (ssl.SSLError, OSError) as err:
        raise TlsSetupError("cannot load certificate %s with key %s: %s"
                            % (args.cert, args.key, err)) from None
    if args.tls_max is None:
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        return context
    highest = _TLS_VERSIONS[args.tls_max]
    if highest >= ssl.TLSVersion.TLSv1_2:
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        context.maximum_version = highest
        return context
    # An old-only server: modern OpenSSL builds refuse these versions at the default security
    # level, so lower it and prove with a handshake in memory that the library really allows it.
    with warnings.catch_warnings():   # these versions are deprecated; asking for them is the point
        warnings.simplefilter("ignore", DeprecationWarning)
        context.minimum_version = ssl.TLSVersion.TLSv1
        context.maximum_version = highest
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
        got = _probe_handshake(context, highest)
    if got is None or _VERSION_NAMES.get(got) != highest:
        raise TlsSetupError("the local OpenSSL (%s) cannot serve TLS %s only (probe handshake: %s)"
                           % (ssl.OPENSSL_VERSION, args.tls_max, got or "failed"))
    return context


def _probe_handshake(server_context, version):
    """Runs a client and a server handshake over memory buffers; returns the version text or None."""
    client_context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    client_context.check_hostname = False
    client_context.verify_mode = ssl.CERT_NONE
    try:
        client_context.minimum_version = version
        client_context.maximum_version = version
        client_context.set_ciphers("DEFAULT:@SECLEVEL=0")
    except (ValueError, ssl.SSLError):
        return None
    buffers = [ssl.MemoryBIO() for _ in range(4)]
    client = client_context.wrap_bio(buffers[0], buffers[1], server_side=False)
    server_end = server_context.wrap_bio(buffers[2], buffers[3], server_side=True)
    ends = ((client, buffers[1], buffers[2]), (server_end, buffers[3], buffers[0]))
    for _ in range(20):
        done = 0
        for end, outgoing, peer_incoming in ends:
            try:
                end.do_handshake()
                done += 1
            except ssl.SSLWantReadError:
                pass
            except ssl.SSLError:
                return None
            data = outgoing.read()
            if data:
                peer_incoming.write(data)
        if done == 2:
            return server_end.version()
    return None


async def run(args, log, script, tls_context):
    pool = server.Pool(args, log, script, tls_context)
    loop = asyncio.get_running_loop()
    # Before the listening line: a test may signal as soon as it has read it.
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, pool.stopped.set)
    await pool.start()
    await pool.stopped.wait()
    await pool.shutdown()


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        script = plans.Script.load(args.script) if args.script else plans.Script()
    except plans.PlanError as err:
        print("testpool: %s" % err, file=sys.stderr)
        return 2
    tls_context = None
    if args.tls:
        try:
            tls_context = make_tls_context(args)
        except (TlsSetupError, ssl.SSLError, OSError, ValueError) as err:
            print("testpool: TLS setup failed: %s" % err, file=sys.stderr)
            return 2
    try:
        log = eventlog.EventLog(args.log, echo=not args.quiet)
    except OSError as err:
        print("testpool: cannot open log: %s" % err, file=sys.stderr)
        return 2
    try:
        asyncio.run(run(args, log, script, tls_context))
    except OSError as err:
        print("testpool: %s" % err, file=sys.stderr)
        return 2
    finally:
        log.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
