"""The command line, run through the real qvncpu binary as a user runs it."""

import os
import shlex
import socket
import subprocess
import tempfile
import unittest

QVNCPU = os.environ.get("QVNCPU", "qvncpu")
EMULATOR = shlex.split(os.environ.get("QVN_EMULATOR", ""))  # for a cross-built binary
PAYOUT = "76a91400112233445566778899aabbccddeeff0011223388ac"

# The backend of the flavour under test: CMake passes its name as QVN_KERNEL.
BACKEND = {
    "avx2": "AVX2 four-way fixed SHA3-256t + scalar tail",
    "avx512": "AVX-512 eight-way fixed SHA3-256t + scalar tail",
    "neon": "NEON two-way fixed SHA3-256t + scalar tail",
    "neon-sha3": "NEON+SHA3 two-way fixed SHA3-256t + scalar tail",
    "neon-scalar": "NEON+scalar three-way fixed SHA3-256t + scalar tail",
    "neon-sha3-scalar": "NEON+SHA3+scalar three-way fixed SHA3-256t + scalar tail",
    "portable": "portable scalar fixed SHA3-256t",
}[os.environ.get("QVN_KERNEL", "avx2")]

USAGE_BODY = """\
 --payout <scriptPubKeyHex> [options]

RPC options:
  --rpc-url URL              JSON-RPC URL, default http://127.0.0.1:8332/
  --rpc-user USER            RPC username
  --rpc-pass PASS            RPC password
  --rpc-cookie FILE          Cookie auth file. If omitted, tries ~/.quorvane/.cookie then ~/.bitcoin/.cookie
  --rpc-timeout-ms N         Normal RPC timeout, default 30000
  --rpc-verbose-curl         Enable libcurl verbose logging

Payout options, repeatable:
  --payout SCRIPT            Weighted payout; if it is the only payout it receives all coinbasevalue
  --payout SCRIPT@WEIGHT     Weighted payout for the post-absolute remainder
  --payout SCRIPT:SATS       Absolute satoshi payout; any unassigned remainder goes to weighted payouts or the first output

CPU options:
  --threads N                Mining worker threads, default hardware_concurrency()
  --iters N                  Nonces per worker per chunk, default 65536

Mining/work options:
  --coinbase-tag STRING      Coinbase scriptSig tag, default /qvncpu/
  --no-longpoll              Disable GBT longpoll and poll periodically instead
  --poll-sec N               Poll interval when not using longpoll, default 15
  --status-sec N             Status print interval, default 5
  --gbt-txids-internal       Use only if your QVN node emits transaction hashes in internal byte order
  --extranonce N             Starting extranonce, default 0
  --mine-one                 Exit after the first found block is submitted
  --selftest                 Run CPU hash/miner self-tests and exit
  --verbose                  More logging
  -h, --help                 Show this help

CUDA-compatibility no-ops:
  --gpu/--device, --threads-per-block, --blocks, --oversubscribe are accepted and ignored.

Examples:
  """


def usage(prog):
    return (
        "Quorvane / QVN CPU SHA3-256t solo miner\n\nUsage:\n  "
        + prog
        + USAGE_BODY
        + prog
        + " --rpc-url http://127.0.0.1:8332/ --rpc-cookie ~/.quorvane/.cookie \\\n"
        "    --payout 76a91400112233445566778899aabbccddeeff0011223388ac\n\n  "
        + prog
        + " --rpc-user qvnuser --rpc-pass qvnpass --threads 8 \\\n"
        "    --payout 76a914" + "aa" * 20 + "88ac@3 \\\n"
        "    --payout 76a914" + "bb" * 20 + "88ac@1\n\n"
    )


