"""Decoder and checker for serialized blocks.

Decoding (BIP 144 witness serialization included), transaction ids and
witness ids, the merkle root and the witness merkle root come from
python-bitcoinlib (Debian's python3-bitcoinlib, so the node runs with
/usr/bin/python3), which shares no code with the miner. Checked here by hand
is only what that library cannot know about this chain: the SHA3-256t proof
of work against the target (the library knows Bitcoin's, and is never asked
for it), the BIP 34 height push at the start of the coinbase, the coinbase
value against the template and the BIP 141 witness commitment rule.

    block = decode_block(raw)                 # a bitcoin.core.CBlock; raises DecodeError
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

    /usr/bin/python3 -m qvnnode.blockcheck [--expect FACTS.json] BLOCK_HEX_FILE|-

prints "ok" with the block hash and transaction count and exits 0, or prints
one problem per line on standard error and exits 1.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import struct
import sys

from bitcoin.core import CBlock, CTransaction, WITNESS_COINBASE_SCRIPTPUBKEY_MAGIC, b2lx, lx
from bitcoin.core.script import OP_0, OP_1, CScriptOp
from bitcoin.core.serialize import Hash, SerializationError

MAX_SCRIPT_SIG = 100
MIN_SCRIPT_SIG = 2
COMMITMENT_HEADER = WITNESS_COINBASE_SCRIPTPUBKEY_MAGIC
COMMITMENT_SCRIPT_SIZE = 38
NULL_HASH = bytes(32)

sha256d = Hash  # double SHA-256
display = b2lx  # internal-order hash bytes as display-order hex
from_display = lx
push = CScriptOp.encode_op_pushdata  # a data push the way a script serializer writes one


class DecodeError(ValueError):
    """The bytes are not a well-formed block."""


def sha3_256t(data: bytes) -> bytes:
    """The chain's proof-of-work hash: SHA3-256 applied three times."""
    h = data
    for _ in range(3):
        h = hashlib.sha3_256(h).digest()
    return h


def pow_hash(block: CBlock) -> bytes:
    """SHA3-256t of the 80-byte header, internal order."""
    return sha3_256t(block.get_header().serialize())


def merkle_root(hashes: list[bytes]) -> bytes:
    """Bitcoin's merkle root of a list of hashes; NULL_HASH for none."""
    if not hashes:
        return NULL_HASH
    return CBlock.build_merkle_tree_from_txids(list(hashes))[-1]


def script_num(n: int) -> bytes:
    """Minimal script-number encoding of a non-negative integer."""
    out = bytearray()
    while n:
        out.append(n & 0xFF)
        n >>= 8
    if out and out[-1] & 0x80:
        out.append(0)
    return bytes(out)


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


def stripped(tx: CTransaction) -> bytes:
    """The transaction without its witness, as its txid hashes it."""
    return tx.serialize({"include_witness": False})


def amount(value: int) -> int:
    """An output value as the unsigned 64-bit number on the wire (the library reads it signed)."""
    return value % 2**64


# --------------------------------------------------------------------------
# Decoding


def _decode(cls, raw: bytes):
    """One library object from all of raw, in the form a node would write it.

    Two things the library lets through: a transaction without inputs (a
    node reads its 00 as the witness marker, so such bytes mean a bad flag),
    and bytes that re-serialize differently (a CompactSize longer than
    needed, a witness marker over empty witnesses).
    """
    raw = bytes(raw)
    try:
        obj = cls.deserialize(raw)
    except (SerializationError, ValueError, struct.error) as e:
        raise DecodeError(str(e)) from e
    for i, tx in enumerate(obj.vtx if cls is CBlock else [obj]):
        if not tx.vin:
            raise DecodeError(f"transaction {i} has no inputs (or an unknown witness flag)")
    if obj.serialize() != raw:
        raise DecodeError("not in canonical form (an oversized CompactSize or an empty witness)")
    return obj


def decode_block(raw: bytes) -> CBlock:
    return _decode(CBlock, raw)


