"""Jobs of the test pool: the block template it hands out and the board that remembers past jobs.

A `Job` is immutable once made. The `JobBoard` owns the current block (prevhash and height), makes new
jobs on request and keeps a bounded history so that a share for an older job can be told apart as
stale (an earlier block) or unknown (never issued, or forgotten). Used from the event loop only.
"""

import collections
import struct

import shares

# Coinbase tail after the extranonces: a tag that keeps each job's coinbase distinct, the input's
# sequence, one output paying an anyone-can-spend script, and the lock time.
_COINBASE_TAG = b"/testpool/"
_BLOCK_REWARD = 50 * 100_000_000


class Job:
    """One block template as sent in mining.notify; prev_hash is in header order."""

    __slots__ = ("job_id", "prev_hash", "coinb1", "coinb2", "branches", "version", "nbits", "ntime",
                 "clean", "height")

    def __init__(self, job_id, prev_hash, coinb1, coinb2, branches, version, nbits, ntime, clean,
                 height):
        self.job_id = job_id
        self.prev_hash = prev_hash
        self.coinb1 = coinb1
        self.coinb2 = coinb2
        self.branches = tuple(branches)
        self.version = version
        self.nbits = nbits
        self.ntime = ntime
        self.clean = clean
        self.height = height

    def prevhash_text(self):
        """The prevhash as a notify carries it: header bytes with every 4-byte group reversed."""
        return shares.swap_words(self.prev_hash).hex()

    def notify_params(self, clean=None):
        """The nine mining.notify parameters; `clean` overrides the job's own clean_jobs flag."""
        return [
            self.job_id,
            self.prevhash_text(),
            self.coinb1.hex(),
            self.coinb2.hex(),
            [b.hex() for b in self.branches],
            "%08x" % self.version,
            "%08x" % self.nbits,
            "%08x" % self.ntime,
            self.clean if clean is None else bool(clean),
        ]


class JobBoard:
    """Makes jobs and remembers the last `history` of them.

    rng: a random.Random (seedable, so runs can be repeated); clock: returns Unix seconds;
    branches: a fixed merkle branch count, or None for 0 to 3 chosen per job; extranonce_total: the
    usual extranonce1 + extranonce2 size, used only for the script length byte of the coinbase.
    """

    def __init__(self, rng, clock, nbits, version, start_height, extranonce_total, branches=None,
                 history=4096):
        self._rng = rng
        self._clock = clock
        self.nbits = nbits
        self.version = version
        self.height = start_height
        self._extranonce_total = extranonce_total
        self._branches = branches
        self._history = history
        self._jobs = collections.OrderedDict()
        self._counter = 0
        self.prev_hash = None
        self.current = None

    def new_job(self, new_block=False):
        """Makes the next job; with new_block (or for the very first job) it starts a new block."""
        clean = new_block or self.prev_hash is None
        if clean:
            if self.prev_hash is not None:
                self.height += 1
            self.prev_hash = self._rng.randbytes(32)
        self._counter += 1
        job_id = "%x" % self._counter
        push = shares.bip34_height_push(self.height)
        tail = _COINBASE_TAG + self._rng.randbytes(4)
        script_length = len(push) + self._extranonce_total + len(tail)
        coinb1 = shares.coinbase_prefix(script_length) + push
        coinb2 = (tail + b"\xff\xff\xff\xff" + b"\x01" + struct.pack("<Q", _BLOCK_REWARD)
                  + b"\x01\x51" + b"\x00\x00\x00\x00")
        count = self._branches if self._branches is not None else self._rng.randint(0, 3)
        branches = [self._rng.randbytes(32) for _ in range(count)]
        job = Job(job_id, self.prev_hash, coinb1, coinb2, branches, self.version, self.nbits,
                  int(self._clock()) & 0xFFFFFFFF, clean, self.height)
        self._jobs[job_id] = job
        while len(self._jobs) > self._history:
            self._jobs.popitem(last=False)
        self.current = job
        return job

    def find(self, job_id):
        return self._jobs.get(job_id)

    def is_stale(self, job):
        """True when the job belongs to an earlier block than the current one."""
        return job.prev_hash != self.prev_hash
