"""The real miner against a faulty or hostile node: a found block still
reaches the node (or the user), and nothing the node sends crashes, stalls,
floods or fools the miner, and the service says what fails."""

import base64
import fcntl
import os
import re
import signal
import socket
import subprocess
import time
import unittest

from harness import EMULATOR, PAYOUT, QVNCPU, STAT, WAIT, ZERO_TARGET, E2ECase, Miner
from qvnnode.devnode import write_cookie

EASY = 6
PASS_THROUGH = {"cmd": "queue", "method": "getblocktemplate"}  # answered as usual
DEEP = "[" * 100000 + "]" * 100000
OVER_CAP = 80 << 20  # more than the 64 MiB the miner accepts
CAP_MESSAGE = "RPC response to getblocktemplate is larger than 67108864 bytes"
UNDELIVERED = re.compile(r"^\[submit\] block not delivered, submit it by hand: "
                         r"submitblock ([0-9a-f]+)$")
ESCAPES = "\x1b]0;pwned\x07\x1b[2J\x1b[31merror: wrong password\x1b[0m\u009b"
ESCAPED = ("\\x1b]0;pwned\\x07\\x1b[2J\\x1b[31merror: wrong password\\x1b[0m\\xc2\\x9b")
SLOW_START = ["[rpc] no answer from the node after 5 s; waiting on",
              "[rpc] the node's RPC workers seem all taken (other miners' long polls, other "
              "clients); raise rpcthreads (and rpcworkqueue) in the node's configuration"]
F_SETPIPE_SZ = 1031  # fcntl's command for a pipe's size (Linux)
QUEUE_BYTES = 256 * 1024  # a stream's queue in the miner
# Standard output from one accepted block to the next, at least: the
# [submit] line, the next work's [work] line and the next [found] line.
BLOCK_BYTES = 26 + 153 + 116
RETRY = re.compile(r"^\[submit\] retrying in (\d+) s \(attempt \d+\)$")


def submitted_hex(node):
    return [r["params"][0] for r in node.control({"cmd": "requests", "method": "submitblock"})
            ["requests"]]


def threads(pid):
    return set(os.listdir("/proc/%d/task" % pid))


def wait_for_output(pid, before_mining):
    """Waits until the miner's run is over and it waits for its output: the
    threads of the mining gone, the main thread asleep."""
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        with open("/proc/%d/task/%d/stat" % (pid, pid)) as stat:
            asleep = stat.read().rsplit(")", 1)[1].split()[0] == "S"
        if asleep and threads(pid) <= before_mining:
            return
        time.sleep(0.01)
    raise AssertionError("qvncpu's run did not end")


class Output(E2ECase):
    def run_miner(self, node, *args, stderr=subprocess.PIPE):
        proc = subprocess.Popen(
            [*EMULATOR, QVNCPU, "--rpc-url", node.url, "--payout", PAYOUT, "--threads", "1",
             "--rpc-cookie", node.datadir + "/.cookie", *args],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=stderr)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        return proc

    def test_closed_output_does_not_stop_a_submission(self):
        # As `qvncpu ... | head -2`: the reader goes away before the block is
        # found; then both streams' readers.
        for closed in (["stdout"], ["stdout", "stderr"]):
            with self.subTest(closed=closed):
                node = self.start_node(work_bits=EASY)
                node.control({"cmd": "queue", "method": "getblocktemplate", "hold": True})
                proc = self.run_miner(node, "--mine-one")
                self.assertTrue(proc.stdout.readline().startswith(b"[cpu] "))
                self.assertTrue(proc.stdout.readline().startswith(b"[rpc] "))
                for name in closed:
                    getattr(proc, name).close()
                self.assertTrue(node.control({"cmd": "wait_requests", "count": 1,
                                              "state": "held"})["ok"])
                node.control({"cmd": "release"})
                self.assertEqual(proc.wait(timeout=15), 0)
                self.assertEqual(b"" if proc.stderr.closed else proc.stderr.read(), b"")
                [sub] = node.control({"cmd": "submissions"})["submissions"]
                self.assertTrue(sub["accepted"], sub)

    def test_unread_output_does_not_stop_the_mining(self):
        # A terminal that stops reading (Ctrl-S, a sleeping ssh client): the
        # pipe and the queue fill, and blocks keep coming. Stopped with its
        # queue full and read only once its run is over, the output says how
        # many lines it dropped and where, and ends with the last line, kept
        # although the queue was full; never read, it keeps the miner from
        # ending only a few seconds. Whether the output is read; what it
        # fills before the stop besides the pipe (read: a batch held by the
        # writer and then the whole queue).
        for read, beyond_the_pipe in ((True, 2 * QUEUE_BYTES), (False, 0)):
            with self.subTest(read=read):
                node = self.start_node(work_bits=EASY)
                node.control({"cmd": "queue", "method": "getblocktemplate", "hold": True})
                proc = self.run_miner(node, "--verbose", stderr=subprocess.DEVNULL)
                self.assertTrue(node.control({"cmd": "wait_requests", "count": 1,
                                              "state": "held"})["ok"])
                before_mining = threads(proc.pid)
                pipe = fcntl.fcntl(proc.stdout.fileno(), F_SETPIPE_SZ, 4096)
                node.control({"cmd": "release"})
                blocks = (pipe + beyond_the_pipe) // BLOCK_BYTES + 2
                answer = node.control({"cmd": "wait_submissions", "count": blocks,
                                       "accepted": True, "timeout_ms": 60000})
                self.assertTrue(answer["ok"], len(answer["submissions"]))
                proc.send_signal(signal.SIGINT)
                if read:
                    wait_for_output(proc.pid, before_mining)
                out = proc.stdout.read().decode() if read else ""
                self.assertEqual(proc.wait(timeout=10), 0)
                proc.stdout.close()
                if read:
                    self.assertRegex(out, r"\n\[output\] \d+ lines dropped: standard output "
                                          r"was not read\n")
                    self.assertTrue(out.endswith("\n[exit] stopped\n"), out[-300:])


