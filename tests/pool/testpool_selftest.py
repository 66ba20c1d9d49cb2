#!/usr/bin/env python3
"""Self-test of the test pool (tools/testpool).

The pool runs as a real process on 127.0.0.1 and the tests speak Stratum to it over sockets. Shares
are found here by brute force at tiny difficulties, with a share builder of this file's own (coinbase,
merkle root, header, SHA3-256 over the prefix and header), so the pool's verdicts are checked against a
second implementation and against targets written out by hand:

  difficulty 1      -> 0x00000000ffff0000 00...00  (0xFFFF * 2**208)
  difficulty 2**-20 -> 0x000ffff0 00...00          (0xFFFF * 2**228: one digest in about 2**12 meets it)
  difficulty 2**-18 -> 0x0003fffc 00...00          (0xFFFF * 2**226)
  nbits 1f00ffff    -> 0x0000ffff 00...00          (0xFFFF * 256**28 = 0xFFFF * 2**224)

Every wait is bounded; the whole file runs in a few seconds.
"""

import hashlib
import json
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
import warnings
from fractions import Fraction

HERE = os.path.dirname(os.path.abspath(__file__))
POOL_DIR = os.path.join(os.path.dirname(os.path.dirname(HERE)), "tools", "testpool")
sys.path.insert(0, POOL_DIR)
from harness import TESTPOOL, WAIT, Client, PoolProcess  # noqa: E402  (path set just above)

# Hand-computed targets (see the module text).
TARGET_DIFF1 = int("00000000ffff" + "0" * 52, 16)
TARGET_2M20 = int("000ffff" + "0" * 57, 16)
TARGET_2M18 = int("0003fffc" + "0" * 56, 16)
TARGET_NBITS_1F00FFFF = int("0000ffff" + "0" * 56, 16)


# ----- the test's own share builder

def dsha(data):
    return hashlib.sha256(hashlib.sha256(data).digest()).digest()


def header_prefix(notify, extranonce1_hex, extranonce2_hex):
    """The first 76 header bytes of a share for this notify (everything but the nonce)."""
    _, prevhash, coinb1, coinb2, branches, version, nbits, ntime = notify[:8]
    root = dsha(bytes.fromhex(coinb1 + extranonce1_hex + extranonce2_hex + coinb2))
    for branch in branches:
        root = dsha(root + bytes.fromhex(branch))
    notify_order = bytes.fromhex(prevhash)
    prev = bytes(notify_order[i + 3 - k] for i in range(0, 32, 4) for k in range(4))
    return (int(version, 16).to_bytes(4, "little") + prev + root
            + int(ntime, 16).to_bytes(4, "little") + int(nbits, 16).to_bytes(4, "little"))


def find_nonce(notify, extranonce1_hex, extranonce2_hex, accept, start=0, limit=1 << 21):
    """First nonce from `start` whose digest number satisfies accept(value); returns (nonce, value)."""
    message = b"QRBPOW01" + header_prefix(notify, extranonce1_hex, extranonce2_hex)
    for nonce in range(start, start + limit):
        digest = hashlib.sha3_256(message + nonce.to_bytes(4, "little")).digest()
        value = int.from_bytes(digest, "little")
        if accept(value):
            return nonce, value
    raise AssertionError("no nonce found in %d tries" % limit)


def meets(target):
    return lambda value: value <= target


def misses(target):
    return lambda value: value > target


class PoolTestCase(unittest.TestCase):
    POOL_ARGS = ()

    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.mkdtemp(prefix="testpool-selftest-")
        cls.pool = PoolProcess(*cls.POOL_ARGS, workdir=cls.workdir) if cls.POOL_ARGS else None

    @classmethod
    def tearDownClass(cls):
        if cls.pool is not None:
            cls.assert_clean_stop(cls.pool)
        shutil.rmtree(cls.workdir, ignore_errors=True)

    @staticmethod
    def assert_clean_stop(pool):
        code = pool.stop()
        if code != 0 or not pool.events("stopped"):
            raise AssertionError("pool did not stop cleanly (status %s)" % code)

    def connect(self, pool=None, **kw):
        client = Client((pool or self.pool).port, **kw)
        self.addCleanup(client.close)
        return client


