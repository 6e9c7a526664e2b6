"""A thread count the system refuses ends the run with a clear error, not a
crash or a hang: run as an unprivileged user under a small process limit."""

import os
import shlex
import shutil
import subprocess
import tempfile
import unittest

from harness import EMULATOR, PAYOUT, QVNCPU, ZERO_TARGET, E2ECase

NOBODY = 65534


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"),
                     "needs root and setpriv to run the miner as another user")
class ThreadLimitTest(E2ECase):
    def test_refused_worker_thread_is_a_clear_error(self):
        node = self.start_node(target_hex=ZERO_TARGET)
        with open(os.path.join(node.datadir, ".cookie")) as f:
            user, password = f.read().strip().split(":", 1)
        # A copy the other user can run, wherever the build tree lives.
        bindir = tempfile.mkdtemp(prefix="qvn-limit-")
        self.addCleanup(shutil.rmtree, bindir)
        os.chmod(bindir, 0o755)
        binary = shutil.copy(QVNCPU, os.path.join(bindir, "qvncpu"))
        os.chmod(binary, 0o755)

        command = ('ulimit -u 40 && exec ' + shlex.join(EMULATOR) + ' "$0" --rpc-url "$1" --rpc-user "$2" --rpc-pass "$3" '
                   '--payout "$4" --threads 100000 --iters 1000')
        r = subprocess.run(
            ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups",
             "bash", "-c", command, binary, node.url, user, password, PAYOUT],
            capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertRegex(r.stderr, r"\Aerror: cannot start worker thread \d+ of 100000: .+\n"
                                   r"try --help\n\Z")
        self.assertIn("[cpu] threads=100000 iters/thread=1000 ", r.stdout)


if __name__ == "__main__":
    unittest.main()
