"""The miner as systemd runs it (Type=notify): a datagram socket of the
test's own stands in for systemd's, named by NOTIFY_SOCKET."""

import os
import re
import signal
import socket
import tempfile
import time

from harness import WAIT, ZERO_TARGET, E2ECase


class Notifications(E2ECase):
    def test_readiness_status_watchdog_and_stop(self):
        folder = tempfile.TemporaryDirectory(prefix="qvn-notify-")
        self.addCleanup(folder.cleanup)
        path = os.path.join(folder.name, "notify")
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(sock.close)
        sock.bind(path)
        seen = []

        def wait(pattern, timeout=WAIT):
            deadline = time.monotonic() + timeout
            while time.monotonic() < deadline:
                sock.settimeout(deadline - time.monotonic())
                try:
                    seen.append(sock.recv(4096).decode())
                except socket.timeout:
                    break
                if re.search(pattern, seen[-1], re.M):
                    return seen[-1]
            self.fail("no %r in %r" % (pattern, seen))

        node = self.start_node(target_hex=ZERO_TARGET)
        node.control({"cmd": "queue", "method": "getblocktemplate", "hold": True})
        env = dict(os.environ, NOTIFY_SOCKET=path, WATCHDOG_USEC="2000000")
        miner = self.start_miner(node, "--status-sec", "1", env=env)
        self.assertTrue(node.control({"cmd": "wait_requests", "state": "held", "count": 1})["ok"])
        self.assertRaises(AssertionError, wait, "READY=1", timeout=0.5)  # not before the work
        node.control({"cmd": "release"})
        self.assertIn("READY=1", wait("^READY=1$"))
        wait(r"^STATUS=[1-9][\d.]* [kMGT]?H/s at height 1, node answered \d+ s ago, "
             r"blocks found 0, accepted 0$")
        wait("^WATCHDOG=1$")
        node.control({"cmd": "set_auth", "user": "someone", "password": "else"})
        node.control({"cmd": "release", "status": 401})
        wait(r"^STATUS=no answer from the node for \d+ s: RPC HTTP 401 calling getblocktemplate")
        miner.send(signal.SIGTERM)
        wait("^STOPPING=1$")
        self.assertEqual(miner.wait_exit(), 0, miner.transcript())