def closed_port_url():
    """A loopback URL on which nothing listens."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return "http://127.0.0.1:%d/" % port


class Run:
    def __init__(self, args, env=None, home=None, argv0=None):
        full_env = dict(os.environ if env is None else env)
        if home is not None:
            full_env["HOME"] = home
        command = [argv0 or QVNCPU] + list(args)
        if EMULATOR:  # qemu's -0 sets the program's argv[0]
            command = EMULATOR + ["-0", argv0 or QVNCPU, QVNCPU] + list(args)
        proc = subprocess.run(
            command,
            executable=None if EMULATOR else QVNCPU,
            env=full_env,
            capture_output=True,
            text=True,
            timeout=60,
            stdin=subprocess.DEVNULL,
        )
        self.code = proc.returncode
        self.out = proc.stdout
        self.err = proc.stderr


def error_text(message):
    return "error: " + message + "\ntry --help\n"


class HelpTest(unittest.TestCase):
    def test_help_prints_usage_exactly(self):
        for flag in ("-h", "--help"):
            r = Run([flag])
            self.assertEqual(r.code, 0)
            self.assertEqual(r.err, "")
            self.assertEqual(r.out, usage(QVNCPU))

    def test_program_name_is_argv0_as_given(self):
        r = Run(["--help"], argv0="my-miner")
        self.assertEqual(r.out, usage("my-miner"))

    def test_option_lines_have_27_column_synopsis(self):
        for line in Run(["-h"]).out.splitlines():
            if line.startswith("  --") and "  " in line[2:] and "/--device" not in line:
                self.assertEqual(line[29 - 1], " ", line)
                self.assertNotEqual(line[29], " ", line)

    def test_help_after_a_valid_payout_and_before_garbage(self):
        for args in (["--payout", PAYOUT, "-h"], ["-h", "--bogus"], ["--threads", "2", "--help"]):
            r = Run(args)
            self.assertEqual((r.code, r.err), (0, ""), args)
            self.assertEqual(r.out, usage(QVNCPU))

    def test_errors_before_help_win(self):
        cases = [
            (["--bogus", "-h"], "unknown option: --bogus"),
            (["--payout", "zz", "-h"], "invalid hex string: zz"),
            (["--iters", "x", "--help"], "invalid integer for --iters: x"),
        ]
        for args, message in cases:
            r = Run(args)
            self.assertEqual((r.code, r.out, r.err), (1, "", error_text(message)), args)

    def test_rpc_pass_swallows_help_as_its_value(self):
        r = Run(["--rpc-pass", "--help"], home=tempfile.mkdtemp())
        self.assertEqual(r.code, 1)
        self.assertEqual(r.err, error_text("missing --payout raw scriptPubKey hex"))


class FailureTest(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp()

    def check(self, args, message):
        r = Run(args, home=self.home)
        self.assertEqual(r.code, 1, (args, r.err))
        self.assertEqual(r.out, "", args)
        self.assertEqual(r.err, error_text(message), args)

    def test_failure_table(self):
        p = ["--payout", PAYOUT]
        cases = [
            ([], "missing --payout raw scriptPubKey hex"),
            (["--rpc-url"], "missing value after --rpc-url"),
            (p + ["-j"], "missing value after -j"),
            (p + ["--jobs"], "missing value after --jobs"),
            (p + ["--threads"], "missing value after --threads"),
            (p + ["--gpu"], "missing value after --gpu"),
            (p + ["--oversubscribe"], "missing value after --oversubscribe"),
            (["--payout"], "missing value after --payout"),
            ([""], "unknown option: "),
            ([PAYOUT], "unknown option: " + PAYOUT),
            (["--threads=4"], "unknown option: --threads=4"),
            (["--Help"], "unknown option: --Help"),
            (["-hj"], "unknown option: -hj"),
            (p + ["--iters", "0"], "--iters must be positive"),
            (p + ["--iters", "0", "--poll-sec", "0"], "--iters must be positive"),
            (p + ["--iters", "4294967296"], "--iters must be positive"),
            (p + ["--poll-sec", "0"], "--poll-sec must be positive"),
            (p + ["--poll-sec", "-5"], "--poll-sec must be positive"),
            (p + ["--poll-sec", "2147483648"], "--poll-sec must be positive"),
            (p + ["--status-sec", "0"], "--status-sec must be positive"),
            (p + ["--status-sec", "4294967295"], "--status-sec must be positive"),
            (p + ["--poll-sec", "0", "--status-sec", "0"], "--poll-sec must be positive"),
            (p + ["-j", "x"], "invalid integer for -j: x"),
            (p + ["--jobs", ""], "empty integer for --jobs"),
            (p + ["--threads", "4x"], "invalid trailing characters in --threads: 4x"),
            (p + ["--rpc-timeout-ms", "-"], "invalid integer for --rpc-timeout-ms: -"),
            (p + ["--extranonce", "18446744073709551616"],
             "invalid integer for --extranonce: 18446744073709551616"),
            (["--payout", "51@0"], "payout weight must be positive: 51@0"),
            (["--payout", "51@inf"], "payout weight must be positive: 51@inf"),
            (["--payout", "0x"], "empty scriptPubKey in payout: 0x"),
            (["--payout", "51:10@2"], "hex string has odd length: 51:10"),
            (["--payout", "51:"], "empty integer for payout satoshis"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                self.check(args, message)


class SelftestParseTest(unittest.TestCase):
    def test_selftest_needs_no_payout_and_no_node(self):
        r = Run(["--selftest", "--rpc-url", "http://192.0.2.1:1/", "--gpu", "0"])
        self.assertEqual(r.code, 0, r.err)
        self.assertEqual(r.out, "selftest ok (%s)\n" % BACKEND)
        self.assertEqual(r.err, "")


class StartupLineTest(unittest.TestCase):
    """Options that parse are visible in the start-up lines of a mining run.
    The node is a closed port, so the run ends at the first template request."""

    def setUp(self):
        self.home = tempfile.mkdtemp()
        self.url = closed_port_url()

    def start(self, args, home=None, env=None):
        r = Run(["--rpc-url", self.url, "--payout", PAYOUT] + args,
                home=self.home if home is None else home, env=env)
        self.assertEqual(r.code, 1)
        # --rpc-verbose-curl adds libcurl's own trace before the error line.
        self.assertIn("\nerror: RPC curl failure calling getblocktemplate: ", "\n" + r.err)
        self.assertTrue(r.err.endswith("\ntry --help\n"), r.err)
        return r.out.splitlines()

    def test_thread_count_keeps_low_32_bits(self):
        cases = [
            (["--threads", "4294967297"], "threads=1"),
            (["-j", "3"], "threads=3"),
            (["--jobs", " +2 "], "threads=2"),
            (["--threads", "7", "--threads", "2"], "threads=2"),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                lines = self.start(args)
                self.assertTrue(lines[0].startswith("[cpu] " + expected + " iters/thread=65536 "),
                                lines)

    def test_default_threads_is_hardware_count(self):
        n = os.cpu_count() or 1
        for args in ([], ["--threads", "0"]):
            lines = self.start(args)
            self.assertEqual(
                lines[0],
                "[cpu] threads=%d iters/thread=65536 backend=%s" % (n, BACKEND))

    def test_iters_low_32_bits(self):
        lines = self.start(["--iters", "4294967297", "--threads", "1"])
        self.assertTrue(lines[0].startswith("[cpu] threads=1 iters/thread=1 "), lines)

    def test_noop_options_listed_in_order_with_duplicates(self):
        lines = self.start(["--gpu", "0", "--blocks", "128", "--device", "x",
                            "--threads-per-block", "-1", "--oversubscribe", "",
                            "--gpu", "--help"])
        self.assertEqual(lines[1], "[cpu] ignored CUDA-only option(s): --gpu --blocks --device"
                                   " --threads-per-block --oversubscribe --gpu")

    def test_rpc_line_shows_cookie_or_user_never_password(self):
        cases = [
            ([], "[rpc] url=%s"),
            (["--rpc-user", "alice", "--rpc-pass", "secret"], "[rpc] url=%s user=alice"),
            (["--rpc-pass", "secret"], "[rpc] url=%s"),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                self.assertEqual(self.start(args)[-1], expected % self.url)

    def test_accepted_edge_values(self):
        lines = self.start(["--rpc-timeout-ms", "0", "--extranonce", "18446744073709551615",
                            "--coinbase-tag", "", "--poll-sec", "1", "--status-sec", "1",
                            "--verbose", "--mine-one", "--no-longpoll", "--gbt-txids-internal",
                            "--rpc-verbose-curl"])
        self.assertTrue(lines[0].startswith("[cpu] threads="), lines)


class DefaultCookieTest(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp()
        self.url = closed_port_url()

    def rpc_line(self, args=(), home=None, env=None):
        r = Run(["--rpc-url", self.url, "--payout", PAYOUT] + list(args),
                home=home, env=env)
        lines = r.out.splitlines()
        self.assertEqual(r.code, 1, r.err)
        return lines[-1], r.err

    def make(self, rel, directory=False):
        path = os.path.join(self.home, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if directory:
            os.makedirs(path)
        else:
            with open(path, "w") as f:
                f.write("u:p\n")

    def test_no_cookie_anywhere(self):
        line, _ = self.rpc_line(home=self.home)
        self.assertEqual(line, "[rpc] url=" + self.url)

    def test_first_existing_candidate_wins(self):
        self.make(".bitcoin/.cookie")
        line, _ = self.rpc_line(home=self.home)
        self.assertEqual(line, "[rpc] url=%s cookie=~/.bitcoin/.cookie" % self.url)
        self.make(".quorVANE/.cookie")
        line, _ = self.rpc_line(home=self.home)
        self.assertEqual(line, "[rpc] url=%s cookie=~/.quorVANE/.cookie" % self.url)
        self.make(".quorvane/.cookie")
        line, _ = self.rpc_line(home=self.home)
        self.assertEqual(line, "[rpc] url=%s cookie=~/.quorvane/.cookie" % self.url)

    def test_cookie_that_cannot_be_read_is_named(self):
        # a directory named .cookie counts for the search, then fails to read
        self.make(".quorvane/.cookie", directory=True)
        path = os.path.join(self.home, ".quorvane/.cookie")
        for args, message in (([], "not a regular file: " + path),
                              (["--rpc-cookie", path + "x"], "cannot open file: " + path + "x")):
            r = Run(["--rpc-url", self.url, "--payout", PAYOUT] + args, home=self.home)
            self.assertEqual(r.code, 1)
            self.assertNotIn("[rpc]", r.out)
            self.assertEqual(r.err, error_text(message + " (the RPC cookie file)"))

    def test_rpc_user_skips_search_rpc_pass_does_not(self):
        self.make(".quorvane/.cookie")
        line, _ = self.rpc_line(["--rpc-user", "bob"], home=self.home)
        self.assertEqual(line, "[rpc] url=%s user=bob" % self.url)
        line, _ = self.rpc_line(["--rpc-pass", "x"], home=self.home)
        self.assertEqual(line, "[rpc] url=%s cookie=~/.quorvane/.cookie" % self.url)

    def test_explicit_cookie_wins_over_user_in_the_log(self):
        self.make("mine.cookie")
        path = os.path.join(self.home, "mine.cookie")
        line, _ = self.rpc_line(["--rpc-user", "bob", "--rpc-cookie", path], home=self.home)
        self.assertEqual(line, "[rpc] url=%s cookie=%s" % (self.url, path))

    def test_home_unset_skips_every_candidate(self):
        env = {k: v for k, v in os.environ.items() if k != "HOME"}
        line, _ = self.rpc_line(env=env)
        self.assertEqual(line, "[rpc] url=" + self.url)

    def test_home_unset_with_tilde_cookie_fails_at_startup(self):
        env = {k: v for k, v in os.environ.items() if k != "HOME"}
        r = Run(["--rpc-url", self.url, "--payout", PAYOUT, "--rpc-cookie", "~/c"], env=env)
        self.assertEqual(r.code, 1)
        self.assertTrue(
            r.err.endswith(error_text("HOME/USERPROFILE is not set, cannot expand path: ~/c")),
            r.err)


if __name__ == "__main__":
    unittest.main()
