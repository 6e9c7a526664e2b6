"""A development node for qvncpu: a small chain in memory behind the node
double's JSON-RPC machinery (qvnnode.server), so that the real miner can be
run, watched and tested end to end on one machine.

    /usr/bin/python3 -m qvnnode.devnode --datadir DIR [--work-bits 18] [options]

It writes DIR/.cookie ("__cookie__:" and 64 random hex digits) the way a node
does and requires HTTP Basic authentication with it (or --user/--password
instead of --datadir), prints its URL (http://127.0.0.1:PORT/) as the first
line of standard output, and on stopping (SIGINT, SIGTERM, a "shutdown"
command, or the end of standard input with --exit-on-stdin-eof) removes the
cookie and prints a summary: accepted and rejected counts, rejection reasons
and the tip.

The chain starts at a genesis-like block (height --start-height, default 0).
Block hashes are SHA3-256t of the 80-byte header, shown reversed (display
order), like every hash of a Bitcoin-derived chain. getblocktemplate answers
with work on the tip: version, previousblockhash, height, curtime/mintime,
bits and the matching target (--work-bits K: about 1 in 2^K hashes meets it;
--target-hex for any other target, all zeros for one nothing meets),
coinbasevalue (--coinbasevalue plus the fees of the transactions), rules
["segwit"], synthetic transactions (--txs N with witness data, so that their
hash differs from their txid; --legacy-txs N without), default_witness_commitment
(unless --no-witness-commitment), noncerange (--noncerange, 16 hex digits) and
"longpollid" (unless --no-longpollid). A long poll carrying the current
"longpollid" is held until the work changes.

submitblock judges every block with qvnnode.blockcheck against the template
of its parent and answers JSON null when the block extends the tip, or a short
reason: "duplicate", "high-hash", "prev-blk-not-found", "bad-diffbits",
"time-too-old", "time-too-new", "bad-version", "bad-txnmrklroot",
"bad-cb-length", "bad-txns-count", "bad-txns-data", "bad-cb-height",
"unexpected-witness", "bad-witness-merkle-match", "bad-cb-amount" (outputs
above coinbasevalue), ... A sound block on an older block of the chain is
answered "inconclusive" and does not move the tip. Bytes that are not a block
get the JSON-RPC error -22 "Block decode failed" (HTTP 500).

getblockchaininfo names the chain (--chain, default "regtest"; "main" makes
the miner refuse a payout anyone or nobody can spend), and decodescript gives
the type and regtest address of P2PKH, P2SH and witness v0 scripts.

It serves RPC like a node: from --rpc-threads workers (default 4) behind a
queue of --rpc-work-queue requests (default 16, then HTTP 503 "Work queue
depth exceeded"), and a request whose client hangs up still keeps its worker
(see qvnnode.server).

--auto-advance-sec N lets "another miner" extend the chain every N seconds.
--queue JSON (repeatable) adds a response rule at start, as the "queue"
command below does, so that chosen calls fail.

Control commands, in addition to the node double's (POST /control; all but
"set_template", since templates come from the chain here):

  chain                        -> {"height", "tip", "blocks": [{"height", "hash",
                                  "previousblockhash", "time", "source"}, ...]}
                                  source: "genesis", "node" (another miner) or
                                  "submitted"
  template                     -> {"template": the current template}
  advance       [count=1]      another miner finds count blocks on the tip;
                               -> {"ok", "height", "tip"}
  configure     [work_bits=K | target_hex=HEX] [txs=N] [legacy_txs=N]
                [witness_commitment=BOOL] [longpollid=BOOL]
                [noncerange=HEX16|null] [coinbasevalue=N] [version=N]
                [silent=BOOL]
                               changes the work; held long polls are answered
                               and the longpollid changes, unless silent: then
                               both stay, as when a node's clock eases the
                               target (testnet's minimum-difficulty rule)
                               -> {"ok", "template"}
  submissions   [accepted=BOOL] -> {"submissions": [record, ...]}
  wait_submissions count=N [accepted=BOOL] [timeout_ms=10000]
                               -> {"ok": bool, "submissions": [...]}

A submission record: {"seq", "accepted", "result" (the answer: null or the
reason), "error" (the JSON-RPC error message, or null), "hash",
"previousblockhash", "height" and "extranonce" and "tag_hex" (decoded from the
coinbase scriptSig; null when unreadable), "nonce", "time", "block_bytes",
"block" (the hex as submitted)}.
"""

