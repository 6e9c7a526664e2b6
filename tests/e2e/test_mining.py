"""The real miner against the development node: found blocks, the work it
follows (long polls and periodic refreshes), stopping, and the extranonce."""

import os
import signal
import time
import unittest

from harness import FOUND, PAYOUT, STAT, ZERO_TARGET, E2ECase, work_line
from qvnnode import blockcheck as bc

EASY = 6  # about one hash in 64 meets the target: a block within milliseconds
TAG_HEX = b"/qvncpu/".hex()


class FoundBlocks(E2ECase):
    def test_mine_one_submits_one_sound_block(self):
        # start height, node settings, miner options, extranonce and tag in the block
        cases = [
            (0, {}, [], 0, TAG_HEX),
            (15, {"txs": 2}, [], 0, TAG_HEX),
            (16, {"txs": 2, "legacy_txs": 1, "witness_commitment": False}, [], 0, TAG_HEX),
            (127, {"legacy_txs": 2, "witness_commitment": False},
             ["--extranonce", "7", "--coinbase-tag", ""], 7, ""),
            (839999, {"txs": 3, "legacy_txs": 3}, ["--coinbase-tag", "solo"], 0, b"solo".hex()),
        ]
        for start, settings, args, extranonce, tag_hex in cases:
            with self.subTest(height=start + 1, **settings):
                node = self.start_node(start_height=start, work_bits=EASY, **settings)
                template = node.control({"cmd": "template"})["template"]
                miner, code = self.run_to_exit(node, "--mine-one", *args)
                self.assertEqual(code, 0, miner.transcript())
                [sub] = node.control({"cmd": "submissions"})["submissions"]
                self.assertTrue(sub["accepted"], sub)
                self.assertIsNone(sub["result"])
                self.assertEqual((sub["height"], sub["extranonce"], sub["tag_hex"]),
                                 (start + 1, extranonce, tag_hex))
                self.assertEqual(node.control({"cmd": "chain"})["tip"], sub["hash"])
                self.assertIn("[submit] accepted by node", miner.stdout, miner.transcript())
                self.assert_found_line(miner, sub)
                self.assert_block_pays_the_template(sub, template, extranonce, tag_hex)

    def assert_found_line(self, miner, sub):
        _, line = miner.wait_line(FOUND, timeout=0)
        nonce, block_hash, size = FOUND.match(line).groups()
        self.assertEqual((int(nonce), block_hash, int(size)),
                         (sub["nonce"], sub["hash"], len(sub["block"]) // 2))

    def assert_block_pays_the_template(self, sub, template, extranonce, tag_hex):
        """The checker's exact facts, stricter than the node's own rules."""
        expected = {
            "version": template["version"], "previousblockhash": template["previousblockhash"],
            "bits": template["bits"], "target": template["target"],
            "curtime": template["curtime"], "mintime": template["mintime"],
            "height": template["height"], "extranonce": extranonce, "tag_hex": tag_hex,
            "cb_version": 2, "cb_sequence": 0xFFFFFFFF, "cb_locktime": 0,
            "coinbasevalue": template["coinbasevalue"],
            "outputs": [{"value": template["coinbasevalue"], "script": PAYOUT}],
            "witness": True, "transactions": template["transactions"],
        }
        if "default_witness_commitment" in template:
            expected["default_witness_commitment"] = template["default_witness_commitment"]
        block = bc.decode_block(bytes.fromhex(sub["block"]))
        self.assertEqual(bc.check_block(block, expected), [])


class Work(E2ECase):
    def test_work_line_shows_each_template(self):
        node = self.start_node(target_hex=ZERO_TARGET)
        miner = self.start_miner(node)
        at, _ = miner.wait_line(work_line(node.control({"cmd": "template"})["template"]))
        # Each change reaches the miner through its long poll; the last one
        # takes the long-poll id away.
        changes = [
            {"txs": 2, "legacy_txs": 1, "noncerange": "0000001000000fff"},
            {"noncerange": None, "coinbasevalue": 12345},
            {"target_hex": "0000000000000000000000ffff" + "00" * 19},
            {"longpollid": False, "coinbasevalue": 999},
        ]
        for change in changes:
            with self.subTest(**change):
                template = node.control(dict(change, cmd="configure"))["template"]
                at, _ = miner.wait_line("[work] longpoll update received", after=at + 1)
                at, line = miner.wait_line("[work] height=", after=at + 1)
                self.assertEqual(line, work_line(template))
        self.stop_miner(miner)

    def test_longpoll_brings_the_new_tip(self):
        node = self.start_node(target_hex=ZERO_TARGET)
        miner = self.start_miner(node)
        first = node.control({"cmd": "template"})["template"]
        at, _ = miner.wait_line(work_line(first))
        held = node.control({"cmd": "wait_requests", "count": 1, "state": "held",
                             "longpollid": first["longpollid"]})
        self.assertTrue(held["ok"], miner.transcript())

        tip = node.control({"cmd": "advance"})["tip"]
        at, _ = miner.wait_line("[work] longpoll update received", after=at + 1)
        at, _ = miner.wait_line("[work] height=2 ", after=at + 1)
        # The first block is refused: the work fetched after it is the same.
        node.control({"cmd": "queue", "method": "submitblock", "result": "rejected"})
        node.control({"cmd": "configure", "work_bits": EASY})
        [sub] = self.wait_submissions(node, 1)[:1]
        self.assertEqual((sub["previousblockhash"], sub["height"], sub["result"]),
                         (tip, 2, None), miner.transcript())
        subs = self.wait_submissions(node, 8)
        self.stop_miner(miner)
        # Each new block's search starts at the range's start: eight rising
        # nonces in a row would be odds of 1 in 40,000.
        nonces = [int(FOUND.match(line).group(1)) for line in miner.stdout if FOUND.match(line)]
        self.assertTrue(any(b < a for a, b in zip(nonces, nonces[1:])), nonces)
        self.assertNotIn("[work] periodic GBT refresh", miner.stdout)
        # One line per new work, however many answers bring it: two for
        # height 2 (the new tip, then the easier target), one for each later.
        work = [line.split()[1] for line in miner.stdout if line.startswith("[work] height=")]
        self.assertEqual([work.count("height=%d" % s["height"]) for s in subs[:8]], [2] + [1] * 7)

    def test_after_a_block_the_first_answer_brings_the_next_work(self):
        # A node slow to build templates: the plain request after the block
        # takes 20 s, the long poll answers at once, and mining goes on with it.
        node = self.start_node(work_bits=EASY)
        node.control({"cmd": "queue", "method": "getblocktemplate", "plain": True})
        node.control({"cmd": "queue", "method": "getblocktemplate", "plain": True,
                      "delay_ms": 20000})
        miner = self.start_miner(node)
        at, _ = miner.wait_line("[submit] accepted by node")
        at, _ = miner.wait_line("[work] longpoll update received", after=at + 1, timeout=5)
        miner.wait_line("[work] height=2 ", after=at + 1, timeout=1)
        self.wait_submissions(node, 2)
        self.stop_miner(miner)

    def test_periodic_refresh_without_longpoll(self):
        # miner options, node settings
        cases = [
            (["--no-longpoll"], {}),
            ([], {"longpollid": False}),
        ]
        for args, settings in cases:
            with self.subTest(args=args, **settings):
                node = self.start_node(target_hex=ZERO_TARGET, **settings)
                miner = self.start_miner(node, "--poll-sec", "1", *args)
                at, _ = miner.wait_line("[work] height=1 ")
                node.control({"cmd": "advance"})
                at, _ = miner.wait_line("[work] periodic GBT refresh", after=at + 1)
                miner.wait_line("[work] height=2 ", after=at + 1)
                self.stop_miner(miner)
                requests = node.control({"cmd": "requests", "method": "getblocktemplate"})
                self.assertGreaterEqual(len(requests["requests"]), 2)
                self.assertEqual([r for r in requests["requests"] if r["longpollid"]], [])
                self.assertNotIn("[work] longpoll update received", miner.stdout)


    def test_every_change_of_the_work_is_mined(self):
        # A node eases its target without a new tip, a new long-poll id or an
        # answer to the held poll (testnet's minimum-difficulty rule): the
        # periodic refresh brings it. (The check of the silent poll, two
        # minutes on, is the driver tests' in-process MiningLoop case.)
        for args in (["--no-longpoll", "--poll-sec", "1"],):
            with self.subTest(args=args):
                node = self.start_node(target_hex=ZERO_TARGET)
                miner = self.start_miner(node, "--status-sec", "1", *args)
                first = node.control({"cmd": "template"})["template"]
                at, _ = miner.wait_line(work_line(first))
                eased = node.control({"cmd": "configure", "work_bits": EASY, "silent": True})
                self.assertEqual(eased["template"].get("longpollid"), first.get("longpollid"))
                at, _ = miner.wait_line(work_line(eased["template"]), after=at + 1, timeout=5)
                self.wait_submissions(node, 1, accepted=True)
                self.stop_miner(miner)
                text = "\n".join(miner.stdout + miner.stderr)
                self.assertNotIn(node.auth[1], text)
                self.assertNotIn("[longpoll] no answer", text)
                self.assertEqual(sum(l.startswith("[work] height=") for l in miner.stdout[:at]), 1)
                self.assertFalse([l for l in text.splitlines() if l.endswith(" ms")], text)


class Stopping(E2ECase):
    def test_signals_stop_the_miner(self):
        # signals (^C typed at a terminal, ten times); --iters (a stop ends even
        # a chunk of hours at once); options (--verbose: the long poll given up
        # at the stop says so before the end); a standard stream closed at start
        cases = [([signal.SIGINT], 4096, []), ([signal.SIGTERM], 4096, []),
                 ([signal.SIGINT, signal.SIGINT], 4096, []), ([signal.SIGTERM], 4294967295, []),
                 ([signal.SIGINT], 4096, ["--verbose"]), ([signal.SIGINT], 4096, [], {"closed": 1}),
                 ([signal.SIGTERM], 4096, [], {"closed": 2})] + [(["^C"], 4096, [], {"tty": 1})] * 10
        # The rows run side by side: each waits a second for its [stat] line.
        runs = []
        for signals, iters, args, *how in cases:
            # With a stream closed, a found block shows that it mines.
            node = self.start_node(**{"work_bits": 12} if how and "closed" in how[0] else
                                   {"target_hex": ZERO_TARGET})
            runs.append(self.start_miner(node, "--status-sec", "1", *args, iters=iters, **dict(*how)))
            runs[-1].node = node
        for miner, (signals, iters, args, *how) in zip(runs, cases):
            if dict(*how).get("closed"):  # /dev/null takes its place, not a wake descriptor
                self.wait_submissions(miner.node, 1)
                self.assertEqual(os.readlink("/proc/%d/fd/%d" % (miner.proc.pid, how[0]["closed"])),
                                 "/dev/null")
            else:
                miner.wait_line("[work] height=1 ")
                # Mining has started once a chunk is accounted for.
                miner.wait_line(STAT) if iters == 4096 else time.sleep(1)
            miner.started = time.monotonic()
            for sig in signals:
                miner.send(sig)
        for miner, (signals, iters, args, *how) in zip(runs, cases):
            with self.subTest(signals=signals, iters=iters, args=args, how=how):
                self.assertEqual(miner.wait_exit(), 0, miner.transcript())
                # From the signal to the end, however long the other rows took.
                self.assertLess(miner.ended - miner.started, 5)
                if how != [{"closed": 1}]:
                    self.assertEqual(miner.stdout[-1], "[exit] stopped")
                    self.assertEqual(miner.stdout.count("[exit] stopped"), 1)
                self.assertEqual(miner.stderr, [])


class Extranonce(E2ECase):
    def test_each_pass_searches_the_range_once_then_takes_the_next_extranonce(self):
        # A [stat] line follows the chunk from `nonce`: chunks start
        # threads x iters apart, so after passes over a range of size nonces
        # the total is size x passes + the part of this pass, and the tiny
        # range is one chunk per pass. Extranonces wrap modulo 2^64.
        # start, threads, iters, noncerange
        cases = [
            (0, 1, 8, "0000001000000013"),
            (41, 1, 8, "0000001000000013"),
            (2**64 - 1, 1, 8, "0000001000000013"),
            (5, 2, 256, "0000100000001fff"),
        ]
        # The rows run side by side: each waits seconds for its [stat] lines.
        runs = []
        for start, threads, iters, noncerange in cases:
            node = self.start_node(target_hex=ZERO_TARGET, noncerange=noncerange)
            runs.append(self.start_miner(node, "--extranonce", str(start), "--status-sec", "1",
                                         threads=threads, iters=iters))
        for miner, (start, threads, iters, noncerange) in zip(runs, cases):
            with self.subTest(extranonce=start, threads=threads):
                low, high = int(noncerange[:8], 16), int(noncerange[8:], 16)
                size, chunk = high - low + 1, threads * iters
                at = 0
                for _ in range(2):
                    at, line = miner.wait_line(STAT, after=at)
                    height, extranonce, nonce, total = map(int, STAT.match(line).groups())
                    passes = (extranonce - start) % 2**64
                    self.assertEqual((height, (nonce - low) % chunk), (1, 0), line)
                    self.assertEqual(total, size * passes + nonce - low + min(chunk, high - nonce + 1),
                                     line)
                    self.assertGreater(passes, 1, line)
                    at += 1
                self.stop_miner(miner)


if __name__ == "__main__":
    unittest.main()
