"""The development node on its own: targets, synthetic transactions,
templates, the judging of submitted blocks, long polls, the cookie and the
command line. Blocks are built here from the template with hashlib alone."""

import base64
import hashlib
import http.client
import json
import os
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from qvnnode import blockcheck as bc
from qvnnode import devnode as dn

PAYOUT = bytes.fromhex("76a91400112233445566778899aabbccddeeff0011223388ac")
TOOLS = os.environ.get("QVN_TOOLS") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
WAIT = 15


def dsha(data):
    return hashlib.sha256(hashlib.sha256(data).digest()).digest()


def sha3t(data):
    for _ in range(3):
        data = hashlib.sha3_256(data).digest()
    return data


def merkle(leaves):
    while len(leaves) > 1:
        if len(leaves) % 2:
            leaves = leaves + leaves[-1:]
        leaves = [dsha(leaves[i] + leaves[i + 1]) for i in range(0, len(leaves), 2)]
    return leaves[0]


def push(data):
    return (bytes([len(data)]) if len(data) < 0x4C else bytes([0x4C, len(data)])) + data


def height_script(height):
    if height == 0:
        return b"\x00"
    if height <= 16:
        return bytes([0x50 + height])
    num = height.to_bytes((height.bit_length() + 8) // 8, "little")  # room for the sign bit
    return push(num)


def expand_bits(bits):
    exponent, mantissa = bits >> 24, bits & 0x7FFFFF
    return mantissa >> 8 * (3 - exponent) if exponent <= 3 else mantissa << 8 * (exponent - 3)


def build_block(template, *, pay=0, height=None, commitment="right", drop_tx=False,
                prev=None, bits=None, timestamp=None, version=None, tamper_merkle=False,
                meets_target=True, extranonce=0):
    """Hex of a block for the template; the keywords spoil one thing each."""
    txs = [bytes.fromhex(tx["data"]) for tx in template["transactions"]]
    txids = [bytes.fromhex(tx["txid"])[::-1] for tx in template["transactions"]]
    if drop_tx:
        txs, txids = txs[:-1], txids[:-1]
    script_sig = (height_script(template["height"]) if height is None else height)
    script_sig += push(struct.pack("<Q", extranonce)) + push(b"/test/")
    outputs = [(template["coinbasevalue"] + pay, PAYOUT)]
    if commitment is not None:
        witness_root = merkle([bytes(32)] + [dsha(tx) for tx in txs])
        committed = dsha(witness_root + bytes(32))
        if commitment == "wrong":
            committed = bytes(32)
        outputs.append((0, bytes.fromhex("6a24aa21a9ed") + committed))
    body = b"\x01" + bytes(32) + b"\xff" * 4 + bytes([len(script_sig)]) + script_sig + b"\xff" * 4
    body += bytes([len(outputs)]) + b"".join(
        struct.pack("<Q", value) + bytes([len(script)]) + script for value, script in outputs)
    stripped = struct.pack("<i", 2) + body + bytes(4)
    coinbase = stripped
    if commitment is not None:
        coinbase = struct.pack("<i", 2) + b"\x00\x01" + body + b"\x01\x20" + bytes(32) + bytes(4)
    root = merkle([dsha(stripped)] + txids)
    if tamper_merkle:
        root = bytes([root[0] ^ 1]) + root[1:]
    fields = (template["version"] if version is None else version,
              bytes.fromhex(prev or template["previousblockhash"])[::-1], root,
              template["curtime"] if timestamp is None else timestamp,
              int(template["bits"], 16) if bits is None else bits)
    target = int(template["target"], 16)
    for nonce in range(1 << 16):
        header = struct.pack("<i32s32sIII", *fields, nonce)
        if (int.from_bytes(sha3t(header), "little") <= target) == meets_target:
            break
    count = bytes([1 + len(txs)])
    return (header + count + coinbase + b"".join(txs)).hex()


class NodeTest(unittest.TestCase):
    def start(self, start_height=0, **settings):
        config = dn.DevConfig()
        dn.apply_settings(config, settings)
        self.datadir = tempfile.TemporaryDirectory(prefix="qvn-devnode-")
        self.addCleanup(self.datadir.cleanup)
        self.node = dn.DevNode(config, datadir=self.datadir.name,
                               start_height=start_height).start()
        self.addCleanup(self.node.stop)
        return self.node

    def cookie(self):
        with open(os.path.join(self.datadir.name, ".cookie"), encoding="ascii") as f:
            return f.read()

    def post(self, body, auth=True, path="/", timeout=WAIT):
        headers = {}
        if auth:
            token = base64.b64encode(self.cookie().encode()).decode()
            headers["Authorization"] = "Basic " + token
        conn = http.client.HTTPConnection("127.0.0.1", self.node.port, timeout=timeout)
        try:
            conn.request("POST", path, body=json.dumps(body).encode(), headers=headers)
            response = conn.getresponse()
            return response.status, response.read()
        finally:
            conn.close()

    def rpc(self, method, *params, **kwargs):
        status, body = self.post({"id": 1, "method": method, "params": list(params)}, **kwargs)
        return status, json.loads(body) if body else None

    def gbt(self, **request):
        request.setdefault("rules", ["segwit"])
        status, answer = self.rpc("getblocktemplate", request)
        self.assertEqual(status, 200, answer)
        return answer["result"]

    def submit(self, block_hex):
        status, answer = self.rpc("submitblock", block_hex)
        self.assertEqual(status, 200, answer)
        return answer["result"]

    def control(self, **cmd):
        return self.node.control(cmd)


class Targets(unittest.TestCase):
    def test_compact_form_round_trip(self):
        # target, its compact form (a node's own encoding vectors)
        cases = [
            (0, 0x00000000),
            (0x12, 0x01120000),
            (0x80, 0x02008000),
            (0x1234, 0x02123400),
            (0x123456, 0x03123456),
            (0x12345600, 0x04123456),
            (0xFFFF << 208, 0x1D00FFFF),
            (0x7FFFFF << 232, 0x207FFFFF),
        ]
        for target, bits in cases:
            with self.subTest(bits="%08x" % bits):
                self.assertEqual(dn.compact_from_target(target), bits)
                self.assertEqual(dn.target_from_compact(bits), target)
                self.assertEqual(expand_bits(bits), target)
        self.assertEqual(dn.target_from_compact(0x04923456), 0)  # sign bit

    def test_work_bits_give_the_odds(self):
        for k in (0, 4, 18, 22, 32):
            with self.subTest(k=k):
                config = dn.DevConfig(target=dn.target_for_work_bits(k))
                odds = config.effective_target / 2**256
                self.assertLessEqual(odds, 2.0**-k)
                self.assertGreater(odds, 2.0**-k * (1 - 2**-15))
                self.assertEqual(expand_bits(config.bits), config.effective_target)


class SyntheticTransactions(unittest.TestCase):
    def test_transactions_are_well_formed(self):
        seen = set()
        for height, index, witness in [(1, 0, True), (1, 1, True), (2, 0, True), (1, 2, False),
                                       (300, 0, False)]:
            with self.subTest(height=height, index=index, witness=witness):
                entry = dn.synthetic_tx(height, index, witness)
                raw = bytes.fromhex(entry["data"])
                tx = bc.decode_tx(raw)
                self.assertFalse(tx.is_coinbase())
                self.assertEqual(tx.has_witness(), witness)
                self.assertEqual(entry["txid"], bc.display(dsha(bc.stripped(tx))))
                self.assertEqual(entry["hash"], bc.display(dsha(raw)))
                self.assertEqual(entry["txid"] != entry["hash"], witness)
                self.assertEqual(entry["weight"], 3 * len(bc.stripped(tx)) + len(raw))
                self.assertNotIn(entry["txid"], seen)
                seen.add(entry["txid"])


class Templates(NodeTest):
    def test_template_describes_work_on_the_tip(self):
        node = self.start(start_height=99, work_bits=4, txs=2, legacy_txs=1,
                          noncerange="0000000100000fff")
        template = self.gbt()
        chain = self.control(cmd="chain")
        self.assertEqual((template["height"], template["previousblockhash"]),
                         (100, chain["tip"]))
        self.assertEqual(template["rules"], ["segwit"])
        self.assertEqual(template["noncerange"], "0000000100000fff")
        self.assertEqual(len(template["transactions"]), 3)
        self.assertEqual(template["coinbasevalue"], 5000000000 + 3 * dn.TX_FEE)
        self.assertEqual(int(template["target"], 16), expand_bits(int(template["bits"], 16)))
        self.assertLessEqual(template["mintime"], template["curtime"])
        self.assertGreaterEqual(template["curtime"], int(time.time()) - 1)
        wtxids = [bytes(32)] + [dsha(bytes.fromhex(tx["data"]))
                                for tx in template["transactions"]]
        self.assertEqual(template["default_witness_commitment"],
                         "6a24aa21a9ed" + dsha(merkle(wtxids) + bytes(32)).hex())
        self.assertIsNone(self.submit(build_block(template)))
        self.assertEqual(node.control({"cmd": "chain"})["height"], 100)

    def test_optional_members_can_be_left_out(self):
        self.start(witness_commitment=False, longpollid=False, noncerange=None)
        template = self.gbt()
        for key in ("default_witness_commitment", "longpollid", "noncerange"):
            self.assertNotIn(key, template)

    def test_longpollid_changes_with_the_work(self):
        self.start()
        ids = [self.gbt()["longpollid"]]
        for change in ({"cmd": "advance"}, {"cmd": "configure", "txs": 1},
                       {"cmd": "configure"}):
            self.control(**change)
            ids.append(self.gbt()["longpollid"])
        self.assertEqual(len(set(ids)), len(ids), ids)

    def test_segwit_rule_is_required(self):
        self.start()
        status, answer = self.rpc("getblocktemplate", {"rules": []})
        self.assertEqual(status, 500)
        self.assertEqual(answer["error"], {"code": -8, "message": dn.SEGWIT_RULE_MESSAGE})

    def test_bad_settings_are_refused_whole(self):
        node = self.start()
        before = self.gbt()
        for bad in ({"target_hex": "zz"}, {"noncerange": "00"}, {"txs": 1, "colour": "red"},
                    {"work_bits": 300}):
            with self.subTest(**bad):
                with self.assertRaises((ValueError, KeyError)):
                    node.control(dict(bad, cmd="configure"))
        after = self.gbt()
        self.assertEqual((after["transactions"], after["target"]),
                         (before["transactions"], before["target"]))


class Judging(NodeTest):
    def test_each_fault_gets_its_reason(self):
        now = int(time.time())
        # name, block keywords, node answer (None: accepted)
        cases = [
            ("sound", {}, None),
            ("pays less", {"pay": -1000}, None),
            ("pays more", {"pay": 1}, "bad-cb-amount"),
            ("hash above target", {"meets_target": False}, "high-hash"),
            ("unknown parent", {"prev": "11" * 32}, "prev-blk-not-found"),
            ("other bits", {"bits": 0x1D00FFFF}, "bad-diffbits"),
            ("before mintime", {"timestamp": dn.GENESIS_TIME}, "time-too-old"),
            ("far future", {"timestamp": now + 3 * 3600}, "time-too-new"),
            ("other version", {"version": 4}, "bad-version"),
            ("wrong merkle root", {"tamper_merkle": True}, "bad-txnmrklroot"),
            ("height as data push", {"height": b"\x01\x01"}, "bad-cb-height"),
            ("wrong height", {"height": b"\x52"}, "bad-cb-height"),
            ("wrong commitment", {"commitment": "wrong"}, "bad-witness-merkle-match"),
            ("no commitment", {"commitment": None}, "unexpected-witness"),
            ("transaction left out", {"drop_tx": True}, "bad-txns-count"),
        ]
        for name, spoil, answer in cases:
            with self.subTest(name):
                node = self.start(work_bits=4, txs=2, legacy_txs=1)
                genesis = node.control({"cmd": "chain"})["tip"]
                block = build_block(self.gbt(), extranonce=5, **spoil)
                self.assertEqual(self.submit(block), answer)
                [record] = self.control(cmd="submissions")["submissions"]
                self.assertEqual((record["accepted"], record["result"], record["block"]),
                                 (answer is None, answer, block))
                tip = self.control(cmd="chain")["tip"]
                self.assertEqual(tip, record["hash"] if answer is None else genesis)
                if answer is None:
                    self.assertEqual((record["height"], record["extranonce"], record["tag_hex"]),
                                     (1, 5, b"/test/".hex()))
                    self.assertEqual(record["hash"], bc.display(sha3t(bytes.fromhex(block[:160]))))

    def test_resubmitted_and_stale_blocks(self):
        self.start(work_bits=4)
        template = self.gbt()
        first = build_block(template, extranonce=1)
        self.assertIsNone(self.submit(first))
        tip = self.control(cmd="chain")["tip"]
        self.assertEqual(self.submit(first), "duplicate")
        twin = build_block(template, extranonce=2)
        self.assertEqual(self.submit(twin), "inconclusive")
        self.assertEqual(self.submit(twin), "duplicate")
        self.assertEqual(self.control(cmd="chain")["tip"], tip)
        self.assertEqual([s["result"] for s in self.control(cmd="submissions", accepted=False)
                          ["submissions"]], ["duplicate", "inconclusive", "duplicate"])

    def test_bytes_that_are_not_a_block(self):
        self.start()
        for text in ("00ff", "zz", ""):
            with self.subTest(text=text):
                status, answer = self.rpc("submitblock", text)
                self.assertEqual(status, 500)
                self.assertEqual(answer["error"], {"code": -22, "message": "Block decode failed"})
        self.assertEqual(len(self.control(cmd="submissions")["submissions"]), 3)


class LongPolls(NodeTest):
    def hold(self, longpollid):
        outcome = {}

        def run():
            outcome["result"] = self.gbt(longpollid=longpollid)

        thread = threading.Thread(target=run, daemon=True)
        thread.start()
        held = self.control(cmd="wait_requests", count=1, state="held", longpollid=longpollid)
        self.assertTrue(held["ok"])
        return thread, outcome

    def test_held_until_the_work_changes(self):
        def accept_a_block(node):
            self.assertIsNone(self.submit(build_block(self.gbt())))

        # what changes the work, the height of the answer
        cases = [
            ("advance", lambda node: node.control({"cmd": "advance", "count": 2}), 3),
            ("configure", lambda node: node.control({"cmd": "configure", "txs": 1}), 1),
            ("accepted block", accept_a_block, 2),
        ]
        for name, change, height in cases:
            with self.subTest(name):
                node = self.start(work_bits=4)
                current = self.gbt()["longpollid"]
                # Any other id is answered at once.
                self.assertEqual(self.gbt(longpollid="old")["longpollid"], current)
                thread, outcome = self.hold(current)
                change(node)
                thread.join(WAIT)
                self.assertFalse(thread.is_alive())
                self.assertEqual(outcome["result"]["height"], height)
                self.assertNotEqual(outcome["result"]["longpollid"], current)

    def test_auto_advance_extends_the_chain(self):
        datadir = tempfile.TemporaryDirectory()
        self.addCleanup(datadir.cleanup)
        self.datadir = datadir
        self.node = dn.DevNode(datadir=datadir.name, auto_advance_sec=0.2).start()
        self.addCleanup(self.node.stop)
        thread, outcome = self.hold(self.gbt()["longpollid"])
        thread.join(WAIT)
        self.assertEqual(outcome["result"]["height"], 2)
        blocks = self.control(cmd="chain")["blocks"]
        self.assertEqual([b["source"] for b in blocks[:2]], ["genesis", "node"])
        self.assertEqual(blocks[1]["previousblockhash"], blocks[0]["hash"])


class Cookie(NodeTest):
    def test_cookie_file_and_authentication(self):
        self.start()
        path = os.path.join(self.datadir.name, ".cookie")
        user, _, password = self.cookie().partition(":")
        self.assertEqual(user, "__cookie__")
        self.assertRegex(password, "^[0-9a-f]{64}$")
        self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)
        status, _ = self.post({"id": 1, "method": "getblocktemplate",
                               "params": [{"rules": ["segwit"]}]}, auth=False)
        self.assertEqual(status, 401)
        self.node.stop()
        self.assertFalse(os.path.exists(path))