from __future__ import annotations

import argparse
import dataclasses
import hashlib
import json
import os
import secrets
import struct
import sys
import threading
import time
from collections import Counter

from bitcoin import segwit_addr
from bitcoin.base58 import CBase58Data
from bitcoin.core.script import OP_0, OP_1, OP_PUSHDATA1

from qvnnode import blockcheck as bc
from qvnnode.server import (NodeDouble, RpcFault, TemplateSource, add_server_model_args,
                            serve_until_stopped)

GENESIS_TIME = 1700000000
GENESIS_VERSION = 1
GENESIS_BITS = 0x207FFFFF  # the genesis block is the same whatever the work asked for
DEFAULT_WORK_BITS = 18
DEFAULT_COINBASEVALUE = 5000000000
DEFAULT_VERSION = 0x20000000
FULL_NONCERANGE = "00000000ffffffff"
TX_FEE = 1000
TX_OUTPUT_VALUE = 50000
MEDIAN_TIME_SPAN = 11
MAX_FUTURE_SECONDS = 2 * 60 * 60
COOKIE_USER = "__cookie__"
COOKIE_NAME = ".cookie"
SEGWIT_RULE_MESSAGE = ('getblocktemplate must be called with the segwit rule set '
                       '(call with {"rules": ["segwit"]})')
DECODE_FAILED = "Block decode failed"

# A node checks the header before it looks for the parent, and the block's
# own structure before what its coinbase may claim; the first failure in this
# order is the one it answers with.
REASON_ORDER = (
    "high-hash", "prev-blk-not-found", "bad-diffbits", "time-too-old", "time-too-new",
    "bad-version", "bad-txnmrklroot", "bad-txns-duplicate", "bad-blk-length", "bad-cb-missing",
    "bad-cb-multiple", "bad-cb-length", "bad-txns-count", "bad-txns-data", "bad-txns-txid",
    "bad-txns-wtxid", "bad-cb-height", "bad-witness-nonce-size", "bad-witness-merkle-match",
    "unexpected-witness", "bad-cb-amount")


# --------------------------------------------------------------------------
# Targets


def compact_from_target(target: int) -> int:
    """The compact "bits" form of a target, rounded down like a node does."""
    size = (target.bit_length() + 7) // 8
    if size <= 3:
        mantissa = target << (8 * (3 - size))
    else:
        mantissa = target >> (8 * (size - 3))
    if mantissa & 0x00800000:  # would read as a sign bit
        mantissa >>= 8
        size += 1
    return mantissa | (size << 24)


def target_from_compact(bits: int) -> int:
    size, mantissa = bits >> 24, bits & 0x007FFFFF
    if bits & 0x00800000:
        return 0
    if size <= 3:
        return mantissa >> (8 * (3 - size))
    return (mantissa << (8 * (size - 3))) & ((1 << 256) - 1)


def target_for_work_bits(k: int) -> int:
    """A target that about one hash in 2^k meets."""
    if not 0 <= k <= 256:
        raise ValueError("work bits must be between 0 and 256: %d" % k)
    return (1 << (256 - k)) - 1


def is_hex(text: str) -> bool:
    return all(c in "0123456789abcdefABCDEF" for c in text)


def parse_target_hex(text: str) -> int:
    if len(text) != 64 or not is_hex(text):
        raise ValueError("target must be 64 hex digits: %r" % text)
    return int(text, 16)


# --------------------------------------------------------------------------
# Synthetic transactions


def compact_size(n: int) -> bytes:
    if n < 0xFD:
        return bytes([n])
    if n <= 0xFFFF:
        return b"\xfd" + struct.pack("<H", n)
    if n <= 0xFFFFFFFF:
        return b"\xfe" + struct.pack("<I", n)
    return b"\xff" + struct.pack("<Q", n)


