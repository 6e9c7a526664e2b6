"""The exact bytes the real miner sends: its first request of a process
carries id 1 and the documented getblocktemplate parameters."""

import base64
import os
import shlex
import subprocess
import unittest

from qvnnode.server import NodeDouble

QVNCPU = os.environ.get("QVNCPU", "qvncpu")
EMULATOR = shlex.split(os.environ.get("QVN_EMULATOR", ""))  # for a cross-built binary
PAYOUT = "51"


class FirstRequestTest(unittest.TestCase):
    def setUp(self):
        self.node = NodeDouble().start()
        self.addCleanup(self.node.stop)
        # The node is "busy": the miner stops at its first request.
        self.node.control({"cmd": "queue", "method": "*", "times": 0, "status": 503,
                           "body": "warming up"})

    def run_miner(self, *args):
        return subprocess.run(
            EMULATOR + [QVNCPU, "--rpc-url", self.node.url, "--payout", PAYOUT] + list(args),
            capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL,
            env=dict(os.environ, HOME=os.devnull))

    def test_first_request_bytes_and_headers(self):
        r = self.run_miner("--rpc-user", "alice", "--rpc-pass", "s3cret")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, "error: RPC HTTP 503 calling getblocktemplate: warming up\n"
                                   "try --help\n")
        records = self.node.control({"cmd": "requests"})["requests"]
        self.assertEqual(len(records), 1)
        self.assertEqual(
            records[0]["body"],
            '{"id":1,"jsonrpc":"1.0","method":"getblocktemplate","params":[{"capabilities":'
            '["longpoll","coinbasevalue","proposal","workid"],"rules":["segwit"]}]}')
        headers = {name.lower(): value for name, value in records[0]["headers"]}
        self.assertEqual(headers["content-type"], "application/json")
        self.assertEqual(headers["authorization"],
                         "Basic " + base64.b64encode(b"alice:s3cret").decode())

    def test_no_authorization_without_a_user(self):
        r = self.run_miner("--rpc-pass", "s3cret")
        self.assertEqual(r.returncode, 1)
        records = self.node.control({"cmd": "requests"})["requests"]
        names = [name.lower() for name, _ in records[0]["headers"]]
        self.assertNotIn("authorization", names)


if __name__ == "__main__":
    unittest.main()
