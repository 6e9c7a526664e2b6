"""Running the real qvncpu binary against the development node.

A test starts its own node (in this process, serving real HTTP on
127.0.0.1) and its own miner process, reads the miner's lines as they arrive
on reader threads, and waits for observable events with bounded waits.
"""

import os
import re
import shlex
import signal
import subprocess
import tempfile
import threading
import time
import unittest

from qvnnode.devnode import DevConfig, DevNode, apply_settings

QVNCPU = os.environ.get("QVNCPU", "")
# A cross-built binary runs under an emulator, named by the build
# (qemu-aarch64 -L SYSROOT ...); empty for a native one.
EMULATOR = shlex.split(os.environ.get("QVN_EMULATOR", ""))
PAYOUT = "001429ffffa7f0b05d0499b6c63e0c0326b6298e7cfd"  # a hash nobody holds a key for, not a known example
ZERO_TARGET = "00" * 32  # only a hash of zero would meet it
WAIT = 15.0  # seconds; generous for a loaded 2-core machine, never reached when all is well


class Miner:
    """One qvncpu process with its output collected line by line."""

    def __init__(self, args, env=None, tty=False, closed=None):
        self.args = EMULATOR + [QVNCPU] + list(args)
        if tty:  # on a pseudo-terminal at its default settings, typed at through stdin
            # exec: with no shell left between, ^C reaches the miner alone (a
            # non-interactive dash would die of it and script report 130)
            self.args = ["script", "-qefc", "exec " + shlex.join(self.args), "/dev/null"]
        self.proc = subprocess.Popen(self.args, stdin=subprocess.PIPE if tty else subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     errors="replace", env=env,
                                     preexec_fn=closed and (lambda: os.close(closed)))
        self.cond = threading.Condition()
        self.lines = {"stdout": [], "stderr": []}
        self.open_streams = 2
        self.readers = [threading.Thread(target=self._read, args=(name, stream), daemon=True)
                        for name, stream in (("stdout", self.proc.stdout),
                                             ("stderr", self.proc.stderr))]
        for reader in self.readers:
            reader.start()

    def _read(self, name, stream):
        for line in stream:
            with self.cond:
                self.lines[name].append(line.rstrip("\r\n").replace("^C", ""))
                self.cond.notify_all()
        with self.cond:
            self.open_streams -= 1
            self.ended = time.monotonic()  # once both are closed: when the process ended
            self.cond.notify_all()

    @property
    def stdout(self):
        with self.cond:
            return list(self.lines["stdout"])

    @property
    def stderr(self):
        with self.cond:
            return list(self.lines["stderr"])

    def transcript(self, count=60):
        """The command and the last lines of each stream, for failure messages."""
        with self.cond:
            return ("command: %s\n--- stdout\n%s\n--- stderr\n%s" % (
                " ".join(self.args), "\n".join(self.lines["stdout"][-count:]),
                "\n".join(self.lines["stderr"][-count:])))

    def wait_line(self, pattern, stream="stdout", after=0, timeout=WAIT):
        """(index, line) of the first line at index >= after that starts with
        pattern (a string) or matches it (a compiled regex). Fails the test
        when the time runs out or the stream ends first."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                lines = self.lines[stream]
                for i in range(after, len(lines)):
                    if matches(pattern, lines[i]):
                        return i, lines[i]
                after = max(after, len(lines))
                remaining = deadline - time.monotonic()
                if remaining <= 0 or self.open_streams == 0:
                    break
                self.cond.wait(remaining)
        raise AssertionError("no line %r on %s within %.0f s\n%s" % (
            getattr(pattern, "pattern", pattern), stream, timeout, self.transcript()))

    def wait_exit(self, timeout=WAIT):
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("qvncpu still running after %.0f s\n%s" % (
                timeout, self.transcript())) from None
        for reader in self.readers:
            reader.join(timeout)
        return code

    def send(self, sig):
        if sig == "^C":  # typed: the terminal sends SIGINT
            self.proc.stdin.write("\x03")
            return self.proc.stdin.flush()
        self.proc.send_signal(sig)

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        for reader in self.readers:
            reader.join()
        self.proc.stdout.close()
        self.proc.stderr.close()
        self.proc.stdin and self.proc.stdin.close()


def matches(pattern, line):
    if isinstance(pattern, str):
        return line.startswith(pattern)
    return pattern.search(line) is not None


STAT = re.compile(r"^\[stat\] height=(\d+) extranonce=(\d+) nonce=(\d+) total=(\d+) "
                  r"avg=\d+\.\d\d [kMGT]?H/s batch=\d+\.\d\d [kMGT]?H/s$")
FOUND = re.compile(r"^\[found\] nonce=(\d+) hash=([0-9a-f]{64}) block_bytes=(\d+) submitting\.\.\.$")


def work_line(template):
    """The "[work]" line the miner writes for a template."""
    low, high = 0, 0xFFFFFFFF
    if "noncerange" in template:
        low, high = int(template["noncerange"][:8], 16), int(template["noncerange"][-8:], 16)
    return "[work] height=%d txs=%d coinbasevalue=%d target=%s nonces=%d..%d longpoll=%s" % (
        template["height"], len(template["transactions"]) + 1, template["coinbasevalue"],
        template["target"], low, high, "yes" if "longpollid" in template else "no")


class E2ECase(unittest.TestCase):
    """Starts nodes and miners that are stopped when the test ends."""

    @classmethod
    def setUpClass(cls):
        if not QVNCPU or not os.access(QVNCPU, os.X_OK):
            raise unittest.SkipTest("QVNCPU does not name the built qvncpu binary")

    def start_node(self, start_height=0, chain="regtest", **settings):
        """A development node; settings as for its "configure" command."""
        config = DevConfig()
        apply_settings(config, settings)
        datadir = tempfile.TemporaryDirectory(prefix="qvn-e2e-")
        self.addCleanup(datadir.cleanup)
        node = DevNode(config, datadir=datadir.name, start_height=start_height,
                       chain_name=chain).start()
        node.datadir = datadir.name
        self.addCleanup(node.stop)
        return node

    def start_miner(self, node, *args, threads=1, iters=4096, cookie=True, env=None,
                    payout=PAYOUT, **how):
        base = ["--rpc-url", node.url, "--payout", payout, "--threads", str(threads),
                "--iters", str(iters)]
        if cookie:
            base += ["--rpc-cookie", os.path.join(node.datadir, ".cookie")]
        miner = Miner(base + list(args), env=env, **how)
        self.addCleanup(miner.close)
        return miner

    def run_to_exit(self, node, *args, timeout=WAIT, **kwargs):
        miner = self.start_miner(node, *args, **kwargs)
        return miner, miner.wait_exit(timeout)

    def stop_miner(self, miner, sig=signal.SIGINT):
        miner.send(sig)
        self.assertEqual(miner.wait_exit(), 0, miner.transcript())

    def wait_submissions(self, node, count, **filters):
        answer = node.control(dict(filters, cmd="wait_submissions", count=count,
                                   timeout_ms=int(WAIT * 1000)))
        self.assertTrue(answer["ok"], "only %d submission(s) %r" % (
            len(answer["submissions"]), answer["submissions"]))
        return answer["submissions"]