class Replies(E2ECase):
    def test_replies_refused_at_start_up(self):
        big_error = "x" * (1 << 20)
        # rule for the first getblocktemplate; the error line it gives
        cases = [
            ({"body": '{"result":' + DEEP + "}"},
             re.escape('error: invalid JSON-RPC response: nested deeper than 256 levels '
                       'body={"result":' + "[" * 290) + r"\.\.\. \(200011 bytes\)$"),
            ({"body": '{"result":null,"error":' + DEEP + "}"},
             "error: invalid JSON-RPC response: nested deeper than 256 levels body="),
            ({"stream_bytes": OVER_CAP}, re.escape("error: " + CAP_MESSAGE) + "$"),
            ({"status": 500, "body": big_error},
             re.escape("error: RPC HTTP 500 calling getblocktemplate: " + "x" * 300 +
                       "... (1048576 bytes)") + "$"),
            ({"status": 500, "body": ESCAPES},
             re.escape("error: RPC HTTP 500 calling getblocktemplate: " + ESCAPED) + "$"),
            ({"result": {"version": 1, "previousblockhash": "00" * 32, "coinbasevalue": 1,
                         "height": 1, "curtime": 1, "bits": ESCAPES}},
             re.escape("error: expected 8 hex chars for bits, got: " + ESCAPED) + "$"),
        ]
        for rule, error in cases:
            with self.subTest(rule=str(rule)[:60]):
                node = self.start_node(work_bits=EASY)
                node.control(dict(rule, cmd="queue", method="getblocktemplate"))
                miner, code = self.run_to_exit(node)
                self.assertEqual(code, 1, miner.transcript())
                [line, hint] = miner.stderr
                self.assertRegex(line, "^" + error)
                self.assertNotIn("\x1b", line)
                self.assertEqual(hint, "try --help")

    def test_long_poll_replies_refused_while_mining(self):
        # rule for the first long poll; the line it gives
        cases = [
            ({"body": DEEP}, "[longpoll] invalid JSON-RPC response: nested deeper than 256"),
            ({"stream_bytes": OVER_CAP}, "[longpoll] " + CAP_MESSAGE),
        ]
        for rule, line in cases:
            with self.subTest(line=line):
                node = self.start_node(target_hex=ZERO_TARGET)
                node.control(PASS_THROUGH)
                node.control(dict(rule, cmd="queue", method="getblocktemplate"))
                miner = self.start_miner(node, "--status-sec", "1")
                at, _ = miner.wait_line(line, stream="stderr")
                miner.wait_line(STAT)
                self.stop_miner(miner)


