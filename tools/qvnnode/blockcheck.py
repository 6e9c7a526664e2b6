"""Independent decoder and checker for serialized blocks.

Written from Bitcoin's public transaction and block format (BIP 34 height in
the coinbase, BIP 141 witness commitment, BIP 144 witness serialization) with
nothing but the standard library, so that it can judge the miner's block bytes
without sharing any code with it.

    block = decode_block(raw)                 # raises DecodeError
    problems = check_block(block, expected)   # [] when the block is sound
    reason = verdict(raw, expected)           # None, or the first short reason

Reasons are short Bitcoin-style texts ("bad-txnmrklroot", "bad-cb-height",
"bad-witness-merkle-match", ...), each optionally followed by ": " and details.

`expected` is a dict of facts the block must show; every key is optional:

    version              int, header version (signed 32-bit)
    previousblockhash    hex, display order
    bits                 8 hex digits, as in a block template
    time                 int, exact header time
    curtime, mintime     int, the header time may not be below either
    nonce                int
    target               hex, display order; the SHA3-256t header hash must not exceed it
    height               int, BIP 34 height at the start of the coinbase scriptSig
    coinbaseaux          list of hex, raw bytes right after the height
    extranonce           int, pushed as 8 little-endian bytes after the aux bytes
    tag_hex              hex, the last push of the scriptSig ("" means none)
    cb_version, cb_sequence, cb_locktime   ints, coinbase fields
    coinbasevalue        int, the coinbase outputs must add up to exactly this
    coinbasevalue_max    int, the coinbase outputs may not add up to more than this
                         (a node's own rule: paying less than allowed is legal)
    outputs              list of {"value": int, "script": hex}, the coinbase
                         outputs before any witness commitment
    witness              bool, whether the coinbase carries witness and commitment
    default_witness_commitment   hex, the commitment output script when non-empty
    transactions         list of {"data": hex, "txid": hex, "hash": hex} as in a
                         block template (hashes in display order; "hash" optional)
    tx_count             int, number of transactions including the coinbase

Command line:

    python -m qvnnode.blockcheck [--expect FACTS.json] BLOCK_HEX_FILE|-

prints "ok" with the block hash and transaction count and exits 0, or prints
one problem per line on standard error and exits 1.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import struct
import sys
from dataclasses import dataclass, field

HEADER_SIZE = 80
MAX_SCRIPT_SIG = 100
MIN_SCRIPT_SIG = 2
COMMITMENT_HEADER = bytes.fromhex("6a24aa21a9ed")
COMMITMENT_SCRIPT_SIZE = 38
NULL_HASH = bytes(32)
NULL_INDEX = 0xFFFFFFFF
OP_0 = 0x00
OP_PUSHDATA1, OP_PUSHDATA2, OP_PUSHDATA4 = 0x4C, 0x4D, 0x4E
OP_1 = 0x51


class DecodeError(ValueError):
    """The bytes are not a well-formed block."""


def sha256d(data: bytes) -> bytes:
    return hashlib.sha256(hashlib.sha256(data).digest()).digest()


def sha3_256t(data: bytes) -> bytes:
    """The chain's proof-of-work hash: SHA3-256 applied three times."""
    h = data
    for _ in range(3):
        h = hashlib.sha3_256(h).digest()
    return h


def display(h: bytes) -> str:
    """Internal-order hash bytes as display-order hex."""
    return h[::-1].hex()


def from_display(text: str) -> bytes:
    return bytes.fromhex(text)[::-1]


def merkle_root(hashes: list[bytes]) -> bytes:
    """Bitcoin's merkle root; an odd level repeats its last hash."""
    if not hashes:
        return NULL_HASH
    level = list(hashes)
    while len(level) > 1:
        if len(level) % 2:
            level.append(level[-1])
        level = [sha256d(level[i] + level[i + 1]) for i in range(0, len(level), 2)]
    return level[0]


