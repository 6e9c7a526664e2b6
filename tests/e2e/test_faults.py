"""The miner's fault paths, driven by a development node that rejects blocks,
fails chosen calls or sends work that does not parse."""

import json
import os
import tempfile
import time
import unittest

from harness import FOUND, STAT, ZERO_TARGET, E2ECase

EASY = 6
PASS_THROUGH = {"cmd": "queue", "method": "getblocktemplate"}  # answered as usual


class Submission(E2ECase):
    def test_rejected_block_is_reported_and_mining_goes_on(self):
        # Node txids read as internal order give the miner a wrong merkle
        # root: a genuine rejection by the node's own checks.
        for mine_one in (False, True):
            with self.subTest(mine_one=mine_one):
                node = self.start_node(work_bits=EASY, txs=2)
                args = ["--gbt-txids-internal"] + (["--mine-one"] if mine_one else [])
                miner = self.start_miner(node, *args)
                at, _ = miner.wait_line('[submit] node returned: "bad-txnmrklroot"')
                if mine_one:
                    self.assertEqual(miner.wait_exit(), 0, miner.transcript())
                else:
                    at, _ = miner.wait_line(FOUND, after=at + 1)
                    miner.wait_line('[submit] node returned: "bad-txnmrklroot"', after=at + 1)
                    self.stop_miner(miner)
                subs = node.control({"cmd": "submissions"})["submissions"]
                self.assertEqual(len(subs) == 1, mine_one, subs)
                self.assertEqual({(s["accepted"], s["result"]) for s in subs},
                                 {(False, "bad-txnmrklroot")})
                self.assertEqual(miner.stderr, [])

    def test_failed_submitblock_is_logged_and_mining_goes_on(self):
        node = self.start_node(work_bits=EASY)
        node.control({"cmd": "queue", "method": "submitblock", "status": 500,
                      "body": "node busy"})
        miner = self.start_miner(node)
        miner.wait_line("[submit] submitblock failed: RPC HTTP 500 calling submitblock: node busy",
                        stream="stderr")
        at, _ = miner.wait_line(FOUND)
        at, _ = miner.wait_line(FOUND, after=at + 1)
        miner.wait_line("[submit] accepted by node", after=at + 1)
        self.stop_miner(miner)
        self.assertTrue(node.control({"cmd": "submissions"})["submissions"][0]["accepted"])

    def test_failed_refresh_after_submit_keeps_the_old_work(self):
        node = self.start_node(work_bits=EASY)
        node.control(PASS_THROUGH)
        node.control({"cmd": "queue", "method": "getblocktemplate", "status": 500,
                      "body": "no work"})
        miner = self.start_miner(node, "--no-longpoll", "--poll-sec", "1000")
        miner.wait_line("[rpc] getblocktemplate after submit failed: "
                        "RPC HTTP 500 calling getblocktemplate: no work", stream="stderr")
        first, second = self.wait_submissions(node, 2)[:2]
        self.stop_miner(miner)
        # Same template, same extranonce, nonces from the start again: the
        # same block (same second) or its twin on what is no longer the tip.
        self.assertTrue(first["accepted"])
        self.assertEqual((second["previousblockhash"], second["height"], second["extranonce"]),
                         (first["previousblockhash"], first["height"], first["extranonce"]))
        self.assertIn(second["result"], ("duplicate", "inconclusive"))
        self.assertIn('[submit] node returned: "%s"' % second["result"], miner.stdout)


class Refresh(E2ECase):
    def test_failed_periodic_refresh_keeps_mining(self):
        node = self.start_node(target_hex=ZERO_TARGET)
        node.control(PASS_THROUGH)
        node.control({"cmd": "queue", "method": "getblocktemplate", "status": 500,
                      "body": "down", "times": 0})
        started = time.monotonic()
        miner = self.start_miner(node, "--no-longpoll", "--poll-sec", "1", "--status-sec", "1")
        failed = "[rpc] periodic getblocktemplate failed: RPC HTTP 500 calling getblocktemplate: down"
        miner.wait_line(failed, stream="stderr")
        self.assertTrue(node.control({"cmd": "wait_requests", "count": 4,
                                      "method": "getblocktemplate"})["ok"])
        # Said once: the repeats are summed up a minute later.
        self.assertEqual(miner.stderr, [failed])
        # The failures neither restart the nonces (every nonce so far was
        # hashed once, from 0 on) nor come more often than --poll-sec.
        time.sleep(1)
        requests = node.control({"cmd": "requests", "method": "getblocktemplate"})["requests"]
        self.assertLessEqual(len(requests), time.monotonic() - started + 2)
        stats = [STAT.match(line).groups() for line in miner.stdout if STAT.match(line)]
        self.assertTrue(stats, miner.transcript())
        for height, _, nonce, total in stats:
            self.assertEqual((height, int(total)), ("1", int(nonce) + 4096), miner.transcript())
        # A refresh the node takes its time over does not stop the hashing.
        node.control({"cmd": "clear_rules"})
        node.control({"cmd": "queue", "method": "getblocktemplate", "delay_ms": 4000})
        node.control({"cmd": "advance"})
        node.control({"cmd": "wait_requests", "count": 1, "state": "received"})
        at, _ = miner.wait_line(STAT, after=len(miner.stdout))
        hashed, _ = miner.wait_line(STAT, after=at + 1)
        at, _ = miner.wait_line("[work] height=2 ")
        self.assertLess(hashed, at, miner.transcript())
        self.stop_miner(miner)
        stdout = miner.stdout
        self.assertGreaterEqual(stdout.count("[work] periodic GBT refresh"), 3)
        # Mining went on with the old work between the failures.
        self.assertTrue(any(line.startswith("[stat] height=1 ") for line in stdout), stdout)