class Delivery(E2ECase):
    def test_a_block_is_offered_until_the_node_answers(self):
        verdict_body = '{"result":null,"error":{"code":-22,"message":"Block decode failed"},"id":1}'
        # rules for submitblock; miner options; attempts expected; the last answer's line
        cases = [
            ([{"truncate": True}], [], 2, '[submit] node returned: "duplicate"'),
            ([{"body": '{"result":' + DEEP + "}"}, {"status": 503, "body": "busy"}], [], 3,
             "[submit] accepted by node"),
            ([{"status": 500, "body": verdict_body}], [], 1,
             "[submit] submitblock failed: RPC HTTP 500 calling submitblock: " + verdict_body),
            ([{"body": '{"error":null,"id":1}'}], [], 2, "[submit] accepted by node"),
            ([{"result": ESCAPES + "x" * 400}], [], 1, re.compile(
                r'^\[submit\] node returned: "\\u001b\]0;pwned.*\\xc2\\x9bx+\.\.\. \(\d+ bytes\)$')),
        ]
        # The rows run side by side, each waiting out its pauses.
        runs = []
        for rules, args, attempts, last in cases:
            node = self.start_node(work_bits=EASY)
            for rule in rules:
                node.control(dict(rule, cmd="queue", method="submitblock"))
            runs.append((node, self.start_miner(node, "--mine-one", "--no-longpoll", *args)))
        for (node, miner), (rules, args, attempts, last) in zip(runs, cases):
            with self.subTest(rules=str(rules)[:60], args=args):
                self.assertEqual(miner.wait_exit(timeout=45), 0, miner.transcript())
                blocks = submitted_hex(node)
                self.assertEqual(len(blocks), attempts, miner.transcript())
                self.assertEqual(len(set(blocks)), 1)
                pauses = [int(RETRY.match(line).group(1)) for line in miner.stderr
                          if RETRY.match(line)]
                self.assertEqual(pauses, [1, 2, 4, 8, 15][:attempts - 1])
                stream = "stderr" if "failed" in str(last) else "stdout"
                miner.wait_line(last, stream=stream, timeout=0)

    def test_the_attempts_end_on_a_new_block_or_a_stop(self):
        # what ends them; the miner's options; the line after which it comes
        cases = [
            ("advance", ["--mine-one"], "[submit] retrying in 1 s (attempt 2)"),
            ("advance", [], "[submit] retrying in 1 s (attempt 2)"),
            # Refreshes in the pauses brought the old block's work before the new one's.
            ("advance", ["--no-longpoll", "--poll-sec", "1"], "[submit] retrying in 4 s (attempt 4)"),
            ("stop", ["--mine-one"], "[submit] retrying in 4 s (attempt 4)"),
        ]
        for event, args, after in cases:
            with self.subTest(event=event, args=args):
                node = self.start_node(work_bits=EASY)
                node.control({"cmd": "queue", "method": "submitblock", "drop": True, "times": 0})
                miner = self.start_miner(node, *args)
                at, _ = miner.wait_line(after, stream="stderr")
                started = time.monotonic()
                if event == "stop":
                    miner.send(signal.SIGINT)
                else:  # a refresh fails: the long poll or a later refresh brings the new block
                    node.control({"cmd": "queue", "method": "getblocktemplate", "plain": True,
                                  "status": 500, "body": "down"})
                    node.control({"cmd": "advance"})
                    at, _ = miner.wait_line("[submit] the node has work on a newer block; "
                                            "giving up this one", stream="stderr", after=at)
                _, line = miner.wait_line(UNDELIVERED, stream="stderr", after=at)
                self.assertIn(UNDELIVERED.match(line).group(1), submitted_hex(node))
                if "--mine-one" in args:
                    self.assertEqual(miner.wait_exit(), 1, miner.transcript())
                    self.assertLess(time.monotonic() - started, 3)
                else:
                    # The new work is mined, not the old one.
                    miner.wait_line("[work] height=2 ")
                    self.stop_miner(miner)

    def test_a_restarted_node_s_new_cookie_is_taken_up(self):
        node = self.start_node(work_bits=EASY)
        node.control({"cmd": "queue", "method": "getblocktemplate", "hold": True})
        miner = self.start_miner(node, "--mine-one", "--no-longpoll")
        node.control({"cmd": "wait_requests", "count": 1, "state": "held"})
        path = write_cookie(node.datadir, "__cookie__", "restarted")
        node.control({"cmd": "set_auth", "user": "__cookie__", "password": "restarted"})
        node.control({"cmd": "release"})
        self.assertEqual(miner.wait_exit(), 0, miner.transcript())
        self.assertEqual(miner.stdout.count("[rpc] new credentials in the cookie file %s; "
                                            "using them from now on" % path), 1)
        self.assertEqual(self.wait_submissions(node, 1, accepted=True)[0]["result"], None)

    def test_a_rejected_block_is_never_found_again(self):
        # The node keeps the same work and rejects every block: each new
        # block is another nonce (or another second's header).
        node = self.start_node(work_bits=EASY)
        node.control({"cmd": "queue", "method": "submitblock", "result": "rejected",
                      "times": 0})
        miner = self.start_miner(node)
        miner.wait_line('[submit] node returned: "rejected"')
        requests = node.control({"cmd": "wait_requests", "count": 6, "method": "submitblock"})
        self.stop_miner(miner)
        blocks = [r["params"][0] for r in requests["requests"]]
        self.assertEqual(len(set(blocks)), len(blocks), miner.transcript())
        for earlier, later in zip(blocks, blocks[1:]):
            if earlier[:152] == later[:152]:  # same header but the nonce
                self.assertGreater(int.from_bytes(bytes.fromhex(later[152:160]), "little"),
                                   int.from_bytes(bytes.fromhex(earlier[152:160]), "little"))