def script_num(n: int) -> bytes:
    """Minimal script-number encoding of a non-negative integer."""
    out = bytearray()
    while n:
        out.append(n & 0xFF)
        n >>= 8
    if out and out[-1] & 0x80:
        out.append(0)
    return bytes(out)


def push(data: bytes) -> bytes:
    """A data push the way a script serializer writes one."""
    n = len(data)
    if n < OP_PUSHDATA1:
        return bytes([n]) + data
    if n <= 0xFF:
        return bytes([OP_PUSHDATA1, n]) + data
    if n <= 0xFFFF:
        return bytes([OP_PUSHDATA2]) + struct.pack("<H", n) + data
    return bytes([OP_PUSHDATA4]) + struct.pack("<I", n) + data


def height_script(height: int) -> bytes:
    """The script a node expects at the start of the coinbase (BIP 34).

    It is the node's own integer push of the height: 0 is OP_0, 1 to 16 are
    OP_1..OP_16, anything larger is a push of the minimal script number.
    """
    if height == 0:
        return bytes([OP_0])
    if 1 <= height <= 16:
        return bytes([OP_1 + height - 1])
    return push(script_num(height))


# --------------------------------------------------------------------------
# Decoding


class Reader:
    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def take(self, n: int) -> bytes:
        if n < 0 or self.pos + n > len(self.data):
            raise DecodeError(f"unexpected end of data at offset {self.pos} (wanted {n} bytes)")
        out = self.data[self.pos:self.pos + n]
        self.pos += n
        return out

    def peek(self, n: int) -> bytes:
        return self.data[self.pos:self.pos + n]

    def u8(self) -> int:
        return self.take(1)[0]

    def u32(self) -> int:
        return struct.unpack("<I", self.take(4))[0]

    def i32(self) -> int:
        return struct.unpack("<i", self.take(4))[0]

    def u64(self) -> int:
        return struct.unpack("<Q", self.take(8))[0]

    def compact_size(self) -> int:
        first = self.u8()
        if first < 0xFD:
            return first
        size, minimum = {0xFD: (2, 0xFD), 0xFE: (4, 0x10000), 0xFF: (8, 0x100000000)}[first]
        n = int.from_bytes(self.take(size), "little")
        if n < minimum:
            raise DecodeError(f"non-canonical CompactSize {n} at offset {self.pos - size - 1}")
        return n

    def var_bytes(self) -> bytes:
        n = self.compact_size()
        return self.take(n)

    def at_end(self) -> bool:
        return self.pos == len(self.data)


@dataclass
class TxIn:
    prev_hash: bytes
    prev_index: int
    script_sig: bytes
    sequence: int
    witness: list[bytes] = field(default_factory=list)


@dataclass
class TxOut:
    value: int
    script: bytes


@dataclass
class Tx:
    version: int
    inputs: list[TxIn]
    outputs: list[TxOut]
    locktime: int
    has_witness: bool
    raw: bytes
    stripped: bytes

    @property
    def txid(self) -> bytes:
        return sha256d(self.stripped)

    @property
    def wtxid(self) -> bytes:
        return sha256d(self.raw)

    def is_coinbase(self) -> bool:
        return (len(self.inputs) == 1 and self.inputs[0].prev_hash == NULL_HASH
                and self.inputs[0].prev_index == NULL_INDEX)


@dataclass
class Header:
    version: int
    prev_hash: bytes
    merkle_root: bytes
    time: int
    bits: int
    nonce: int
    raw: bytes

    @property
    def hash(self) -> bytes:
        """Block id (double SHA-256 of the header), internal order."""
        return sha256d(self.raw)

    @property
    def pow_hash(self) -> bytes:
        return sha3_256t(self.raw)


@dataclass
class Block:
    header: Header
    txs: list[Tx]
    raw: bytes


def _decode_inputs(r: Reader, count: int) -> list[TxIn]:
    inputs = []
    for _ in range(count):
        prev_hash = r.take(32)
        prev_index = r.u32()
        script_sig = r.var_bytes()
        sequence = r.u32()
        inputs.append(TxIn(prev_hash, prev_index, script_sig, sequence))
    return inputs