class CommandLine(unittest.TestCase):
    def run_node(self, *args):
        env = dict(os.environ, PYTHONPATH=TOOLS + os.pathsep + os.environ.get("PYTHONPATH", ""))
        proc = subprocess.Popen([sys.executable, "-m", "qvnnode.devnode", *args],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, env=env)
        self.addCleanup(self.finish, proc)
        return proc

    @staticmethod
    def finish(proc):
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        for stream in (proc.stdin, proc.stdout, proc.stderr):
            if not stream.closed:
                stream.close()

    def test_serves_then_summarises_however_stopped(self):
        def post(url, path, body, cookie=None):
            host, port = url[len("http://"):].rstrip("/").split(":")
            conn = http.client.HTTPConnection(host, int(port), timeout=WAIT)
            headers = {}
            if cookie:
                headers["Authorization"] = "Basic " + base64.b64encode(cookie.encode()).decode()
            conn.request("POST", path, body=json.dumps(body).encode(), headers=headers)
            response = conn.getresponse()
            answer = response.status, response.read()
            conn.close()
            return answer

        def shutdown(proc, url):
            post(url, "/control", {"cmd": "shutdown"})

        stops = [
            ("SIGTERM", lambda proc, url: proc.send_signal(signal.SIGTERM)),
            ("SIGINT", lambda proc, url: proc.send_signal(signal.SIGINT)),
            ("end of input", lambda proc, url: proc.stdin.close()),
            ("shutdown command", shutdown),
        ]
        for name, stop in stops:
            with self.subTest(name), tempfile.TemporaryDirectory() as datadir:
                proc = self.run_node("--datadir", datadir, "--work-bits", "4", "--txs", "1",
                                     "--exit-on-stdin-eof", "--queue",
                                     '{"method": "getblocktemplate", "status": 503, "body": "x"}')
                url = proc.stdout.readline().strip()
                self.assertRegex(url, r"^http://127\.0\.0\.1:\d+/$")
                with open(os.path.join(datadir, ".cookie"), encoding="ascii") as f:
                    cookie = f.read()
                request = {"id": 1, "method": "getblocktemplate", "params": [{"rules": ["segwit"]}]}
                self.assertEqual(post(url, "/", request, cookie), (503, b"x"))
                status, body = post(url, "/", request, cookie)
                template = json.loads(body)["result"]
                for block in (build_block(template), build_block(template, meets_target=False)):
                    post(url, "/", {"id": 2, "method": "submitblock", "params": [block]}, cookie)
                tip = json.loads(post(url, "/control", {"cmd": "chain"})[1])["tip"]
                stop(proc, url)
                proc.wait(WAIT)
                out, err = proc.stdout.read(), proc.stderr.read()
                self.assertEqual(proc.returncode, 0, err)
                self.assertEqual(out.splitlines(), [
                    "[node] summary: accepted=1 rejected=1",
                    "[node] rejected: high-hash=1",
                    "[node] tip: height=1 hash=" + tip])
                self.assertFalse(os.path.exists(os.path.join(datadir, ".cookie")))

    def test_bad_options_are_refused(self):
        for args in (["--target-hex", "zz"], ["--noncerange", "123"],
                     ["--work-bits", "4", "--target-hex", "00" * 32],
                     ["--queue", "{not json"]):
            with self.subTest(args=args):
                proc = self.run_node(*args)
                proc.wait(WAIT)
                out, err = proc.stdout.read(), proc.stderr.read()
                self.assertEqual(proc.returncode, 2, err)
                self.assertEqual(out, "")
                self.assertTrue(err, "no message")


if __name__ == "__main__":
    unittest.main()