class Urls(E2ECase):
    def listener(self):
        """A socket that must never be reached, and its port."""
        listener = socket.socket()
        self.addCleanup(listener.close)
        listener.bind(("127.0.0.1", 0))
        listener.listen(4)
        listener.setblocking(False)
        return listener, listener.getsockname()[1]

    def test_only_http_and_https(self):
        listener, port = self.listener()
        for scheme in ("file", "ftp", "gopher", "dict", "telnet"):
            with self.subTest(scheme=scheme):
                url = "file:///etc/passwd" if scheme == "file" else "%s://127.0.0.1:%d/" % (
                    scheme, port)
                miner = Miner(["--rpc-url", url, "--rpc-user", "u", "--rpc-pass", "secret",
                               "--payout", PAYOUT])
                self.addCleanup(miner.close)
                self.assertEqual(miner.wait_exit(), 1, miner.transcript())
                self.assertEqual(miner.stderr, [
                    'error: unsupported RPC URL scheme "%s": use http:// or https://' % scheme,
                    "try --help"])
                with self.assertRaises(BlockingIOError):
                    listener.accept()

    def test_the_password_is_never_printed(self):
        user, password = "rpcuser", "S3cretPass"
        token = base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
        # Proxies in the environment must not see the requests, nor the credentials.
        listener, port = self.listener()
        proxy = "http://127.0.0.1:%d/" % port
        env = dict(os.environ, http_proxy=proxy, HTTPS_PROXY=proxy, all_proxy=proxy)
        # URL form (%s: host and port); extra options
        cases = [
            ("http:/rpcuser:S3cretPass@%s/", []),
            ("http:///rpcuser:S3cretPass@%s/", []),
            ("rpcuser:S3cretPass@%s", []),
            ("http://rpcuser:S3cretPass@%s/", ["--rpc-verbose-curl"]),
            ("http://rpcuser:S3cretPass@%s/", ["--verbose"]),
        ]
        for form, args in cases:
            with self.subTest(form=form):
                node = self.start_node(work_bits=EASY)
                node.control({"cmd": "set_auth", "user": user, "password": password})
                url = form % node.url[len("http://"):].rstrip("/")
                miner = Miner(["--rpc-url", url, "--payout", PAYOUT, "--threads", "1",
                               "--mine-one"] + args, env=env)
                self.addCleanup(miner.close)
                self.assertEqual(miner.wait_exit(), 0, miner.transcript())
                self.assertIn("[rpc] url=" + url.replace(password, "***"), miner.stdout)
                text = "\n".join(miner.stdout + miner.stderr)
                self.assertNotIn(password, text)
                self.assertNotIn(token, text)
                if "--rpc-verbose-curl" in args:
                    self.assertIn("> Authorization: ***", miner.stderr)
        with self.assertRaises(BlockingIOError):
            listener.accept()