def var_bytes(data: bytes) -> bytes:
    return compact_size(len(data)) + data


def serialize_tx(inputs, outputs, witnesses=None, version=2, locktime=0):
    """(full, stripped) serializations of a transaction.

    inputs are (previous hash, index, scriptSig, sequence), outputs (value,
    script), witnesses one stack (list of items) per input or None.
    """
    body = compact_size(len(inputs))
    for prev_hash, index, script_sig, sequence in inputs:
        body += prev_hash + struct.pack("<I", index) + var_bytes(script_sig)
        body += struct.pack("<I", sequence)
    body += compact_size(len(outputs))
    for value, script in outputs:
        body += struct.pack("<Q", value) + var_bytes(script)
    head, tail = struct.pack("<i", version), struct.pack("<I", locktime)
    stripped = head + body + tail
    if witnesses is None:
        return stripped, stripped
    witness = b"".join(compact_size(len(stack)) + b"".join(var_bytes(item) for item in stack)
                       for stack in witnesses)
    return head + b"\x00\x01" + body + witness + tail, stripped


def synthetic_tx(height: int, index: int, witness: bool) -> dict:
    """A well-formed spend as a template entry; unique per height and index.

    The witness kind spends a P2WPKH output (empty scriptSig, signature and
    key in the witness), the legacy kind a P2PKH output.
    """
    seed = b"qvnnode-tx" + struct.pack("<IIB", height, index, witness)
    prev_hash = bc.sha256d(seed)
    signature = b"\x30" + hashlib.sha256(seed + b"sig").digest() * 2 + b"\x01"
    pubkey = b"\x02" + hashlib.sha256(seed + b"key").digest()
    key_hash = hashlib.sha256(pubkey).digest()[:20]
    if witness:
        inputs = [(prev_hash, index, b"", 0xFFFFFFFD)]
        stacks = [[signature, pubkey]]
        script = b"\x00\x14" + key_hash
    else:
        inputs = [(prev_hash, index, var_bytes(signature) + var_bytes(pubkey), 0xFFFFFFFD)]
        stacks = None
        script = b"\x76\xa9\x14" + key_hash + b"\x88\xac"
    full, stripped = serialize_tx(inputs, [(TX_OUTPUT_VALUE, script)], stacks)
    return {
        "data": full.hex(),
        "txid": bc.display(bc.sha256d(stripped)),
        "hash": bc.display(bc.sha256d(full)),
        "depends": [],
        "fee": TX_FEE,
        "sigops": 1 if witness else 4,
        "weight": 3 * len(stripped) + len(full),
    }


def witness_commitment_script(transactions: list[dict]) -> bytes:
    """The coinbase output a node suggests: OP_RETURN, 0xaa21a9ed and the
    double SHA-256 of the witness root and a zero reserved value."""
    wtxids = [bc.NULL_HASH] + [bc.from_display(tx["hash"]) for tx in transactions]
    return bc.COMMITMENT_HEADER + bc.sha256d(bc.merkle_root(wtxids) + bc.NULL_HASH)


# --------------------------------------------------------------------------
# Coinbase facts


def read_script_num_op(script: bytes) -> tuple[int, int] | None:
    """(value, length) of the integer push at the start of a script."""
    if not script:
        return None
    op = script[0]
    if op == OP_0:
        return 0, 1
    if OP_1 <= op <= OP_1 + 15:
        return op - OP_1 + 1, 1
    if 1 <= op <= 8 and len(script) > op:
        return int.from_bytes(script[1:1 + op], "little"), 1 + op
    return None


