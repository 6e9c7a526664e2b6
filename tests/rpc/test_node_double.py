"""The node double itself: JSON-RPC answers, long-poll holding, scripted
responses, authentication, request records and prompt shutdown."""

import base64
import http.client
import json
import os
import re
import socket
import subprocess
import sys
import threading
import time
import unittest

from qvnnode.server import DEFAULT_TEMPLATE, NodeDouble


def post(node, body, path="/", headers=None, timeout=10):
    """(status, body bytes) of one POST; body is bytes or a JSON-able value."""
    if not isinstance(body, bytes):
        body = json.dumps(body).encode("utf-8")
    conn = http.client.HTTPConnection("127.0.0.1", node.port, timeout=timeout)
    try:
        conn.request("POST", path, body=body, headers=headers or {})
        response = conn.getresponse()
        return response.status, response.read()
    finally:
        conn.close()


def rpc(node, method, params=None, request_id=1, **kwargs):
    return post(node, {"id": request_id, "method": method, "params": params or []}, **kwargs)


def in_background(function, *args, **kwargs):
    """Runs function in a thread; the returned dict gets "value" or "error"."""
    outcome = {}

    def run():
        try:
            outcome["value"] = function(*args, **kwargs)
        except Exception as e:  # noqa: BLE001 - reported to the test
            outcome["error"] = e

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    outcome["thread"] = thread
    return outcome


