"""scripts/demo, the one-command demo behind `make run`: it mines its blocks,
reports, and leaves nothing running however it ends."""

import os
import re
import signal
import subprocess
import threading
import time
import unittest

from harness import QVNCPU, WAIT

SOURCE = os.environ.get("QVN_SOURCE_DIR") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..")
DEMO = os.path.join(SOURCE, "scripts", "demo")


def session_members(session):
    """Processes (other than zombies) in a session, by reading /proc."""
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry, encoding="ascii", errors="replace") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue  # gone meanwhile
        if int(fields[3]) == session and fields[0] != "Z":
            members.append(int(entry))
    return members


class DemoRun:
    """The demo in a session of its own, its merged output read as it comes."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([DEMO, QVNCPU, "--threads", "1", *args],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, start_new_session=True)
        self.lines = []
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                self.cond.notify_all()

    def wait_line(self, prefix, timeout=WAIT):
        with self.cond:
            found = self.cond.wait_for(
                lambda: any(line.startswith(prefix) for line in self.lines), timeout)
        if not found:
            raise AssertionError("no line %r:\n%s" % (prefix, self.tail()))

    def finish(self, timeout):
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
            raise AssertionError("the demo did not end:\n" + self.tail()) from None
        self.reader.join(5)  # the last lines; longer only if a child still holds the pipe
        return code

    def tail(self, count=80):
        with self.cond:
            return "\n".join(self.lines[-count:])

    def cleanup(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        leftovers = session_members(self.proc.pid)
        for pid in leftovers:
            os.kill(pid, signal.SIGKILL)
        self.reader.join(WAIT)  # the pipe closes once no process holds it
        if not self.reader.is_alive():
            self.proc.stdout.close()
        return leftovers


class Demo(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not QVNCPU or not os.access(QVNCPU, os.X_OK):
            raise unittest.SkipTest("QVNCPU does not name the built qvncpu binary")

    def start(self, *args):
        demo = DemoRun(*args)
        self.addCleanup(demo.cleanup)
        return demo

    def assert_nothing_left(self, demo):
        deadline = time.monotonic() + 5
        while session_members(demo.proc.pid) and time.monotonic() < deadline:
            time.sleep(0.05)  # a killed child may take a moment to vanish
        self.assertEqual(demo.cleanup(), [], "processes left behind")

    def test_mines_three_blocks(self):
        demo = self.start("--work-bits", "12")
        self.assertEqual(demo.finish(120), 0, demo.tail())
        with demo.cond:
            text = "\n".join(demo.lines)
        for tag in ("[cpu] ", "[rpc] ", "[work] ", "[payout] 1: 0014", "[found] ", "[submit] accepted by node",
                    "[exit] stopped", "demo: miner exit status 0"):
            self.assertIn("\n" + tag, text)
        accepted = re.search(r"^\[node\] summary: accepted=(\d+) rejected=0$", text, re.M)
        self.assertIsNotNone(accepted, text)
        self.assertGreaterEqual(int(accepted.group(1)), 3)
        self.assert_nothing_left(demo)

    def test_interrupted_demo_cleans_up(self):
        def whole_group(demo, sig):  # Ctrl-C in a terminal
            os.killpg(demo.proc.pid, sig)

        def demo_only(demo, sig):
            demo.proc.send_signal(sig)

        cases = [
            ("Ctrl-C", whole_group, signal.SIGINT),
            ("SIGINT to the demo", demo_only, signal.SIGINT),
            ("SIGTERM to the demo", demo_only, signal.SIGTERM),
        ]
        for name, send, sig in cases:
            with self.subTest(name):
                demo = self.start("--work-bits", "200")  # nothing is ever found
                demo.wait_line("[work] height=1 ")
                send(demo, sig)
                self.assertEqual(demo.finish(WAIT), 130, demo.tail())
                self.assertIn("[node] summary: accepted=0 rejected=0", demo.lines)
                self.assertIn("[exit] stopped", demo.lines)
                self.assert_nothing_left(demo)


if __name__ == "__main__":
    unittest.main()