class ShareRulesTest(unittest.TestCase):
    """The pool's arithmetic module against values written out by hand."""

    @classmethod
    def setUpClass(cls):
        import jobs
        import shares
        cls.shares = shares
        cls.jobs = jobs

    def test_difficulty_to_target(self):
        table = [
            ("1", TARGET_DIFF1),
            ("2", int("000000007fff8000" + "0" * 48, 16)),
            ("0.5", int("00000001fffe0000" + "0" * 48, 16)),
            ("3", int("0000000055550000" + "0" * 48, 16)),     # 0xFFFF / 3 = 0x5555 exactly
            ("65536", int("000000000000ffff" + "0" * 48, 16)),
            ("1/256", int("000000ffff" + "0" * 54, 16)),        # the default: top 64 bits ~ 2**40
            ("1/1048576", TARGET_2M20),
            ("1/262144", TARGET_2M18),
            ("1e-10", (1 << 256) - 1),                          # 0xFFFF * 2**208 * 1e10 > 2**256
        ]
        for text, want in table:
            with self.subTest(difficulty=text):
                got = self.shares.difficulty_to_target(self.shares.parse_difficulty(text))
                self.assertEqual("%064x" % got, "%064x" % want)
        # A difficulty that is not a power of two is divided exactly, then floored.
        d = self.shares.parse_difficulty("0.1")
        got = self.shares.difficulty_to_target(d)
        exact = Fraction(d)   # the float's own value, as sent on the wire
        self.assertTrue(got * exact <= 0xFFFF << 208 < (got + 1) * exact)
        for bad in ("0", "-1", "nan", "inf", "abc", "1/0"):
            with self.subTest(bad=bad):
                self.assertRaises(ValueError, self.shares.parse_difficulty, bad)

    def test_nbits_to_target(self):
        table = [
            (0x1D00FFFF, TARGET_DIFF1),          # the compact form of difficulty 1
            (0x1D80FFFF, TARGET_DIFF1),          # sign bit ignored
            (0x1F00FFFF, TARGET_NBITS_1F00FFFF),
            (0x03123456, 0x123456),
            (0x02123456, 0x1234),
            (0x21000001, (1 << 256) - 1),        # exponent above 32 saturates
        ]
        for nbits, want in table:
            with self.subTest(nbits="%08x" % nbits):
                self.assertEqual(self.shares.nbits_to_target(nbits), want)

    def test_digest_comparison_is_little_endian_and_inclusive(self):
        target = 1 << 248                        # byte 0 = 0x01, the rest 0x00
        just_below = b"\xff" * 31 + b"\x00"      # digest byte 31 (most significant) is 0x00
        self.assertTrue(self.shares.meets(just_below, target))
        self.assertTrue(self.shares.meets(target.to_bytes(32, "little"), target))
        self.assertFalse(self.shares.meets((target + 1).to_bytes(32, "little"), target))
        self.assertFalse(self.shares.meets(b"\x00" * 31 + b"\x02", target))

    def test_header_layout(self):
        prev_notify = bytes(range(32))
        header = self.shares.build_header(1 << 29, self.shares.swap_words(prev_notify),
                                          b"\xaa" * 32, 0x01020304, 0x1D00FFFF, 0xDEADBEEF)
        self.assertEqual(len(header), 80)
        self.assertEqual(header[0:4], bytes.fromhex("00000020"))
        self.assertEqual(header[4:12], bytes.fromhex("0302010007060504"))
        self.assertEqual(header[36:68], b"\xaa" * 32)
        self.assertEqual(header[68:72], bytes.fromhex("04030201"))
        self.assertEqual(header[72:76], bytes.fromhex("ffff001d"))
        self.assertEqual(header[76:80], bytes.fromhex("efbeadde"))
        self.assertEqual(self.shares.pow_digest(header),
                         hashlib.sha3_256(b"QRBPOW01" + header).digest())

    def test_coinbase_height_push(self):
        table = [(200000, "03400d03"), (1, "0101"), (127, "017f"), (128, "028000"),
                 (32768, "03008000"), (8388608, "0400008000")]
        for height, want in table:
            with self.subTest(height=height):
                self.assertEqual(self.shares.bip34_height_push(height).hex(), want)
        import random
        board = self.jobs.JobBoard(random.Random(1), lambda: 1700000000, 0x1D00FFFF, 0x20000000,
                                   200000, 8, branches=2)
        job = board.new_job()
        self.assertEqual(job.coinb1[:42].hex(),
                         "01000000" "01" + "00" * 32 + "ffffffff" + "%02x" % (4 + 8 + 14))
        self.assertEqual(job.coinb1[42:46].hex(), "03400d03")
        self.assertEqual(len(job.branches), 2)
        self.assertEqual(board.new_job(new_block=True).height, 200001)