class Pacing(E2ECase):
    def test_long_polls_answered_at_once_are_paced(self):
        node = self.start_node(target_hex=ZERO_TARGET)
        node.control({"cmd": "set_longpoll", "mode": "never"})
        started = time.monotonic()
        miner = self.start_miner(node, "--status-sec", "1")
        miner.wait_line(STAT)
        time.sleep(2)
        polls = node.control({"cmd": "requests", "method": "getblocktemplate"})["requests"]
        elapsed = time.monotonic() - started
        self.stop_miner(miner)
        self.assertLessEqual(len([r for r in polls if r["longpollid"]]), elapsed + 2)

    def test_a_stop_request_ends_waiting_for_the_node(self):
        # miner options; rules; the line after which the node stops answering;
        # what the miner says meanwhile (a first template 5 s late: once, why).
        # The request held is given up at once: the node sees its client go.
        cases = [
            ([], [], "[rpc] ", []),
            (["--rpc-timeout-ms", "0"], [], "[rpc] ", SLOW_START),
            (["--no-longpoll", "--poll-sec", "1"], [PASS_THROUGH], "[work] periodic GBT refresh",
             []),
            ([], [PASS_THROUGH], "[work] height=", []),  # the long poll
        ]
        for args, rules, before, stderr in cases:
            with self.subTest(args=args, before=before):
                node = self.start_node(target_hex=ZERO_TARGET)
                for rule in rules:
                    node.control(rule)
                node.control({"cmd": "queue", "method": "getblocktemplate", "hold": True})
                miner = self.start_miner(node, *args)
                miner.wait_line(before)
                node.control({"cmd": "wait_requests", "count": 1, "state": "held"})
                if stderr:
                    miner.wait_line(stderr[-1], stream="stderr", timeout=10)
                started = time.monotonic()
                miner.send(signal.SIGINT)
                # A stop takes milliseconds (hundredths under emulation);
                # libcurl's look at a cancel flag, once a second, often more.
                # The line follows the poll's end; the process's own teardown
                # (an emulator's, on a busy machine) is not the stop's.
                miner.wait_line("[exit] stopped")
                self.assertLess(time.monotonic() - started, 0.5)
                self.assertEqual(miner.wait_exit(), 0, miner.transcript())
                self.assertEqual(miner.stdout[-1], "[exit] stopped")
                self.assertEqual(miner.stderr, stderr)
                self.assertTrue(node.control({"cmd": "wait_requests", "count": 1,
                                              "client_gone": True})["ok"])


class Notifications(E2ECase):
    # Under systemd: a datagram socket of the test's own is systemd's (NOTIFY_SOCKET).
    def test_readiness_status_watchdog_and_stop(self):
        node = self.start_node(target_hex=ZERO_TARGET)
        node.control({"cmd": "queue", "method": "getblocktemplate", "hold": True})
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(sock.close)
        sock.bind(os.path.join(node.datadir, "notify"))

        def wait(pattern, timeout=WAIT):  # for a notification that matches
            deadline = time.monotonic() + timeout
            while True:
                sock.settimeout(max(deadline - time.monotonic(), 0.001))
                if re.search(pattern, sock.recv(4096).decode(), re.M):
                    return

        env = dict(os.environ, NOTIFY_SOCKET=sock.getsockname(), WATCHDOG_USEC="2000000")
        miner = self.start_miner(node, "--status-sec", "1", env=env)
        node.control({"cmd": "wait_requests", "state": "held", "count": 1})
        self.assertRaises(socket.timeout, wait, "READY=1", 0.5)  # not before the first work
        node.control({"cmd": "release"})
        wait("^READY=1$")
        wait(r"^STATUS=[1-9][\d.]* [kMGT]?H/s at height 1, node answered \d+ s ago, "
             r"blocks found 0, accepted 0$")
        wait("^WATCHDOG=1$")
        cookie = node.auth
        node.control({"cmd": "set_auth", "user": "someone", "password": "else"})
        node.control({"cmd": "release", "status": 401})
        wait(r"^STATUS=no answer from the node for \d+ s: RPC HTTP 401 calling getblocktemplate")
        # The node answers again, and its work is easy: blocks are counted.
        node.control({"cmd": "set_auth", "user": cookie[0], "password": cookie[1]})
        node.control({"cmd": "configure", "work_bits": 6})
        wait(r"^STATUS=.*, blocks found [1-9]\d*, accepted [1-9]\d*$")
        miner.send(signal.SIGTERM)
        wait("^STOPPING=1$")
        self.assertEqual(miner.wait_exit(), 0, miner.transcript())


if __name__ == "__main__":
    unittest.main()