def decode_tx(raw: bytes) -> CTransaction:
    """One whole transaction, legacy or witness serialization."""
    return _decode(CTransaction, raw)


def coinbase_witness(coinbase: CTransaction) -> tuple[bytes, ...]:
    """The witness stack of the coinbase input; empty without witness data."""
    inputs = coinbase.wit.vtxinwit
    return tuple(inputs[0].scriptWitness.stack) if inputs else ()


# --------------------------------------------------------------------------
# Checks


def find_commitment(block: CBlock) -> int | None:
    """Index of the coinbase's witness commitment output: the last one that matches."""
    try:
        return block.get_witness_commitment_index()
    except ValueError:  # none
        return None


def _check_structure(block: CBlock) -> list[str]:
    """Rules every block must obey whatever the template was."""
    problems = []
    if not block.vtx:
        return ["bad-blk-length: no transactions"]
    coinbase = block.vtx[0]
    if not coinbase.is_coinbase():
        problems.append("bad-cb-missing: first transaction is not a coinbase")
    if any(tx.is_coinbase() for tx in block.vtx[1:]):
        problems.append("bad-cb-multiple")
    size = len(coinbase.vin[0].scriptSig)
    if not MIN_SCRIPT_SIG <= size <= MAX_SCRIPT_SIG:
        problems.append(f"bad-cb-length: scriptSig is {size} bytes")

    txids = [tx.GetTxid() for tx in block.vtx]
    if len(set(txids)) != len(txids):
        problems.append("bad-txns-duplicate")
    root = block.calc_merkle_root()
    if root != block.hashMerkleRoot:
        problems.append(f"bad-txnmrklroot: header {display(block.hashMerkleRoot)}, "
                        f"transactions give {display(root)}")
    problems += _check_witness(block)
    return problems


def _check_witness(block: CBlock) -> list[str]:
    """BIP 141: with a commitment output the coinbase witness is one 32-byte
    reserved value, and the output commits to the witness merkle root with it."""
    coinbase = block.vtx[0]
    index = find_commitment(block)
    if index is None:
        if any(tx.has_witness() for tx in block.vtx):
            return ["unexpected-witness: witness data without a commitment"]
        return []
    stack = coinbase_witness(coinbase)
    if len(stack) != 1 or len(stack[0]) != 32:
        return ["bad-witness-nonce-size: coinbase witness must be one 32-byte item"]
    # The library counts the coinbase's own wtxid as zero.
    commitment = sha256d(block.calc_witness_merkle_root() + stack[0])
    given = bytes(coinbase.vout[index].scriptPubKey[6:COMMITMENT_SCRIPT_SIZE])
    if given != commitment:
        return [f"bad-witness-merkle-match: output commits to {given.hex()}, "
                f"transactions give {commitment.hex()}"]
    return []


def _check_header(block: CBlock, exp: dict) -> list[str]:
    problems = []
    if "version" in exp and block.nVersion != exp["version"]:
        problems.append(f"bad-version: {block.nVersion} != {exp['version']}")
    if "previousblockhash" in exp and display(block.hashPrevBlock) != exp["previousblockhash"].lower():
        problems.append(f"bad-prevblk: {display(block.hashPrevBlock)}")
    if "bits" in exp and block.nBits != int(exp["bits"], 16):
        problems.append(f"bad-diffbits: {block.nBits:08x} != {exp['bits']}")
    if "time" in exp and block.nTime != exp["time"]:
        problems.append(f"bad-time: {block.nTime} != {exp['time']}")
    for key in ("curtime", "mintime"):
        if key in exp and block.nTime < exp[key]:
            problems.append(f"time-too-old: {block.nTime} < {key} {exp[key]}")
    if "nonce" in exp and block.nNonce != exp["nonce"]:
        problems.append(f"bad-nonce: {block.nNonce} != {exp['nonce']}")
    if "target" in exp:
        # The chain's proof of work, not Bitcoin's double SHA-256 of the header.
        digest = pow_hash(block)
        if int.from_bytes(digest, "little") > int(exp["target"], 16):
            problems.append(f"high-hash: {display(digest)}")
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


