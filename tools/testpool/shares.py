"""Share rules of the test pool: targets, coinbase, merkle root, block header and proof-of-work digest.

This module is the pool's own reading of the chain's rules and deliberately shares no code with the
miner: a test that sees the miner's shares accepted here has checked the miner against a second,
independent implementation. Everything is plain Python integers and fractions, so nothing is rounded
except where a rule says "floor". Pure functions only; safe to call from anywhere.
"""

import hashlib
import struct
from fractions import Fraction

POW_PREFIX = b"QRBPOW01"

# Difficulty 1 is the pool target 0xFFFF * 2**208 (hex 00000000ffff0000 followed by zeros).
DIFF1_TARGET = 0xFFFF << 208
MAX_TARGET = (1 << 256) - 1

# The coinbase script starts after version (4), input count (1), previous output (36) and the script
# length byte (1): the height push sits at byte 42 of coinb1.
COINBASE_SCRIPT_OFFSET = 42


def parse_difficulty(text):
    """Reads a difficulty such as "2", "0.5", "1e-3" or "1/256" and returns it as a float.

    The float is what goes on the wire, and the target is computed from that exact float value, so the
    miner and the pool start from the same number. Raises ValueError unless the value is finite and > 0.
    """
    try:
        value = float(Fraction(str(text).strip()))
    except (ValueError, ZeroDivisionError, OverflowError):
        raise ValueError("not a difficulty: %r" % (text,)) from None
    if not value > 0 or value == float("inf"):
        raise ValueError("difficulty must be a finite number above 0: %r" % (text,))
    return value


def difficulty_to_target(difficulty):
    """Returns floor(0xFFFF * 2**208 / difficulty) as an integer, capped at 2**256 - 1.

    The division is exact (the float's own binary value as a fraction), not a floating-point quotient.
    """
    d = Fraction(difficulty)
    if d <= 0:
        raise ValueError("difficulty must be above 0")
    target = (DIFF1_TARGET * d.denominator) // d.numerator
    return min(target, MAX_TARGET)


def nbits_to_target(nbits):
    """Expands the compact network target: mantissa (low 23 bits) * 256**(exponent - 3).

    The sign bit (bit 23) is ignored; an exponent above 32 cannot be stored in 256 bits and saturates.
    """
    exponent = nbits >> 24
    mantissa = nbits & 0x7FFFFF
    if exponent <= 3:
        return mantissa >> (8 * (3 - exponent))
    if exponent > 32:
        return MAX_TARGET
    return mantissa << (8 * (exponent - 3))


def target_hex(target):
    """The target as 64 hex digits, most significant first (the form people compare by eye)."""
    return "%064x" % target


def target_top64(target):
    return target >> 192


def digest_value(digest):
    """A proof-of-work digest read as a number: little-endian, byte 31 most significant."""
    return int.from_bytes(digest, "little")


def meets(digest, target):
    """True when the digest, as a number, is at most the target (equality counts)."""
    return digest_value(digest) <= target


def share_difficulty(digest):
    """The difficulty this digest would satisfy; for logs, so tests can see how good a share was."""
    value = digest_value(digest)
    if value == 0:
        return float("inf")
    return float(Fraction(DIFF1_TARGET, value))


def bip34_height_push(height):
    """The script push of a block height: a length byte, then the minimal little-endian number.

    A top byte with its high bit set would read as negative, so a 0x00 byte is added after it.
    """
    if not 1 <= height < (1 << 31):
        raise ValueError("height out of range: %d" % height)
    data = height.to_bytes((height.bit_length() + 7) // 8, "little")
    if data[-1] & 0x80:
        data += b"\x00"
    return bytes([len(data)]) + data


def coinbase_prefix(script_length):
    """The 42 bytes before the coinbase script: version 1, one input spending nothing, script length."""
    return (struct.pack("<I", 1) + b"\x01" + b"\x00" * 32 + b"\xff\xff\xff\xff"
            + bytes([script_length & 0xFF]))


def sha256d(data):
    return hashlib.sha256(hashlib.sha256(data).digest()).digest()


def merkle_root(coinbase, branches):
    """Double SHA-256 of the coinbase, then folded with each branch on the right, in order."""
    root = sha256d(coinbase)
    for branch in branches:
        root = sha256d(root + branch)
    return root


def swap_words(data):
    """Reverses every 4-byte group: turns the notify form of a prevhash into header order and back."""
    return b"".join(data[i:i + 4][::-1] for i in range(0, len(data), 4))


def build_header(version, prev_hash, root, ntime, nbits, nonce):
    """The 80-byte block header; prev_hash is in header order already."""
    if len(prev_hash) != 32 or len(root) != 32:
        raise ValueError("prevhash and merkle root must be 32 bytes")
    return (struct.pack("<I", version) + prev_hash + root
            + struct.pack("<III", ntime, nbits, nonce))


def pow_digest(header):
    """SHA3-256 (FIPS 202) of the 8-byte prefix followed by the 80-byte header."""
    return hashlib.sha3_256(POW_PREFIX + header).digest()


class ShareCheck:
    """What one submitted share turned out to be.

    digest: the proof-of-work digest; block: meets the network target; share: meets the share target
    given to check_share.
    """

    __slots__ = ("digest", "block", "share")

    def __init__(self, digest, block, share):
        self.digest = digest
        self.block = block
        self.share = share


def check_share(job, extranonce1, extranonce2, ntime, nonce, share_target):
    """Rebuilds the header of one share and compares its digest with both targets.

    `job` needs coinb1, coinb2, branches, version, prev_hash (header order) and nbits; the caller has
    already checked sizes and that the job is current.
    """
    coinbase = job.coinb1 + extranonce1 + extranonce2 + job.coinb2
    root = merkle_root(coinbase, job.branches)
    header = build_header(job.version, job.prev_hash, root, ntime, job.nbits, nonce)
    digest = pow_digest(header)
    value = digest_value(digest)
    return ShareCheck(digest, value <= nbits_to_target(job.nbits), value <= share_target)