class SessionTest(PoolTestCase):
    """Subscribe, authorize, jobs and share verdicts against the test's own share builder."""

    POOL_ARGS = ("--difficulty", "1/1048576", "--difficulty-grace", "0", "--job-interval", "0",
                 "--merkle-branches", "2",
                 "--seed", "11")

    def test_login_sequence(self):
        client = self.connect()
        client.send(1, "mining.subscribe", ["selftest/1.0"])
        result = client.response(1)["result"]
        self.assertEqual(result[0][0][0], "mining.notify")
        self.assertEqual(len(bytes.fromhex(result[1])), 4)
        self.assertEqual(result[2], 4)
        self.assertEqual(client.pushes, [])          # work only follows a successful authorize
        client.send(2, "mining.authorize", ["vx1qtest.rig", "x"])
        self.assertEqual(client.response(2), {"id": 2, "result": True, "error": None})
        notify = client.push("mining.notify")
        self.assertEqual([m for m, _ in client.pushes], ["mining.set_difficulty", "mining.notify"])
        self.assertEqual(client.pushes[0][1], [2 ** -20])
        self.assertEqual(len(notify), 9)
        self.assertIs(notify[8], True)
        for text in notify[5:8]:
            self.assertRegex(text, "^[0-9a-f]{8}$")
        self.assertEqual(bytes.fromhex(notify[2])[42], 3)   # BIP34 height push at byte 42
        logged = self.pool.wait_event(lambda r: r["event"] == "notify" and r["job_id"] == notify[0])
        self.assertEqual(logged["prevhash"], notify[1])

    def test_share_verdicts(self):
        client = self.connect()
        en1, size, notify = client.login()
        en2 = "00" * size
        good, good_value = find_nonce(notify, en1, en2, meets(TARGET_2M20))
        bad, _ = find_nonce(notify, en1, en2, misses(TARGET_2M20))
        other = "%08x" % 1
        cases = [
            # (name, params after the login, expected result, expected error)
            ("valid share", [notify[0], en2, notify[7], "%08x" % good], True, None),
            ("same share again", [notify[0], en2, notify[7], "%08x" % good],
             None, [22, "duplicate share", None]),
            ("digest above the target", [notify[0], en2, notify[7], "%08x" % bad],
             None, [23, "low difficulty share", None]),
            ("unknown job", ["no-such-job", en2, notify[7], "%08x" % good],
             None, [21, "job not found", None]),
            ("short extranonce2", [notify[0], en2[2:], notify[7], other],
             None, [20, "incorrect size of extranonce2", None]),
            ("uppercase nonce", [notify[0], en2, notify[7], "%08X" % 0xABCDEF12],
             None, [20, "malformed nonce", None]),
        ]
        for request_id, (name, params, result, error) in enumerate(cases, start=10):
            with self.subTest(name):
                client.send(request_id, "mining.submit", [client.user] + params)
                self.assertEqual(client.response(request_id),
                                 {"id": request_id, "result": result, "error": error})
        client.send(40, "mining.submit", ["someone.else", notify[0], en2, notify[7], other])
        self.assertEqual(client.response(40)["error"], [24, "unauthorized worker", None])
        logged = self.pool.wait_event(lambda r: r["event"] == "submit" and r["id"] == 10)
        self.assertEqual((logged["verdict"], logged["block"]), ("accepted", False))
        self.assertEqual(int.from_bytes(bytes.fromhex(logged["digest"]), "little"), good_value)

    def test_new_block_makes_old_jobs_stale(self):
        client = self.connect()
        en1, size, old = client.login()
        en2 = "01" * size
        nonce, _ = find_nonce(old, en1, en2, meets(TARGET_2M20))
        self.assertTrue(self.pool.control("newblock").startswith("ok "))
        new = client.push("mining.notify", count=2)
        self.assertNotEqual(new[1], old[1])
        self.assertIs(new[8], True)
        self.assertEqual(client.submit(50, old, en2, nonce)["error"], [21, "stale", None])
        nonce, _ = find_nonce(new, en1, en2, meets(TARGET_2M20))
        self.assertIs(client.submit(51, new, en2, nonce)["result"], True)

    def test_set_extranonce_applies_to_later_jobs_only(self):
        client = self.connect()
        en1, size, old = client.login()
        conn = self.pool.events("subscribe")[-1]["conn"]
        self.assertEqual(self.pool.control("@%d extranonce 0a0b0c 2" % conn), "ok 1")
        self.assertEqual(client.push("mining.set_extranonce"), ["0a0b0c", 2])
        self.assertTrue(self.pool.control("newjob").startswith("ok "))
        new = client.push("mining.notify", count=2)
        nonce, _ = find_nonce(new, "0a0b0c", "0102", meets(TARGET_2M20))
        self.assertIs(client.submit(60, new, "0102", nonce)["result"], True)
        # The job sent before the change is still built with the old extranonce1 and size.
        nonce, _ = find_nonce(old, en1, "02" * size, meets(TARGET_2M20))
        self.assertIs(client.submit(61, old, "02" * size, nonce)["result"], True)

    def test_raised_difficulty_applies_at_once(self):
        client = self.connect()
        en1, size, notify = client.login()
        conn = self.pool.events("subscribe")[-1]["conn"]
        self.assertEqual(self.pool.control("@%d difficulty 1/262144" % conn), "ok 1")
        self.assertEqual(client.push("mining.set_difficulty", count=2), [2 ** -18])
        en2 = "03" * size
        easy, _ = find_nonce(notify, en1, en2, lambda v: TARGET_2M18 < v <= TARGET_2M20)
        hard, _ = find_nonce(notify, en1, en2, meets(TARGET_2M18))
        self.assertEqual(client.submit(70, notify, en2, easy)["error"],
                         [23, "low difficulty share", None])
        self.assertIs(client.submit(71, notify, en2, hard)["result"], True)