def _decode_outputs(r: Reader) -> list[TxOut]:
    outputs = []
    for _ in range(r.compact_size()):
        value = r.u64()
        outputs.append(TxOut(value, r.var_bytes()))
    return outputs


def decode_tx(r: Reader) -> Tx:
    """One transaction, legacy or BIP 144 witness serialization."""
    start = r.pos
    version = r.i32()
    has_witness = r.peek(1) == b"\x00"
    if has_witness:
        r.take(1)  # marker
        flag = r.u8()
        if flag != 0x01:
            raise DecodeError(f"unknown witness flag {flag:#04x} at offset {r.pos - 1}")
    body_start = r.pos
    inputs = _decode_inputs(r, r.compact_size())
    outputs = _decode_outputs(r)
    body_end = r.pos
    if has_witness:
        for txin in inputs:
            txin.witness = [r.var_bytes() for _ in range(r.compact_size())]
        if not any(txin.witness for txin in inputs):
            raise DecodeError("superfluous witness record")
    locktime = r.u32()
    raw = r.data[start:r.pos]
    stripped = (r.data[start:start + 4] + r.data[body_start:body_end] + struct.pack("<I", locktime))
    if not inputs:
        raise DecodeError("transaction without inputs")
    return Tx(version, inputs, outputs, locktime, has_witness, raw, stripped)


def decode_header(raw: bytes) -> Header:
    if len(raw) != HEADER_SIZE:
        raise DecodeError(f"header is {len(raw)} bytes, not {HEADER_SIZE}")
    version, prev_hash, root, time, bits, nonce = struct.unpack("<i32s32sIII", raw)
    return Header(version, prev_hash, root, time, bits, nonce, raw)


def decode_block(raw: bytes) -> Block:
    r = Reader(bytes(raw))
    header = decode_header(r.take(HEADER_SIZE))
    count = r.compact_size()
    if count > len(raw):
        raise DecodeError(f"transaction count {count} larger than the block")
    txs = [decode_tx(r) for _ in range(count)]
    if not r.at_end():
        raise DecodeError(f"{len(raw) - r.pos} trailing bytes after the last transaction")
    return Block(header, txs, bytes(raw))


# --------------------------------------------------------------------------
# Checks


def find_commitment(coinbase: Tx) -> int | None:
    """Index of the witness commitment output: the last one that matches."""
    found = None
    for i, out in enumerate(coinbase.outputs):
        if len(out.script) >= COMMITMENT_SCRIPT_SIZE and out.script.startswith(COMMITMENT_HEADER):
            found = i
    return found


def _check_structure(block: Block) -> list[str]:
    """Rules every block must obey whatever the template was."""
    problems = []
    if not block.txs:
        return ["bad-blk-length: no transactions"]
    coinbase = block.txs[0]
    if not coinbase.is_coinbase():
        problems.append("bad-cb-missing: first transaction is not a coinbase")
    if any(tx.is_coinbase() for tx in block.txs[1:]):
        problems.append("bad-cb-multiple")
    size = len(coinbase.inputs[0].script_sig)
    if not MIN_SCRIPT_SIG <= size <= MAX_SCRIPT_SIG:
        problems.append(f"bad-cb-length: scriptSig is {size} bytes")

    txids = [tx.txid for tx in block.txs]
    if len(set(txids)) != len(txids):
        problems.append("bad-txns-duplicate")
    root = merkle_root(txids)
    if root != block.header.merkle_root:
        problems.append(f"bad-txnmrklroot: header {display(block.header.merkle_root)}, "
                        f"transactions give {display(root)}")
    problems += _check_witness(block)
    return problems


