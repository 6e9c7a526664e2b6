"""The payouts as the miner shows and checks them before its first hash, and
the passwords it takes off its own command line: the real binary against the
development node and the node double."""

import unittest

from harness import EMULATOR, PAYOUT, E2ECase
from qvnnode.server import NodeDouble

TEST_KEY = "0014751e76e8199196d454941c45d1b3a323f1433bd6"  # private key 1


class Payouts(E2ECase):
    def double(self):
        node = NodeDouble().start()
        self.addCleanup(node.stop)
        return node

    def test_shown_then_refused_on_main_warned_elsewhere(self):
        rows = [  # chain (None: the node double, which knows neither method), payout, status
            ("main", TEST_KEY, 1),
            ("regtest", "51", 0),
            (None, PAYOUT, 0),
        ]
        for chain, payout, status in rows:
            with self.subTest(chain=chain, payout=payout):
                node = self.start_node(work_bits=8, chain=chain) if chain else self.double()
                # A node that cannot decode is asked once, not once a payout.
                more = [] if chain else ["--payout", PAYOUT + ":0"]
                miner, code = self.run_to_exit(node, "--mine-one", *more, payout=payout,
                                               cookie=chain is not None)
                asked = node.control({"cmd": "requests", "method": "decodescript"})["requests"]
                self.assertEqual(len(asked), 1)
                self.assertEqual(code, status, miner.transcript())
                shown = [line for line in miner.stdout if line.startswith("[payout]")]
                address = {"main": r", address bcrt1qw508d6qejxtdg4y5r3zarvary0c5xw7kygt080",
                           "regtest": "", None: ""}[chain]
                self.assertRegex(shown[0] if shown else "", r"^\[payout\] 1: %s \([a-z0-9 -]+%s\): "
                                 r"100\.00%% of the reward, (\d+) of \1 sats now$"
                                 % (payout, address), miner.transcript())
                warned = [line for line in miner.stderr if line.startswith("[payout] warning")]
                self.assertEqual(len(warned), chain is not None, miner.transcript())
                if status:
                    self.assertRegex(miner.stderr[-2], r"^error: payout 1 \(%s\) pays a well-"
                                     r"known test key.*validateaddress" % payout)
                    # Nothing was hashed, and no long poll was asked for.
                    self.assertFalse([l for l in miner.stdout if l.startswith("[stat]")])
                    self.assertEqual(len(node.control({"cmd": "requests",
                                                       "method": "getblocktemplate"})
                                         ["requests"]), 1)
                else:
                    self.assertTrue(any(l.startswith("[found]") for l in miner.stdout))

    @unittest.skipIf(EMULATOR, "an emulator's command line is its own, not the program's")
    def test_passwords_leave_the_command_line(self):
        node = self.double()
        miner = self.start_miner(node, "--rpc-url", node.url.replace("//", "//qvn:url-secret@"),
                                 "--rpc-pass", "pass-secret", cookie=False)
        miner.wait_line("[work]")
        with open("/proc/%d/cmdline" % miner.proc.pid, "rb") as f:
            cmdline = f.read().decode()
        self.assertNotRegex(cmdline, "secret")
        self.assertIn("http://qvn:xxxxxxxxxx@", cmdline)


if __name__ == "__main__":
    unittest.main()