class BlockCandidateTest(PoolTestCase):
    POOL_ARGS = ("--difficulty", "1", "--nbits", "1f00ffff", "--job-interval", "0")

    def test_block_candidate_is_accepted_and_logged(self):
        client = self.connect()
        en1, size, notify = client.login()
        self.assertEqual(notify[6], "1f00ffff")
        en2 = "00" * size
        block, value = find_nonce(notify, en1, en2, meets(TARGET_NBITS_1F00FFFF))
        self.assertGreater(value, TARGET_DIFF1)   # not a share at difficulty 1, yet a block
        self.assertIs(client.submit(80, notify, en2, block)["result"], True)
        plain, _ = find_nonce(notify, en1, en2, misses(TARGET_NBITS_1F00FFFF))
        self.assertEqual(client.submit(81, notify, en2, plain)["error"],
                         [23, "low difficulty share", None])
        logged = self.pool.wait_event(lambda r: r["event"] == "block")
        self.assertEqual((logged["nonce"], logged["job_id"]), ("%08x" % block, notify[0]))
        self.assertEqual(logged["height"], 100000)


class FaultTest(PoolTestCase):
    """Scripted misbehaviour, from a fault script and from the control channel."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        script = os.path.join(cls.workdir, "faults.json")
        with open(script, "w") as f:
            json.dump({
                "default": {"early_work": False},
                "connections": [
                    {"authorize": "refuse"},
                    {"timeline": [{"at": 0.05, "do": "message scripted hello"}]},
                ],
            }, f)
        cls.pool = PoolProcess("--difficulty", "1/1048576", "--job-interval", "0",
                               "--script", script, workdir=cls.workdir)

    def setUp(self):
        # Connections 1 and 2 are spoken for by the script; use them first, in order.
        if not getattr(FaultTest, "_scripted_done", False):
            FaultTest._scripted_done = True
            self._scripted_connections()

    def _scripted_connections(self):
        first = self.connect()
        first.send(1, "mining.subscribe", ["selftest/1.0"])
        first.response(1)
        first.send(2, "mining.authorize", ["vx1qtest", "x"])
        self.assertEqual(first.response(2),
                         {"id": 2, "result": False, "error": [24, "unauthorized worker", None]})
        self.assertIsNone(first.next_line(0.2))          # no work after a refusal
        second = self.connect()
        second.login()
        self.assertEqual(second.push("client.show_message"), ["scripted hello"])

    def test_pushed_messages(self):
        client = self.connect()
        client.login()
        for command in ("@last message hello pool", "@last reconnect", "@last reconnect ::1 4444 5",
                        "@last garbage", "@last raw {\"id\":null,\"method\":\"x\"}"):
            self.assertEqual(self.pool.control(command), "ok 1", command)
        lines = [client.next_line() for _ in range(5)]
        self.assertEqual([json.loads(line)["params"] for line in lines[:3]],
                         [["hello pool"], [], ["::1", 4444, 5]])
        self.assertRaises(ValueError, json.loads, lines[3])
        self.assertEqual(lines[4], b'{"id":null,"method":"x"}')

    def test_trickle_sends_a_line_without_line_feed(self):
        client = self.connect()
        client.login()
        self.assertEqual(self.pool.control("@last trickle 300 0.1"), "ok 1")
        received = b""
        deadline = time.monotonic() + WAIT
        while len(received) < 300 and time.monotonic() < deadline:
            received += client.read_raw(0.5) or b""
        self.assertEqual(received, b"x" * 300)
        self.assertIsNone(client.read_raw(0.1))
        self.pool.control("@last message after")        # completes the unfinished line
        self.assertEqual(client.next_line(),
                         b'{"id":null,"method":"client.show_message","params":["after"]}')

    def test_flood(self):
        client = self.connect()
        client.login()
        started = time.monotonic()
        self.assertEqual(self.pool.control("@last flood 100 0.2"), "ok 1")
        client.push("mining.notify", count=21)           # the login job and 20 more
        self.assertGreater(time.monotonic() - started, 0.15)
        ids = [p[0] for m, p in client.pushes if m == "mining.notify"]
        self.assertEqual(len(set(ids)), 21)
        self.pool.wait_event(lambda r: r["event"] == "flood_done" and r["jobs"] == 20)

    def test_submit_answer_modes(self):
        client = self.connect()
        en1, size, notify = client.login()

        def send(request_id):
            client.send(request_id, "mining.submit",
                        [client.user, notify[0], "00" * size, notify[7], "%08x" % request_id])

        def answer_ids(count):
            client.pump(lambda: len(client.responses) >= count, 2.0)
            ids = [r["id"] for r in client.responses]
            client.responses = []
            return ids

        client.responses = []
        self.pool.control("@last submit reverse 2")
        send(100)
        self.assertIsNone(client.next_line(0.2))         # held until the second one
        send(101)
        self.assertEqual(answer_ids(2), [101, 100])
        self.pool.control("@last submit twice")
        send(102)
        self.assertEqual(answer_ids(2), [102, 102])
        self.pool.control("@last submit ignore")
        send(103)
        self.assertIsNone(client.next_line(0.2))
        self.pool.control("@last submit delay 0.3")
        send(104)
        self.assertIsNone(client.next_line(0.15))
        self.assertEqual(answer_ids(1), [104])
        self.pool.control("@last submit reject")
        send(105)
        self.assertEqual(client.response(105)["error"], [20, "rejected by script", None])
        client.responses = []
        self.pool.control("@last submit answer")
        send(106)
        self.assertEqual(answer_ids(1), [106])

    def test_connection_plans_from_the_control_channel(self):
        self.assertEqual(self.pool.control('next {"silent": true}'), "ok 1")
        self.assertEqual(self.pool.control('next {"subscribe": "answer_close"}'), "ok 2")
        self.assertEqual(self.pool.control('next {"close_after": 0.1}'), "ok 3")
        self.assertTrue(self.pool.control('next {"submit": "sometimes"}').startswith("error "))

        silent = self.connect()
        silent.send(1, "mining.subscribe", ["selftest/1.0"])
        self.assertIsNone(silent.next_line(0.3))

        closing = self.connect()
        closing.send(1, "mining.subscribe", ["selftest/1.0"])
        self.assertEqual(json.loads(closing.next_line())["id"], 1)
        self.assertEqual(closing.next_line(), b"")

        timed = self.connect()
        self.assertEqual(timed.next_line(), b"")
        self.pool.wait_event(lambda r: r["event"] == "disconnect"
                             and r["reason"] == "scripted close after 0.1 s")

    def test_login_plans(self):
        def subscribe(client):
            client.send(1, "mining.subscribe", ["selftest/1.0"])
            return client.next_line()

        def authorize(client, timeout=WAIT):
            subscribe(client)
            client.send(2, "mining.authorize", ["vx1qtest", "x"])
            return client.next_line(timeout)

        def own_values(client):
            # Authorized work shows the difficulty; a second subscribe shows the extranonce values.
            lines = [authorize(client), client.next_line()]
            client.next_line()                           # the job
            return lines + [json.loads(subscribe(client))["result"][1:]]

        cases = [
            ({"subscribe": "error"}, subscribe,
             b'{"id":1,"result":null,"error":[20,"subscription refused",null]}'),
            ({"subscribe_result": [[], "zz", 9]}, subscribe,
             b'{"id":1,"result":[[],"zz",9],"error":null}'),
            ({"subscribe": "close"}, subscribe, b""),
            ({"authorize": "close"}, authorize, b""),
            ({"authorize": "ignore"}, lambda c: authorize(c, 0.2), None),
            ({"early_work": True}, lambda c: [subscribe(c), c.next_line()][1],
             b'{"id":null,"method":"mining.set_difficulty","params":[9.5367431640625e-07]}'),
            ({"difficulty": "1/1024", "extranonce1": "abcd", "extranonce2_size": 2}, own_values,
             [b'{"id":2,"result":true,"error":null}',
              b'{"id":null,"method":"mining.set_difficulty","params":[0.0009765625]}',
              ["abcd", 2]]),
        ]
        for fields, action, want in cases:
            with self.subTest(plan=fields):
                self.assertEqual(self.pool.control("next " + json.dumps(fields)), "ok 1")
                client = self.connect()
                self.assertEqual(action(client), want)
                client.close()

    def test_shares_found_before_a_difficulty_rise_count_within_the_grace(self):
        client = self.connect()
        en1, size, notify = client.login()
        self.assertEqual(self.pool.control("@last difficulty 1/262144"), "ok 1")
        client.push("mining.set_difficulty", count=2)
        easy, _ = find_nonce(notify, en1, "05" * size, lambda v: TARGET_2M18 < v <= TARGET_2M20)
        self.assertIs(client.submit(90, notify, "05" * size, easy)["result"], True)
        logged = self.pool.wait_event(lambda r: r["event"] == "submit" and r["id"] == 90)
        self.assertEqual(logged["rule"], "previous_difficulty")


class JobStreamTest(PoolTestCase):
    POOL_ARGS = ("--job-interval", "0.1", "--block-every", "2", "--height", "500")

    def test_periodic_jobs_and_new_blocks(self):
        client = self.connect()
        client.login()
        client.push("mining.notify", count=5, timeout=3.0)
        notifies = [p for m, p in client.pushes if m == "mining.notify"][:5]
        def height(notify):
            coinb1 = bytes.fromhex(notify[2])
            return int.from_bytes(coinb1[43:43 + coinb1[42]], "little")

        self.assertGreaterEqual(height(notifies[0]), 500)
        for before, after in zip(notifies, notifies[1:]):
            new_block = after[1] != before[1]
            self.assertIs(after[8], new_block)           # clean exactly when the prevhash changes
            self.assertEqual(height(after), height(before) + new_block)
        self.assertIn(True, [n[8] for n in notifies[1:]])


def make_certificate(directory):
    key = os.path.join(directory, "key.pem")
    cert = os.path.join(directory, "cert.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"],
                   check=True, capture_output=True, timeout=30)
    return cert, key


@unittest.skipIf(shutil.which("openssl") is None, "needs the openssl command to make certificates")
class TlsTest(PoolTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.cert, cls.key = make_certificate(cls.workdir)
        cls.pool = PoolProcess("--tls", "--cert", cls.cert, "--key", cls.key, "--job-interval", "0",
                               workdir=cls.workdir)

    def client_context(self, version=None):
        context = ssl.create_default_context(cafile=self.cert)
        if version is not None:
            with warnings.catch_warnings():   # old versions are the point here
                warnings.simplefilter("ignore", DeprecationWarning)
                context.minimum_version = version
                context.maximum_version = version
            context.set_ciphers("DEFAULT:@SECLEVEL=0")
        return context

    def test_verified_session(self):
        client = self.connect(tls_context=self.client_context())
        self.assertIn(client.sock.version(), ("TLSv1.2", "TLSv1.3"))
        client.login()
        logged = self.pool.wait_event(lambda r: r["event"] == "tls")
        self.assertEqual(logged["version"], client.sock.version())

    def test_old_clients_are_refused_by_default(self):
        try:
            context = self.client_context(ssl.TLSVersion.TLSv1_1)
        except (ValueError, ssl.SSLError):
            self.skipTest("this OpenSSL cannot even offer TLS 1.1")
        with self.assertRaises((ssl.SSLError, ConnectionError)):
            self.connect(tls_context=context)

    def test_handshake_faults(self):
        self.pool.control('next {"tls_handshake": "stall"}')
        self.pool.control('next {"tls_handshake": "close"}')
        sock = socket.create_connection(("127.0.0.1", self.pool.port), timeout=0.3)
        self.addCleanup(sock.close)
        with self.assertRaises(socket.timeout):
            self.client_context().wrap_socket(sock, server_hostname="localhost")
        started = time.monotonic()
        with self.assertRaises((ssl.SSLError, ConnectionError)):
            self.connect(tls_context=self.client_context())
        self.assertLess(time.monotonic() - started, 2.0)
        self.pool.wait_event(lambda r: r["event"] == "tls_fault" and r["mode"] == "close")
        # A timed close while a normal handshake waits for the client's hello.
        self.pool.control('next {"close_after": 0.2}')
        silent = socket.create_connection(("127.0.0.1", self.pool.port), timeout=WAIT)
        self.addCleanup(silent.close)
        self.assertEqual(silent.recv(100), b"")
        self.pool.wait_event(lambda r: r["event"] == "disconnect"
                             and r["reason"] == "scripted close after 0.2 s")
        self.connect(tls_context=self.client_context()).login()
        self.assertEqual(self.pool.events("internal_error"), [])

    def test_old_only_server(self):
        pool = None
        try:
            pool = PoolProcess("--tls", "--cert", self.cert, "--key", self.key, "--tls-max", "1.1",
                               workdir=self.workdir)
        except AssertionError as err:
            # Allowed outcome: the local OpenSSL cannot do it, and the pool says so and exits.
            self.assertRegex(str(err), "cannot serve TLS 1.1 only")
            return
        try:
            old = Client(pool.port, tls_context=self.client_context(ssl.TLSVersion.TLSv1_1))
            self.assertEqual(old.sock.version(), "TLSv1.1")
            old.close()
            with self.assertRaises((ssl.SSLError, ConnectionError)):
                Client(pool.port, tls_context=self.client_context()).close()
        finally:
            self.assert_clean_stop(pool)


class CommandLineTest(unittest.TestCase):
    def run_pool(self, *args):
        return subprocess.run([sys.executable, "-B", TESTPOOL, "--port", "0"] + list(args),
                              capture_output=True, text=True, timeout=20)

    def test_bad_arguments_fail_with_a_message(self):
        workdir = tempfile.mkdtemp(prefix="testpool-cli-")
        self.addCleanup(shutil.rmtree, workdir, True)
        script = os.path.join(workdir, "bad.json")
        with open(script, "w") as f:
            json.dump({"connections": [{"authorise": "refuse"}]}, f)
        table = [
            (["--difficulty", "0"], "difficulty"),
            (["--nbits", "1d00fff"], "--nbits expects 8 hex digits"),
            (["--tls"], "--tls needs --cert and --key"),
            (["--extranonce1", "xyz"], "--extranonce1 must be hex"),
            (["--script", script], "connections[0]: unknown field 'authorise'"),
            (["--tls", "--cert", "/nonexistent", "--key", "/nonexistent"], "TLS setup failed"),
        ]
        for args, message in table:
            with self.subTest(args=args):
                result = self.run_pool(*args)
                self.assertEqual(result.returncode, 2)
                self.assertIn(message, result.stderr)
                self.assertNotIn("listening on", result.stdout)

    def test_listening_line_matches_port_file_and_stop_is_clean(self):
        workdir = tempfile.mkdtemp(prefix="testpool-cli-")
        self.addCleanup(shutil.rmtree, workdir, True)
        pool = PoolProcess(workdir=workdir)
        self.assertIn(b"listening on 127.0.0.1:%d\n" % pool.port, pool.stdout)
        self.assertEqual(os.listdir(os.path.dirname(pool.port_file)).count("port"), 1)
        self.assertEqual(pool.stop(), 0)
        self.assertEqual([r["event"] for r in pool.events()][-1], "stopped")


if __name__ == "__main__":
    unittest.main()