def _check_witness(block: Block) -> list[str]:
    coinbase = block.txs[0]
    index = find_commitment(coinbase)
    if index is None:
        if any(tx.has_witness for tx in block.txs):
            return ["unexpected-witness: witness data without a commitment"]
        return []
    stack = coinbase.inputs[0].witness
    if len(stack) != 1 or len(stack[0]) != 32:
        return ["bad-witness-nonce-size: coinbase witness must be one 32-byte item"]
    # The coinbase's own wtxid counts as zero.
    wtxids = [NULL_HASH] + [tx.wtxid for tx in block.txs[1:]]
    commitment = sha256d(merkle_root(wtxids) + stack[0])
    given = coinbase.outputs[index].script[6:COMMITMENT_SCRIPT_SIZE]
    if given != commitment:
        return [f"bad-witness-merkle-match: output commits to {given.hex()}, "
                f"transactions give {commitment.hex()}"]
    return []


def _check_header(header: Header, exp: dict) -> list[str]:
    problems = []
    if "version" in exp and header.version != exp["version"]:
        problems.append(f"bad-version: {header.version} != {exp['version']}")
    if "previousblockhash" in exp and display(header.prev_hash) != exp["previousblockhash"].lower():
        problems.append(f"bad-prevblk: {display(header.prev_hash)}")
    if "bits" in exp and header.bits != int(exp["bits"], 16):
        problems.append(f"bad-diffbits: {header.bits:08x} != {exp['bits']}")
    if "time" in exp and header.time != exp["time"]:
        problems.append(f"bad-time: {header.time} != {exp['time']}")
    for key in ("curtime", "mintime"):
        if key in exp and header.time < exp[key]:
            problems.append(f"time-too-old: {header.time} < {key} {exp[key]}")
    if "nonce" in exp and header.nonce != exp["nonce"]:
        problems.append(f"bad-nonce: {header.nonce} != {exp['nonce']}")
    if "target" in exp:
        pow_value = int.from_bytes(header.pow_hash, "little")
        if pow_value > int(exp["target"], 16):
            problems.append(f"high-hash: {header.pow_hash[::-1].hex()}")
    return problems


def _check_script_sig(script_sig: bytes, exp: dict) -> list[str]:
    """Height, aux bytes, extranonce push and tag push, in this order."""
    if "height" not in exp:
        return []
    expect_height = height_script(exp["height"])
    if not script_sig.startswith(expect_height):
        return [f"bad-cb-height: scriptSig {script_sig.hex()} does not start with "
                f"{expect_height.hex()}"]
    if "extranonce" not in exp:
        return []
    rest = script_sig[len(expect_height):]
    aux = b"".join(bytes.fromhex(a) for a in exp.get("coinbaseaux", []))
    if not rest.startswith(aux):
        return [f"bad-cb-aux: {rest.hex()} does not start with {aux.hex()}"]
    rest = rest[len(aux):]
    extranonce = push(struct.pack("<Q", exp["extranonce"]))
    if not rest.startswith(extranonce):
        return [f"bad-cb-extranonce: {rest[:9].hex()} != {extranonce.hex()}"]
    rest = rest[len(extranonce):]
    if "tag_hex" in exp:
        tag = bytes.fromhex(exp["tag_hex"])
        expect_tag = push(tag) if tag else b""
        if rest != expect_tag:
            return [f"bad-cb-tag: {rest.hex()} != {expect_tag.hex()}"]
    return []


