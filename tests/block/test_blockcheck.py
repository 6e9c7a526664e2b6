"""The block checker on real and hand-made blocks: a sound block passes, and
each kind of fault is named by its own reason."""

import hashlib
import json
import os
import struct
import subprocess
import sys
import tempfile
import unittest

from qvnnode import blockcheck as bc

# Bitcoin's genesis block: header hash and coinbase txid are published facts.
GENESIS_HEX = (
    "0100000000000000000000000000000000000000000000000000000000000000000000003ba3edfd7a7b12b2"
    "7ac72c3e67768f617fc81bc3888a51323a9fb8aa4b1e5e4a29ab5f49ffff001d1dac2b7c01010000000100"
    "00000000000000000000000000000000000000000000000000000000000000ffffffff4d04ffff001d010445"
    "5468652054696d65732030332f4a616e2f32303039204368616e63656c6c6f72206f6e206272696e6b206f"
    "66207365636f6e64206261696c6f757420666f722062616e6b73ffffffff0100f2052a0100000043410467"
    "8afdb0fe5548271967f1a67130b7105cd6a828e03909a67962e0ea1f61deb649f6bc3f4cef38c4f35504e5"
    "1ec112de5c384df7ba0b8d578a4c702b6bf11d5fac00000000")
GENESIS_HASH = "000000000019d6689c085ae165831e934ff763ae46a2a6c172b3f1b60a8ce26f"
GENESIS_TXID = "4a5e1e4baab89f3a32518a88c31bc87f618f76673e2cc77ab2127b7afdeda33b"


def dsha(b):
    return hashlib.sha256(hashlib.sha256(b).digest()).digest()


def varint(n):
    if n < 253:
        return bytes([n])
    if n <= 0xFFFF:
        return b"\xfd" + struct.pack("<H", n)
    return b"\xfe" + struct.pack("<I", n)


def tx_bytes(inputs, outputs, witnesses=None, version=2, locktime=0):
    """(full, stripped) serializations; inputs are (prev, index, scriptSig, sequence)."""
    body = varint(len(inputs))
    for prev, index, script, seq in inputs:
        body += prev + struct.pack("<I", index) + varint(len(script)) + script
        body += struct.pack("<I", seq)
    body += varint(len(outputs))
    for value, script in outputs:
        body += struct.pack("<Q", value) + varint(len(script)) + script
    ver = struct.pack("<i", version)
    lock = struct.pack("<I", locktime)
    stripped = ver + body + lock
    if witnesses is None:
        return stripped, stripped
    wit = b"".join(varint(len(stack)) + b"".join(varint(len(i)) + i for i in stack)
                   for stack in witnesses)
    return ver + b"\x00\x01" + body + wit + lock, stripped


def root(hashes):
    while len(hashes) > 1:
        if len(hashes) % 2:
            hashes = hashes + hashes[-1:]
        hashes = [dsha(hashes[i] + hashes[i + 1]) for i in range(0, len(hashes), 2)]
    return hashes[0]


SPEND = tx_bytes([(b"\x11" * 32, 0, b"\x51", 0xFFFFFFFE)], [(1000, b"\x51")])
SEGWIT_SPEND = tx_bytes([(b"\x22" * 32, 1, b"", 0xFFFFFFFF)], [(2000, b"\x00\x14" + b"\x33" * 20)],
                        witnesses=[[b"\x30" * 71, b"\x02" * 33]])


def make_block(**over):
    """A sound witness block at height 300 unless a field is overridden."""
    p = dict(height_script=b"\x02\x2c\x01", aux=b"\xaa\xbb", extranonce=7, tag=b"/t/",
             sequence=0xFFFFFFFF, locktime=0, payouts=[(3000, b"\x51"), (2000, b"\x52")],
             txs=[SPEND, SEGWIT_SPEND], cb_witness=[bytes(32)], commit=True,
             commit_tweak=0, root_tweak=0, time=1700000100, nonce=0x12345678, script_sig=None)
    p.update(over)
    script_sig = p["script_sig"]
    if script_sig is None:
        script_sig = (p["height_script"] + p["aux"] + b"\x08" + struct.pack("<Q", p["extranonce"])
                      + (bytes([len(p["tag"])]) + p["tag"] if p["tag"] else b""))
    outputs = list(p["payouts"])
    if p["commit"]:
        wroot = root([bytes(32)] + [dsha(full) for full, _ in p["txs"]])
        commitment = bytearray(dsha(wroot + bytes(32)))
        commitment[0] ^= p["commit_tweak"]
        outputs.append((0, bytes.fromhex("6a24aa21a9ed") + bytes(commitment)))
    coinbase = tx_bytes([(bytes(32), 0xFFFFFFFF, script_sig, p["sequence"])], outputs,
                        witnesses=[p["cb_witness"]] if p["cb_witness"] is not None else None,
                        locktime=p["locktime"])
    txs = [coinbase] + list(p["txs"])
    mroot = bytearray(root([dsha(stripped) for _, stripped in txs]))
    mroot[31] ^= p["root_tweak"]
    header = struct.pack("<i32s32sIII", 0x20000000, bytes(range(32)), bytes(mroot), p["time"],
                         0x1d00ffff, p["nonce"])
    return header + varint(len(txs)) + b"".join(full for full, _ in txs)