class NodeDoubleTest(unittest.TestCase):
    def setUp(self):
        self.node = NodeDouble().start()
        self.addCleanup(self.node.stop)

    def control(self, **cmd):
        status, body = post(self.node, cmd, path="/control")
        self.assertEqual(status, 200, body)
        return json.loads(body)

    def test_answers_getblocktemplate_and_records_exact_bytes(self):
        body = b'{"id":7,"jsonrpc":"1.0","method":"getblocktemplate","params":[{"rules":["segwit"]}]}'
        status, answer = post(self.node, body, headers={"Content-Type": "application/json"})
        self.assertEqual(status, 200)
        self.assertEqual(json.loads(answer), {"result": DEFAULT_TEMPLATE, "error": None, "id": 7})
        [record] = self.control(cmd="requests")["requests"]
        self.assertEqual(record["body_hex"], body.hex())
        self.assertEqual(record["method"], "getblocktemplate")
        self.assertEqual(record["longpollid"], None)
        self.assertIn(["Content-Type", "application/json"], record["headers"])
        self.assertEqual((record["state"], record["status"]), ("answered", 200))

    def test_errors_like_a_node(self):
        cases = [
            (b'{"id":3,"method":"nosuch"}', 404,
             {"result": None, "error": {"code": -32601, "message": "Method not found"}, "id": 3}),
            (b"not json", 500,
             {"result": None, "error": {"code": -32700, "message": "Parse error"}, "id": None}),
            (b'{"id":4,"method":"submitblock","params":[]}', 500,
             {"result": None, "id": 4, "error": {
                 "code": -1, "message": "submitblock expects the block as hex text"}}),
        ]
        for body, status, answer in cases:
            with self.subTest(body=body):
                got_status, got = post(self.node, body)
                self.assertEqual(got_status, status)
                self.assertEqual(json.loads(got), answer)

    def test_submitblock_accepts_and_keeps_the_block(self):
        self.assertEqual(rpc(self.node, "submitblock", ["00ff"]),
                         (200, b'{"result":null,"error":null,"id":1}'))
        self.assertEqual(self.node.blocks, ["00ff"])

    def test_long_poll_is_held_until_a_new_template(self):
        held = in_background(rpc, self.node, "getblocktemplate", [{"longpollid": "lp-1"}])
        self.control(cmd="wait_requests", count=1, state="held")
        # Another id is answered at once, even while the first poll is held.
        status, answer = rpc(self.node, "getblocktemplate", [{"longpollid": "other"}])
        self.assertEqual(json.loads(answer)["result"]["longpollid"], "lp-1")
        self.assertTrue(held["thread"].is_alive())

        new = dict(DEFAULT_TEMPLATE, longpollid="lp-2", height=2)
        self.control(cmd="set_template", template=new)
        held["thread"].join(5)
        self.assertEqual(held["value"][0], 200)
        self.assertEqual(json.loads(held["value"][1])["result"], new)

    def test_set_template_without_release_keeps_polls_held(self):
        held = in_background(rpc, self.node, "getblocktemplate", [{"longpollid": "lp-1"}])
        self.control(cmd="wait_requests", count=1, state="held")
        self.control(cmd="set_template", template=dict(DEFAULT_TEMPLATE, longpollid="lp-2"),
                     release=False)
        time.sleep(0.2)
        self.assertTrue(held["thread"].is_alive())
        self.control(cmd="release", status=503, body="going away")
        held["thread"].join(5)
        self.assertEqual(held["value"], (503, b"going away"))

    def test_longpoll_modes(self):
        self.control(cmd="set_longpoll", mode="never")
        self.assertEqual(rpc(self.node, "getblocktemplate", [{"longpollid": "lp-1"}])[0], 200)
        self.control(cmd="set_longpoll", mode="always")
        held = in_background(rpc, self.node, "getblocktemplate", [{"longpollid": "x"}])
        self.control(cmd="wait_requests", count=1, state="held")
        self.control(cmd="release")
        held["thread"].join(5)
        self.assertEqual(held["value"][0], 200)

    def test_scripted_responses(self):
        self.control(cmd="queue", method="m", status=500, body="once")
        self.control(cmd="queue", method="m", times=0, result={"r": 1})
        self.control(cmd="queue", method="raw", body_hex="00ff")
        self.assertEqual(rpc(self.node, "other")[0], 404)
        self.assertEqual(rpc(self.node, "m"), (500, b"once"))
        for _ in range(2):
            self.assertEqual(rpc(self.node, "m", request_id=9),
                             (200, b'{"result":{"r":1},"error":null,"id":9}'))
        self.assertEqual(rpc(self.node, "raw"), (200, b"\x00\xff"))
        self.control(cmd="clear_rules")
        self.assertEqual(rpc(self.node, "m")[0], 404)

    def test_status_only_rule_keeps_the_normal_answer(self):
        self.control(cmd="queue", method="submitblock", status=500)
        self.assertEqual(rpc(self.node, "submitblock", ["00"]),
                         (500, b'{"result":null,"error":null,"id":1}'))

    def test_drop_closes_without_an_answer(self):
        self.control(cmd="queue", drop=True)
        with self.assertRaises(http.client.RemoteDisconnected):
            rpc(self.node, "m")
        self.assertEqual(self.control(cmd="requests")["requests"][0]["state"], "dropped")

    def test_delay(self):
        self.control(cmd="queue", delay_ms=300, result=1)
        start = time.monotonic()
        self.assertEqual(rpc(self.node, "m")[0], 200)
        self.assertGreaterEqual(time.monotonic() - start, 0.3)

    def test_client_that_goes_away(self):
        # A node's workers go on holding a request whose client has gone;
        # the ideal server (rpc_threads=0) gives it up.
        # rpc_threads; the record once the client is seen gone; workers lost to it
        cases = [(4, "held", 1), (0, "disconnected", 0)]
        for threads, state, gone in cases:
            with self.subTest(rpc_threads=threads):
                node = NodeDouble(rpc_threads=threads).start()
                self.addCleanup(node.stop)
                node.control({"cmd": "queue", "hold": True})
                sock = socket.create_connection(("127.0.0.1", node.port))
                body = b'{"id":1,"method":"m"}'
                sock.sendall(b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n%s"
                             % (len(body), body))
                node.control({"cmd": "wait_requests", "count": 1, "state": "held"})
                sock.close()
                answer = node.control({"cmd": "wait_requests", "count": 1, "client_gone": True,
                                       "timeout_ms": 5000})
                self.assertEqual(answer["requests"][0]["state"], state)
                self.assertEqual(node.control({"cmd": "workers"})["gone"], gone)

    def test_a_full_work_queue_answers_503_at_once(self):
        node = NodeDouble(rpc_threads=1, work_queue=1).start()
        self.addCleanup(node.stop)
        node.control({"cmd": "queue", "hold": True})
        held = []
        for busy, queued in ((1, 0), (1, 1)):  # one at a time: a worker takes the first
            held.append(in_background(rpc, node, "getblocktemplate"))
            full = {"threads": 1, "queue": 1, "busy": busy, "queued": queued, "gone": 0}
            deadline = time.monotonic() + 10
            while node.control({"cmd": "workers"}) != full and time.monotonic() < deadline:
                time.sleep(0.02)
        self.assertEqual(rpc(node, "m"), (503, b"Work queue depth exceeded"))
        self.assertEqual(node.control({"cmd": "workers"}), full)
        node.control({"cmd": "release"})
        for outcome in held:
            outcome["thread"].join(5)
            self.assertEqual(outcome["value"][0], 200)

    def test_basic_authentication(self):
        self.control(cmd="set_auth", user="u", password="p")
        good = "Basic " + base64.b64encode(b"u:p").decode()
        bad = "Basic " + base64.b64encode(b"u:x").decode()
        self.assertEqual(rpc(self.node, "submitblock", ["00"]), (401, b""))
        self.assertEqual(rpc(self.node, "submitblock", ["00"],
                             headers={"Authorization": bad})[0], 401)
        self.assertEqual(rpc(self.node, "submitblock", ["00"],
                             headers={"Authorization": good})[0], 200)
        self.control(cmd="set_auth", user=None)
        self.assertEqual(rpc(self.node, "submitblock", ["00"])[0], 200)

    def test_request_filters_and_wait_timeout(self):
        rpc(self.node, "getblocktemplate", [{"longpollid": "zz"}])
        rpc(self.node, "submitblock", ["00"])
        self.assertEqual(len(self.control(cmd="requests", method="submitblock")["requests"]), 1)
        self.assertEqual(len(self.control(cmd="requests", longpollid="zz")["requests"]), 1)
        self.assertEqual(len(self.control(cmd="requests", longpollid=None)["requests"]), 1)
        answer = self.control(cmd="wait_requests", count=3, timeout_ms=100)
        self.assertEqual((answer["ok"], len(answer["requests"])), (False, 2))
        self.control(cmd="clear_requests")
        self.assertEqual(self.control(cmd="requests")["requests"], [])

    def test_bad_control_command(self):
        for cmd in ({"cmd": "nosuch"}, {"nocmd": 1}, {"cmd": "set_longpoll", "mode": "x"}):
            with self.subTest(cmd=cmd):
                self.assertEqual(post(self.node, cmd, path="/control")[0], 400)

    def test_shutdown_is_prompt_with_a_poll_held(self):
        held = in_background(rpc, self.node, "getblocktemplate", [{"longpollid": "lp-1"}])
        self.control(cmd="wait_requests", count=1, state="held")
        start = time.monotonic()
        self.node.stop()
        self.assertLess(time.monotonic() - start, 2.0)
        held["thread"].join(5)
        self.assertIn("error", held)  # connection closed without an answer


class NodeDoubleProcessTest(unittest.TestCase):
    def test_prints_url_and_exits_when_stdin_closes(self):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.environ.get("QVN_TOOLS"),
                                                           env.get("PYTHONPATH")]))
        process = subprocess.Popen(
            [sys.executable, "-m", "qvnnode", "--port", "0", "--exit-on-stdin-eof"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        try:
            url = process.stdout.readline().decode().strip()
            match = re.fullmatch(r"http://127\.0\.0\.1:(\d+)/", url)
            self.assertIsNotNone(match, url)
            conn = http.client.HTTPConnection("127.0.0.1", int(match.group(1)), timeout=10)
            conn.request("POST", "/control", body=b'{"cmd":"ping"}')
            self.assertEqual(json.loads(conn.getresponse().read()), {"ok": True})
            conn.close()
            process.stdin.close()
            self.assertEqual(process.wait(10), 0)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
            process.stdout.close()


if __name__ == "__main__":
    unittest.main()