class StartUp(E2ECase):
    def test_failures_before_mining_end_with_status_1(self):
        busy = '{"result":null,"error":{"code":-28,"message":"Loading block index..."},"id":1}'
        no_cookie = dict(os.environ, HOME=tempfile.mkdtemp())
        # queued rule (None: none), miner options (None: no cookie, nowhere), error message
        cases = [
            ({"status": 500, "body": "warming up"}, [],
             "RPC HTTP 500 calling getblocktemplate: warming up"),
            ({"status": 500, "body": busy}, [], "RPC HTTP 500 calling getblocktemplate: " + busy),
            ({"drop": True}, [], "RPC curl failure calling getblocktemplate: "),
            (None, ["--rpc-user", "__cookie__", "--rpc-pass", "guess"],
             "RPC HTTP 401 calling getblocktemplate: (check --rpc-user and --rpc-pass)"),
            (None, None, "RPC HTTP 401 calling getblocktemplate: (no RPC cookie file found at "
             "~/.quorvane/.cookie, ~/.quorVANE/.cookie or ~/.bitcoin/.cookie; give "
             "--rpc-cookie, or --rpc-user and --rpc-pass)"),
        ]
        for rule, args, message in cases:
            with self.subTest(message=message):
                node = self.start_node(work_bits=EASY)
                if rule is not None:
                    node.control(dict(rule, cmd="queue", method="getblocktemplate"))
                miner, code = self.run_to_exit(node, *(args or []), cookie=args == [],
                                               env=no_cookie if args is None else None)
                self.assertEqual(code, 1, miner.transcript())
                [error, hint] = miner.stderr
                self.assertTrue(error.startswith("error: " + message), error)
                self.assertEqual(hint, "try --help")
                self.assertEqual(node.control({"cmd": "submissions"})["submissions"], [])

    def test_coinbase_tag_length_limit(self):
        # At height 1 (OP_1) the scriptSig holds 1 + 9 bytes before the tag,
        # whose push takes two bytes more than its text from 76 bytes on.
        for length, code in ((88, 0), (89, 2)):
            with self.subTest(length=length):
                node = self.start_node(work_bits=EASY)
                miner, got = self.run_to_exit(node, "--mine-one", "--coinbase-tag", "t" * length)
                self.assertEqual(got, code, miner.transcript())
                if code == 2:
                    self.assertEqual(miner.stderr, [
                        "[work] candidate build failed: coinbase scriptSig exceeds 100 bytes; "
                        "use a shorter --coinbase-tag or fewer aux bytes"])
                    self.assertEqual(node.control({"cmd": "submissions"})["submissions"], [])
                else:
                    [sub] = node.control({"cmd": "submissions"})["submissions"]
                    self.assertEqual((sub["accepted"], sub["tag_hex"]),
                                     (True, ("t" * length).encode().hex()))


class LongPollUpdate(E2ECase):
    def test_update_that_does_not_parse_ends_with_status_1(self):
        def result_with(**change):
            return lambda template: dict(template, **change)

        # the long poll's result, made from the current template; error message
        cases = [
            (lambda template: {"version": 1},
             "[json.exception.out_of_range.403] key 'previousblockhash' not found"),
            (result_with(noncerange="0000ffff00000001"),
             "GBT noncerange minimum is greater than maximum"),
            (result_with(bits="1d00ff"), "expected 8 hex chars for bits, got: 1d00ff"),
            (lambda template: [], "[json.exception.type_error.304] cannot use at() with array"),
        ]
        for make_result, message in cases:
            with self.subTest(message=message):
                node = self.start_node(target_hex=ZERO_TARGET)
                template = node.control({"cmd": "template"})["template"]
                miner = self.start_miner(node)
                held = node.control({"cmd": "wait_requests", "count": 1, "state": "held"})
                self.assertTrue(held["ok"], miner.transcript())
                body = json.dumps({"result": make_result(template), "error": None,
                                   "id": held["requests"][0]["id"]})
                node.control({"cmd": "release", "status": 200, "body": body})
                self.assertEqual(miner.wait_exit(), 1, miner.transcript())
                self.assertEqual(miner.stderr, ["error: " + message, "try --help"])
                self.assertIn("[work] longpoll update received", miner.stdout)


if __name__ == "__main__":
    unittest.main()