EXPECTED = {
    "version": 0x20000000, "previousblockhash": bytes(range(32))[::-1].hex(), "bits": "1d00ffff",
    "time": 1700000100, "curtime": 1700000000, "mintime": 1699999000, "nonce": 0x12345678,
    "height": 300, "coinbaseaux": ["aa", "bb"], "extranonce": 7, "tag_hex": b"/t/".hex(),
    "cb_version": 2, "cb_sequence": 0xFFFFFFFF, "cb_locktime": 0, "coinbasevalue": 5000,
    "outputs": [{"value": 3000, "script": "51"}, {"value": 2000, "script": "52"}],
    "witness": True,
    "transactions": [
        {"data": full.hex(), "txid": dsha(stripped)[::-1].hex(), "hash": dsha(full)[::-1].hex()}
        for full, stripped in (SPEND, SEGWIT_SPEND)],
}


def reasons(raw, **exp_over):
    exp = dict(EXPECTED, **exp_over)
    return [p.split(":", 1)[0] for p in bc.check_block(bc.decode_block(raw), exp)]


class KnownBlocks(unittest.TestCase):
    def test_genesis_block_decodes_and_checks(self):
        block = bc.decode_block(bytes.fromhex(GENESIS_HEX))
        self.assertEqual(bc.display(block.GetHash()), GENESIS_HASH)
        self.assertEqual(bc.display(block.vtx[0].GetTxid()), GENESIS_TXID)
        self.assertEqual(block.nBits, 0x1d00ffff)
        self.assertEqual(block.nNonce, 2083236893)
        self.assertEqual(bc.check_block(block, {"coinbasevalue": 5000000000, "tx_count": 1,
                                                "version": 1, "time": 1231006505}), [])

    def test_merkle_root_of_block_100000(self):
        txids = ["8c14f0db3df150123e6f3dbbf30f8b955a8249b62ac1d1ff16284aefa3d06d87",
                 "fff2525b8931402dd09222c50775608f75787bd2b87e56995a7bdd30f79702c4",
                 "6359f0868171b1d194cbee1af2f16ea598ae8fad666d9b012c8ed2b79a236ec4",
                 "e9a66845e05d5abc0ad04ec80f774a7e585c6e8db975962d069a522137b80c1d"]
        self.assertEqual(bc.display(bc.merkle_root([bc.from_display(t) for t in txids])),
                         "f3e94742aca4b5ef85488dc37c06c3282295ffec960994b2c0d5ac2a25a95766")

    def test_height_script_follows_the_nodes_integer_push(self):
        for height, script in [(0, "00"), (1, "51"), (16, "60"), (17, "0111"), (127, "017f"),
                               (128, "028000"), (255, "02ff00"), (256, "020001"),
                               (840000, "0340d10c"), (2**32 - 1, "05ffffffff00")]:
            with self.subTest(height=height):
                self.assertEqual(bc.height_script(height).hex(), script)