def _check_coinbase(block: CBlock, exp: dict) -> list[str]:
    coinbase = block.vtx[0]
    problems = _check_script_sig(bytes(coinbase.vin[0].scriptSig), exp)
    for key, actual in (("cb_version", coinbase.nVersion),
                        ("cb_sequence", coinbase.vin[0].nSequence),
                        ("cb_locktime", coinbase.nLockTime)):
        if key in exp and actual != exp[key]:
            problems.append(f"bad-{key.replace('_', '-')}: {actual} != {exp[key]}")
    total = sum(amount(out.nValue) for out in coinbase.vout)
    if "coinbasevalue" in exp and total != exp["coinbasevalue"]:
        problems.append(f"bad-cb-amount: outputs pay {total}, template offers "
                        f"{exp['coinbasevalue']}")
    if "coinbasevalue_max" in exp and total > exp["coinbasevalue_max"]:
        problems.append(f"bad-cb-amount: outputs pay {total}, more than "
                        f"{exp['coinbasevalue_max']}")

    commitment = find_commitment(block)
    if "witness" in exp:
        carries = coinbase.has_witness() and commitment is not None
        if carries != exp["witness"]:
            problems.append(f"bad-cb-witness: witness {coinbase.has_witness()}, "
                            f"commitment {commitment is not None}, expected {exp['witness']}")
        if exp["witness"] and commitment is not None and (
                commitment != len(coinbase.vout) - 1 or coinbase.vout[commitment].nValue):
            problems.append("bad-cb-witness: commitment is not the last output of value 0")
    dwc = bytes.fromhex(exp.get("default_witness_commitment", ""))
    if dwc and (commitment is None or coinbase.vout[commitment].scriptPubKey != dwc):
        problems.append("bad-witness-commitment: not the template's default_witness_commitment")

    if "outputs" in exp:
        payouts = list(coinbase.vout)
        if commitment is not None and exp.get("witness", True):
            del payouts[commitment]
        got = [(amount(o.nValue), o.scriptPubKey.hex()) for o in payouts]
        want = [(o["value"], o["script"].lower()) for o in exp["outputs"]]
        if got != want:
            problems.append(f"bad-cb-outputs: {got} != {want}")
    return problems


def _check_transactions(txs: tuple[CTransaction, ...], exp: dict) -> list[str]:
    problems = []
    count = exp.get("tx_count")
    if count is None and "transactions" in exp:
        count = 1 + len(exp["transactions"])
    if count is not None and len(txs) != count:
        problems.append(f"bad-txns-count: {len(txs)} != {count}")
        return problems
    for i, (tx, want) in enumerate(zip(txs[1:], exp.get("transactions", [])), start=1):
        if "data" in want and tx.serialize() != bytes.fromhex(want["data"]):
            problems.append(f"bad-txns-data: transaction {i} differs from the template")
        if "txid" in want and display(tx.GetTxid()) != want["txid"].lower():
            problems.append(f"bad-txns-txid: transaction {i} has txid {display(tx.GetTxid())}")
        if want.get("hash") and display(tx.GetHash()) != want["hash"].lower():
            problems.append(f"bad-txns-wtxid: transaction {i} has hash {display(tx.GetHash())}")
    return problems


def check_block(block: CBlock, expected: dict | None = None) -> list[str]:
    """Every problem found, most basic first; an empty list means sound."""
    exp = expected or {}
    problems = _check_structure(block)
    if not block.vtx:
        return problems
    problems += _check_header(block, exp)
    problems += _check_transactions(block.vtx, exp)
    if block.vtx[0].is_coinbase():
        problems += _check_coinbase(block, exp)
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
    parser = argparse.ArgumentParser(prog="python3 -m qvnnode.blockcheck",
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
    print(f"ok {display(block.GetHash())} {len(block.vtx)} transactions")
    return 0


if __name__ == "__main__":
    sys.exit(main())