def coinbase_facts(script_sig: bytes) -> dict:
    """Height, extranonce and tag as a miner lays them out in the scriptSig:
    the height push, an 8-byte extranonce push, a tag push (this node's
    templates carry no coinbaseaux bytes)."""
    facts = {"height": None, "extranonce": None, "tag_hex": None}
    height = read_script_num_op(script_sig)
    if height is None:
        return facts
    facts["height"] = height[0]
    rest = script_sig[height[1]:]
    if len(rest) < 9 or rest[0] != 8:
        return facts
    facts["extranonce"] = struct.unpack("<Q", rest[1:9])[0]
    tag = rest[9:]
    if not tag:
        facts["tag_hex"] = ""
    elif tag[0] < OP_PUSHDATA1 and len(tag) == 1 + tag[0]:
        facts["tag_hex"] = tag[1:].hex()
    elif tag[0] == OP_PUSHDATA1 and len(tag) >= 2 and len(tag) == 2 + tag[1]:
        facts["tag_hex"] = tag[2:].hex()
    return facts


# --------------------------------------------------------------------------
# The chain


@dataclasses.dataclass
class DevConfig:
    """What the node asks miners to work on."""

    target: int = target_for_work_bits(DEFAULT_WORK_BITS)
    version: int = DEFAULT_VERSION
    coinbasevalue: int = DEFAULT_COINBASEVALUE
    txs: int = 0
    legacy_txs: int = 0
    witness_commitment: bool = True
    longpollid: bool = True
    noncerange: str | None = FULL_NONCERANGE

    @property
    def bits(self) -> int:
        return compact_from_target(self.target)

    @property
    def effective_target(self) -> int:
        """The target the header's bits stand for (the configured one rounded down)."""
        return target_from_compact(self.bits)


@dataclasses.dataclass
class ChainBlock:
    height: int
    hash: str
    previousblockhash: str
    time: int
    source: str


def header_bytes(version, prev_display, merkle_root, timestamp, bits, nonce) -> bytes:
    return struct.pack("<i32s32sIII", version, bc.from_display(prev_display), merkle_root,
                       timestamp, bits, nonce)