class Faults(unittest.TestCase):
    def test_sound_block_passes(self):
        block = bc.decode_block(make_block())
        self.assertEqual(bc.check_block(block, EXPECTED), [])
        self.assertNotEqual(block.vtx[2].GetTxid(), block.vtx[2].GetHash())
        self.assertEqual(block.vtx[1].GetTxid(), block.vtx[1].GetHash())

    def test_each_fault_has_its_reason(self):
        cases = [
            ("merkle root", dict(root_tweak=1), {}, "bad-txnmrklroot"),
            ("height", dict(height_script=b"\x02\x2d\x01"), {}, "bad-cb-height"),
            ("small height as data push", dict(height_script=b"\x01\x05"), {"height": 5},
             "bad-cb-height"),
            ("aux bytes", dict(aux=b"\xaa"), {}, "bad-cb-aux"),
            ("extranonce", dict(extranonce=8), {}, "bad-cb-extranonce"),
            ("tag", dict(tag=b"/u/"), {}, "bad-cb-tag"),
            ("missing tag", dict(tag=b""), {}, "bad-cb-tag"),
            ("sequence", dict(sequence=0), {}, "bad-cb-sequence"),
            ("lock time", dict(locktime=1), {}, "bad-cb-locktime"),
            ("amount", dict(payouts=[(3000, b"\x51"), (1999, b"\x52")]), {}, "bad-cb-amount"),
            ("commitment", dict(commit_tweak=1), {}, "bad-witness-merkle-match"),
            ("reserved value size", dict(cb_witness=[bytes(31)]), {}, "bad-witness-nonce-size"),
            ("two witness items", dict(cb_witness=[bytes(32), b""]), {},
             "bad-witness-nonce-size"),
            ("witness without commitment", dict(commit=False, cb_witness=None), {},
             "unexpected-witness"),
            ("scriptSig too long", dict(script_sig=b"\x02\x2c\x01" + bytes(98)), {},
             "bad-cb-length"),
            ("scriptSig too short", dict(script_sig=b"\x00"), {"height": 0}, "bad-cb-length"),
            ("header time", dict(time=1699998999), {"time": 1699998999}, "time-too-old"),
            ("nonce", dict(nonce=1), {}, "bad-nonce"),
            ("transaction count", {}, {"tx_count": 4}, "bad-txns-count"),
            ("template transactions", dict(txs=[SEGWIT_SPEND, SPEND]), {}, "bad-txns-data"),
            ("duplicated transaction", dict(txs=[SPEND, SPEND]),
             {"transactions": [], "tx_count": 3}, "bad-txns-duplicate"),
            ("previous block", {}, {"previousblockhash": "00" * 32}, "bad-prevblk"),
            ("bits", {}, {"bits": "1d00fffe"}, "bad-diffbits"),
            ("witness expected absent", {}, {"witness": False}, "bad-cb-witness"),
            ("template commitment", {}, {"default_witness_commitment": "6a24aa21a9ed" + "00" * 32},
             "bad-witness-commitment"),
            ("proof of work", {}, {"target": "00" * 32}, "high-hash"),
        ]
        for name, build, exp, reason in cases:
            with self.subTest(name):
                self.assertIn(reason, reasons(make_block(**build), **exp))

    def test_easiest_target_is_met(self):
        self.assertEqual(reasons(make_block(), target="ff" * 32), [])

    def test_malformed_bytes_do_not_decode(self):
        good = make_block()
        header_end = 80
        cases = [
            ("truncated", good[:-1]),
            ("trailing byte", good + b"\x00"),
            ("short header", good[:79]),
            ("non-canonical count", good[:header_end] + b"\xfd\x03\x00" + good[header_end + 1:]),
            ("unknown witness flag", good[:header_end + 1] + good[header_end + 1:header_end + 5]
             + b"\x00\x02" + good[header_end + 7:]),
            ("count beyond the data", good[:header_end] + b"\x09" + good[header_end + 1:]),
            ("transaction without inputs", make_block(txs=[tx_bytes([], [])])),
            ("witness marker over empty witnesses", make_block(txs=[tx_bytes(
                [(b"\x11" * 32, 0, b"\x51", 0xFFFFFFFE)], [(1000, b"\x51")], witnesses=[[]])])),
        ]
        for name, raw in cases:
            with self.subTest(name):
                with self.assertRaises(bc.DecodeError):
                    bc.decode_block(raw)
                self.assertEqual(bc.verdict(raw), "block-decode-failed")

    def test_verdict_gives_the_first_short_reason(self):
        self.assertIsNone(bc.verdict(make_block(), EXPECTED))
        self.assertEqual(bc.verdict(make_block(root_tweak=1), EXPECTED), "bad-txnmrklroot")


class CommandLine(unittest.TestCase):
    def run_cli(self, raw, expected=None):
        with tempfile.TemporaryDirectory() as tmp:
            block_path = os.path.join(tmp, "block.hex")
            with open(block_path, "w") as f:
                f.write(raw.hex() + "\n")
            args = [sys.executable, "-m", "qvnnode.blockcheck", block_path]
            if expected is not None:
                facts = os.path.join(tmp, "facts.json")
                with open(facts, "w") as f:
                    json.dump(expected, f)
                args += ["--expect", facts]
            return subprocess.run(args, capture_output=True, text=True, timeout=60)

    def test_exit_status_and_messages(self):
        ok = self.run_cli(make_block(), EXPECTED)
        self.assertEqual(ok.returncode, 0, ok.stderr)
        self.assertTrue(ok.stdout.startswith("ok "))
        self.assertIn("3 transactions", ok.stdout)

        bad = self.run_cli(make_block(commit_tweak=1), EXPECTED)
        self.assertEqual(bad.returncode, 1)
        self.assertTrue(bad.stderr.startswith("bad-witness-merkle-match"))

        broken = self.run_cli(make_block()[:-3])
        self.assertEqual(broken.returncode, 1)
        self.assertTrue(broken.stderr.startswith("block-decode-failed"))


if __name__ == "__main__":
    unittest.main()