def _check_coinbase(coinbase: Tx, exp: dict) -> list[str]:
    problems = _check_script_sig(coinbase.inputs[0].script_sig, exp)
    for key, actual in (("cb_version", coinbase.version),
                        ("cb_sequence", coinbase.inputs[0].sequence),
                        ("cb_locktime", coinbase.locktime)):
        if key in exp and actual != exp[key]:
            problems.append(f"bad-{key.replace('_', '-')}: {actual} != {exp[key]}")
    total = sum(out.value for out in coinbase.outputs)
    if "coinbasevalue" in exp and total != exp["coinbasevalue"]:
        problems.append(f"bad-cb-amount: outputs pay {total}, template offers "
                        f"{exp['coinbasevalue']}")
    if "coinbasevalue_max" in exp and total > exp["coinbasevalue_max"]:
        problems.append(f"bad-cb-amount: outputs pay {total}, more than "
                        f"{exp['coinbasevalue_max']}")

    commitment = find_commitment(coinbase)
    if "witness" in exp:
        carries = coinbase.has_witness and commitment is not None
        if carries != exp["witness"]:
            problems.append(f"bad-cb-witness: witness {coinbase.has_witness}, "
                            f"commitment {commitment is not None}, expected {exp['witness']}")
        if exp["witness"] and commitment is not None and (
                commitment != len(coinbase.outputs) - 1 or coinbase.outputs[commitment].value):
            problems.append("bad-cb-witness: commitment is not the last output of value 0")
    dwc = bytes.fromhex(exp.get("default_witness_commitment", ""))
    if dwc and (commitment is None or coinbase.outputs[commitment].script != dwc):
        problems.append("bad-witness-commitment: not the template's default_witness_commitment")

    if "outputs" in exp:
        payouts = coinbase.outputs
        if commitment is not None and exp.get("witness", True):
            payouts = payouts[:commitment] + payouts[commitment + 1:]
        got = [(o.value, o.script.hex()) for o in payouts]
        want = [(o["value"], o["script"].lower()) for o in exp["outputs"]]
        if got != want:
            problems.append(f"bad-cb-outputs: {got} != {want}")
    return problems


def _check_transactions(txs: list[Tx], exp: dict) -> list[str]:
    problems = []
    count = exp.get("tx_count")
    if count is None and "transactions" in exp:
        count = 1 + len(exp["transactions"])
    if count is not None and len(txs) != count:
        problems.append(f"bad-txns-count: {len(txs)} != {count}")
        return problems
    for i, (tx, want) in enumerate(zip(txs[1:], exp.get("transactions", [])), start=1):
        if "data" in want and tx.raw != bytes.fromhex(want["data"]):
            problems.append(f"bad-txns-data: transaction {i} differs from the template")
        if "txid" in want and display(tx.txid) != want["txid"].lower():
            problems.append(f"bad-txns-txid: transaction {i} has txid {display(tx.txid)}")
        if want.get("hash") and display(tx.wtxid) != want["hash"].lower():
            problems.append(f"bad-txns-wtxid: transaction {i} has hash {display(tx.wtxid)}")
    return problems


def check_block(block: Block, expected: dict | None = None) -> list[str]:
    """Every problem found, most basic first; an empty list means sound."""
    exp = expected or {}
    problems = _check_structure(block)
    if not block.txs:
        return problems
    problems += _check_header(block.header, exp)
    problems += _check_transactions(block.txs, exp)
    if block.txs[0].is_coinbase():
        problems += _check_coinbase(block.txs[0], exp)
    return problems


def verdict(raw: bytes, expected: dict | None = None) -> str | None:
    """None for a sound block, else the first short reason (no details)."""
    try:
        block = decode_block(raw)
    except DecodeError:
        return "block-decode-failed"
    problems = check_block(block, expected)
    return problems[0].split(":", 1)[0] if problems else None


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m qvnnode.blockcheck",
                                     description="Decode and check a serialized block.")
    parser.add_argument("block", help="file holding the block as hex, or - for standard input")
    parser.add_argument("--expect", metavar="FACTS.json",
                        help="JSON object of facts the block must show")
    args = parser.parse_args(argv)

    if args.block == "-":
        text = sys.stdin.read()
    else:
        with open(args.block, encoding="ascii", errors="replace") as f:
            text = f.read()
    expected = None
    if args.expect:
        with open(args.expect, encoding="utf-8") as f:
            expected = json.load(f)
    try:
        raw = bytes.fromhex(text.strip())
        block = decode_block(raw)
    except ValueError as e:  # DecodeError included
        print(f"block-decode-failed: {e}", file=sys.stderr)
        return 1
    problems = check_block(block, expected)
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        return 1
    print(f"ok {display(block.header.hash)} {len(block.txs)} transactions")
    return 0


if __name__ == "__main__":
    sys.exit(main())