class DevChain:
    """The chain, the work on its tip and the judge of submitted blocks.

    Not locked by itself: DevNode calls it under the node's lock.
    """

    def __init__(self, config: DevConfig | None = None, start_height: int = 0, clock=time.time):
        self.config = config or DevConfig()
        self.clock = clock
        self.serial = 0
        genesis_header = header_bytes(GENESIS_VERSION, "00" * 32, bc.NULL_HASH, GENESIS_TIME,
                                      GENESIS_BITS, 0)
        self.blocks = [ChainBlock(start_height, bc.display(bc.sha3_256t(genesis_header)),
                                  "00" * 32, GENESIS_TIME, "genesis")]
        self.by_hash = {self.blocks[0].hash: self.blocks[0]}
        self.side_blocks = set()

    @property
    def tip(self) -> ChainBlock:
        return self.blocks[-1]

    def now(self) -> int:
        return int(self.clock())

    def mintime(self, parent: ChainBlock) -> int:
        """One second past the median time of the last blocks up to parent."""
        end = parent.height - self.blocks[0].height + 1
        times = sorted(b.time for b in self.blocks[max(0, end - MEDIAN_TIME_SPAN):end])
        return times[len(times) // 2] + 1

    def transactions(self, height: int) -> list[dict]:
        cfg = self.config
        return ([synthetic_tx(height, i, True) for i in range(cfg.txs)]
                + [synthetic_tx(height, cfg.txs + i, False) for i in range(cfg.legacy_txs)])

    def template(self) -> dict:
        cfg, tip = self.config, self.tip
        height = tip.height + 1
        txs = self.transactions(height)
        mintime = self.mintime(tip)
        template = {
            "capabilities": ["proposal"],
            "version": cfg.version,
            "rules": ["segwit"],
            "vbavailable": {},
            "vbrequired": 0,
            "previousblockhash": tip.hash,
            "transactions": txs,
            "coinbaseaux": {},
            "coinbasevalue": cfg.coinbasevalue + sum(tx["fee"] for tx in txs),
            "target": "%064x" % cfg.effective_target,
            "mintime": mintime,
            "mutable": ["time", "transactions", "prevblock"],
            "sigoplimit": 80000,
            "sizelimit": 4000000,
            "weightlimit": 4000000,
            "curtime": max(self.now(), mintime),
            "bits": "%08x" % cfg.bits,
            "height": height,
        }
        if cfg.longpollid:
            template["longpollid"] = self.longpollid()
        if cfg.noncerange is not None:
            template["noncerange"] = cfg.noncerange
        if cfg.witness_commitment:
            template["default_witness_commitment"] = witness_commitment_script(txs).hex()
        return template

    def longpollid(self) -> str:
        """Changes with the tip and with every change of the work."""
        return "%s%d" % (self.tip.hash, self.serial)

    def changed(self):
        self.serial += 1

    def extend(self, block_hash: str, timestamp: int, source: str) -> ChainBlock:
        block = ChainBlock(self.tip.height + 1, block_hash, self.tip.hash, timestamp, source)
        self.blocks.append(block)
        self.by_hash[block_hash] = block
        self.changed()
        return block

    def advance(self) -> ChainBlock:
        """Another miner finds a block on the tip."""
        tip = self.tip
        timestamp = max(self.now(), self.mintime(tip))
        root = bc.sha256d(b"qvnnode-other-miner" + struct.pack("<I", tip.height + 1))
        header = header_bytes(self.config.version, tip.hash, root, timestamp, self.config.bits, 0)
        return self.extend(bc.display(bc.sha3_256t(header)), timestamp, "node")

    def expected_facts(self, parent: ChainBlock, on_tip: bool) -> dict:
        """What a block on parent must show; the exact templated content only
        for blocks on the tip (older work is not remembered)."""
        cfg = self.config
        exp = {"bits": "%08x" % cfg.bits, "target": "%064x" % cfg.effective_target,
               "height": parent.height + 1, "mintime": self.mintime(parent)}
        if on_tip:
            txs = self.transactions(parent.height + 1)
            exp["version"] = cfg.version
            exp["transactions"] = [{k: tx[k] for k in ("data", "txid", "hash")} for tx in txs]
            exp["coinbasevalue_max"] = cfg.coinbasevalue + sum(tx["fee"] for tx in txs)
        return exp

    def submit(self, block_hex: str) -> dict:
        """Judges one submitted block; returns its record (see the module doc)."""
        record = {"accepted": False, "result": None, "error": None, "hash": None,
                  "previousblockhash": None, "height": None, "extranonce": None,
                  "tag_hex": None, "nonce": None, "time": None,
                  "block_bytes": len(block_hex) // 2, "block": block_hex}
        try:
            block = bc.decode_block(bytes.fromhex(block_hex))
        except ValueError:  # bad hex or bad bytes
            record["error"] = DECODE_FAILED
            return record
        record.update(hash=bc.display(bc.pow_hash(block)),
                      previousblockhash=bc.display(block.hashPrevBlock), nonce=block.nNonce,
                      time=block.nTime)
        if block.vtx:
            record.update(coinbase_facts(bytes(block.vtx[0].vin[0].scriptSig)))
        record["result"] = self.judge(block, record["hash"], record["previousblockhash"])
        if record["result"] is None:
            self.extend(record["hash"], block.nTime, "submitted")
            record["accepted"] = True
        elif record["result"] == "inconclusive":
            self.side_blocks.add(record["hash"])
        return record

    def judge(self, block: bc.CBlock, block_hash: str, prev: str) -> str | None:
        if block_hash in self.by_hash or block_hash in self.side_blocks:
            return "duplicate"
        parent = self.by_hash.get(prev)
        problems = [] if parent is not None else ["prev-blk-not-found"]
        on_tip = parent is self.tip
        problems += bc.check_block(block, self.expected_facts(parent or self.tip, on_tip))
        if block.nTime > self.now() + MAX_FUTURE_SECONDS:
            problems.append("time-too-new")
        if problems:
            return first_reason(problems)
        return None if on_tip else "inconclusive"


def first_reason(problems: list[str]) -> str:
    reasons = [p.split(":", 1)[0] for p in problems]
    last = len(REASON_ORDER) - 1  # anything unlisted comes just before the amount

    def rank(reason):
        return REASON_ORDER.index(reason) if reason in REASON_ORDER else last - 0.5

    return min(reasons, key=rank)


class ChainTemplateSource(TemplateSource):
    def __init__(self, chain: DevChain):
        self.chain = chain

    def current(self):
        return self.chain.template()

    def longpollid(self):
        return self.chain.longpollid() if self.chain.config.longpollid else None


# --------------------------------------------------------------------------
# The node


CONFIG_FIELDS = {
    "txs": int, "legacy_txs": int, "coinbasevalue": int, "version": int,
    "witness_commitment": bool, "longpollid": bool,
}


def apply_settings(config: DevConfig, settings: dict) -> None:
    """Sets the fields named in settings (command keys or option values)."""
    for key, value in settings.items():
        if key == "work_bits":
            config.target = target_for_work_bits(int(value))
        elif key == "target_hex":
            config.target = parse_target_hex(str(value))
        elif key == "noncerange":
            if value is not None and (len(value) != 16 or not is_hex(value)):
                raise ValueError("noncerange must be 16 hex digits: %r" % value)
            config.noncerange = value
        elif key in CONFIG_FIELDS:
            setattr(config, key, CONFIG_FIELDS[key](value))
        else:
            raise KeyError("unknown setting: %s" % key)


class DevNode(NodeDouble):
    """The node double with a chain behind it; see the module docstring."""

    def __init__(self, config: DevConfig | None = None, host="127.0.0.1", port=0,
                 datadir=None, user=None, password=None, start_height=0,
                 auto_advance_sec=None, chain_name="regtest", **server_model):
        self.chain = DevChain(config, start_height)
        super().__init__(host=host, port=port, source=ChainTemplateSource(self.chain),
                         user=user, password=password, **server_model)
        self.cookie_path = None
        if datadir is not None:
            self.auth = (COOKIE_USER, secrets.token_hex(32))
            self.cookie_path = write_cookie(datadir, *self.auth)
        self.submissions = []
        self.auto_advance_sec = auto_advance_sec
        self.auto_thread = None
        self.methods["getblocktemplate"] = self.rpc_getblocktemplate_segwit
        self.methods["submitblock"] = self.rpc_submitblock_checked
        self.methods["getblockchaininfo"] = self.rpc_getblockchaininfo
        self.methods["decodescript"] = self.rpc_decodescript
        self.chain_name = chain_name
        del self.commands["set_template"]
        self.commands.update({
            "chain": self._cmd_chain,
            "template": self._cmd_template,
            "advance": self._cmd_advance,
            "configure": self._cmd_configure,
            "submissions": self._cmd_submissions,
            "wait_submissions": self._cmd_wait_submissions,
        })

    # ----- life cycle -----

    def start(self):
        super().start()
        if self.auto_advance_sec:
            self.auto_thread = threading.Thread(target=self._auto_advance, daemon=True)
            self.auto_thread.start()
        return self

    def stop(self):
        # The cookie goes first: once the server is down the process may end.
        with self.cond:
            path, self.cookie_path = self.cookie_path, None
        if path is not None:
            try:
                os.remove(path)
            except FileNotFoundError:
                pass
        super().stop()

    def _auto_advance(self):
        with self.cond:
            while not self.cond.wait_for(lambda: self.closing, self.auto_advance_sec):
                self.chain.advance()
                self._release_locked(None)

    def summary(self) -> list[str]:
        with self.cond:
            accepted = sum(1 for s in self.submissions if s["accepted"])
            reasons = Counter(s["result"] or s["error"] for s in self.submissions
                              if not s["accepted"])
            tip = self.chain.tip
        lines = ["[node] summary: accepted=%d rejected=%d" % (accepted, sum(reasons.values()))]
        if reasons:
            lines.append("[node] rejected: " + " ".join(
                "%s=%d" % (reason, n) for reason, n in sorted(reasons.items())))
        lines.append("[node] tip: height=%d hash=%s" % (tip.height, tip.hash))
        return lines

    # ----- JSON-RPC methods -----

    def rpc_getblocktemplate_segwit(self, call):
        params = call.params if isinstance(call.params, list) else []
        request = params[0] if params and isinstance(params[0], dict) else {}
        rules = request.get("rules")
        if not isinstance(rules, list) or "segwit" not in rules:
            raise RpcFault(-8, SEGWIT_RULE_MESSAGE)
        return self.rpc_getblocktemplate(call)

    def rpc_submitblock_checked(self, call):
        params = call.params if isinstance(call.params, list) else []
        if not params or not isinstance(params[0], str):
            raise RpcFault(-1, "submitblock expects the block as hex text")
        with self.cond:
            record = self.chain.submit(params[0])
            record["seq"] = len(self.submissions)
            self.submissions.append(record)
            if record["accepted"]:
                self._release_locked(None)
            self.cond.notify_all()
        if record["error"] is not None:
            raise RpcFault(-22, record["error"])
        return record["result"]

    def rpc_getblockchaininfo(self, call):
        with self.cond:
            tip = self.chain.tip
        return {"chain": self.chain_name, "blocks": tip.height, "bestblockhash": tip.hash}

    def rpc_decodescript(self, call):
        params = call.params if isinstance(call.params, list) else []
        if not params or not isinstance(params[0], str) or not is_hex(params[0]):
            raise RpcFault(-8, "argument must be hexadecimal string")
        return decode_script(bytes.fromhex(params[0]))

    # ----- control commands -----

    def _cmd_chain(self, cmd):
        with self.cond:
            blocks = [dataclasses.asdict(b) for b in self.chain.blocks]
            tip = self.chain.tip
        return {"height": tip.height, "tip": tip.hash, "blocks": blocks}

    def _cmd_template(self, cmd):
        with self.cond:
            return {"template": self.chain.template()}

    def _cmd_advance(self, cmd):
        with self.cond:
            for _ in range(int(cmd.get("count", 1))):
                self.chain.advance()
            self._release_locked(None)
            return {"ok": True, "height": self.chain.tip.height, "tip": self.chain.tip.hash}

    def _cmd_configure(self, cmd):
        settings = {k: v for k, v in cmd.items() if k not in ("cmd", "silent")}
        with self.cond:
            config = dataclasses.replace(self.chain.config)
            apply_settings(config, settings)  # all or nothing
            self.chain.config = config
            if not cmd.get("silent", False):
                self.chain.changed()
                self._release_locked(None)
            return {"ok": True, "template": self.chain.template()}

    def _matching_submissions(self, cmd):
        return [dict(s) for s in self.submissions
                if "accepted" not in cmd or s["accepted"] == bool(cmd["accepted"])]

    def _cmd_submissions(self, cmd):
        with self.cond:
            return {"submissions": self._matching_submissions(cmd)}

    def _cmd_wait_submissions(self, cmd):
        return self.wait_for_records(cmd, lambda: self._matching_submissions(cmd), "submissions")


def decode_script(script: bytes) -> dict:
    """decodescript's answer for the scripts whose address a regtest node
    names (base58 for P2PKH and P2SH, bech32 for witness v0); "nonstandard"
    and no address for the rest."""
    kinds = (  # type, prefix, program length, suffix, address of the program
        ("pubkeyhash", b"\x76\xa9\x14", 20, b"\x88\xac", lambda p: base58_address(111, p)),
        ("scripthash", b"\xa9\x14", 20, b"\x87", lambda p: base58_address(196, p)),
        ("witness_v0_keyhash", b"\x00\x14", 20, b"", lambda p: segwit_addr.encode("bcrt", 0, p)),
        ("witness_v0_scripthash", b"\x00\x20", 32, b"",
         lambda p: segwit_addr.encode("bcrt", 0, p)),
    )
    for kind, prefix, length, suffix, address in kinds:
        if (len(script) == len(prefix) + length + len(suffix) and script.startswith(prefix)
                and script.endswith(suffix)):
            return {"type": kind, "address": address(script[len(prefix):len(prefix) + length])}
    return {"type": "nonstandard"}


def base58_address(version: int, payload: bytes) -> str:
    return str(CBase58Data.from_bytes(payload, version))


def write_cookie(datadir: str, user: str, password: str) -> str:
    """DIR/.cookie as a node writes it at every start: a new file, readable
    by its owner only, renamed into place, so that a mode or group given to
    the old one is gone."""
    os.makedirs(datadir, exist_ok=True)
    path = os.path.join(datadir, COOKIE_NAME)
    fd = os.open(path + ".tmp", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    os.fchmod(fd, 0o600)  # an old temporary file keeps its mode otherwise
    with os.fdopen(fd, "w", encoding="ascii") as f:
        f.write("%s:%s" % (user, password))
    os.replace(path + ".tmp", path)
    return path


# --------------------------------------------------------------------------
# Command line


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="python3 -m qvnnode.devnode", description=__doc__.split("\n\n")[0],
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    auth = parser.add_mutually_exclusive_group()
    auth.add_argument("--datadir", help="write DIR/.cookie and require it")
    auth.add_argument("--user", help="require this user (with --password) instead")
    parser.add_argument("--password", default="")
    target = parser.add_mutually_exclusive_group()
    target.add_argument("--work-bits", type=int, metavar="K",
                        help="about 1 in 2^K hashes meets the target (default %d)"
                        % DEFAULT_WORK_BITS)
    target.add_argument("--target-hex", metavar="HEX", help="the target, 64 hex digits")
    parser.add_argument("--start-height", type=int, default=0, help="height of the first block")
    parser.add_argument("--chain", default="regtest",
                        help='the chain getblockchaininfo names (default regtest; "main" to '
                        "see the miner refuse a risky payout)")
    parser.add_argument("--coinbasevalue", type=int, default=DEFAULT_COINBASEVALUE,
                        help="block reward before fees")
    parser.add_argument("--block-version", type=lambda s: int(s, 0), default=DEFAULT_VERSION)
    parser.add_argument("--txs", type=int, default=0, help="transactions with witness data")
    parser.add_argument("--legacy-txs", type=int, default=0, help="transactions without")
    parser.add_argument("--no-witness-commitment", action="store_true",
                        help="leave default_witness_commitment out of templates")
    parser.add_argument("--no-longpollid", action="store_true",
                        help="leave longpollid out of templates")
    parser.add_argument("--noncerange", default=FULL_NONCERANGE, metavar="HEX16")
    parser.add_argument("--auto-advance-sec", type=float, metavar="N",
                        help="another miner finds a block every N seconds")
    parser.add_argument("--queue", action="append", default=[], metavar="JSON",
                        help='a response rule, e.g. {"method":"submitblock","status":500}')
    parser.add_argument("--exit-on-stdin-eof", action="store_true")
    add_server_model_args(parser)
    return parser.parse_args(argv)


def config_from_args(args) -> DevConfig:
    config = DevConfig()
    settings = {"coinbasevalue": args.coinbasevalue, "version": args.block_version,
                "txs": args.txs, "legacy_txs": args.legacy_txs,
                "witness_commitment": not args.no_witness_commitment,
                "longpollid": not args.no_longpollid, "noncerange": args.noncerange}
    if args.work_bits is not None:
        settings["work_bits"] = args.work_bits
    if args.target_hex is not None:
        settings["target_hex"] = args.target_hex
    apply_settings(config, settings)
    return config


def main(argv=None):
    args = parse_args(argv)
    try:
        config = config_from_args(args)
        rules = [json.loads(text) for text in args.queue]
    except (ValueError, KeyError) as e:
        print("qvnnode.devnode: %s" % e, file=sys.stderr)
        return 2
    node = DevNode(config, host=args.host, port=args.port, datadir=args.datadir,
                   user=args.user, password=args.password, start_height=args.start_height,
                   auto_advance_sec=args.auto_advance_sec, chain_name=args.chain,
                   rpc_threads=args.rpc_threads,
                   work_queue=args.rpc_work_queue)
    for rule in rules:
        node.control(dict(rule, cmd="queue"))
    serve_until_stopped(node, args.exit_on_stdin_eof)
    print("\n".join(node.summary()), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
