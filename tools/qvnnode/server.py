"""A JSON-RPC node double for testing qvncpu over real HTTP on 127.0.0.1.

The double answers JSON-RPC 1.0 POSTs the way the chain's node does (the
methods the miner uses: getblocktemplate, plain and long poll, and
submitblock), and lets a test script everything else: templates, long-poll
release, any HTTP status, raw body or delay, Basic authentication. It records
every request it receives (method, path, headers, raw body) so a test can
check the exact bytes a client sent.

Layout, for extending it into a development node:
  - ``TemplateSource``: where getblocktemplate answers come from
    (``StaticTemplateSource`` holds whatever the test sets).
  - ``NodeDouble.methods``: the JSON-RPC method dispatch table, name to
    ``handler(call)``; a handler returns the result or raises ``RpcFault``.
  - ``NodeDouble.control``: the control commands below, as a dispatch table too.

Start it in-process (``with NodeDouble() as node: node.url``) or as a process:
``python3 -m qvnnode --port 0`` prints its URL (http://127.0.0.1:PORT/) as the
first line of standard output.

Serving model
-------------
Like a node, it answers JSON-RPC from a fixed pool of worker threads
(``rpc_threads``, default 4) behind a bounded queue (``work_queue``, default
16): a request that finds the queue full is answered at once with HTTP 503
"Work queue depth exceeded", and a request whose client hangs up is not
cancelled: a held long poll keeps its worker until the work changes, and a
queued request is still worked on later, for nobody. ``rpc_threads=0`` gives
the ideal server instead: a thread per request, given up when its client
goes. Control commands are always answered at once.

Control protocol
----------------
POST /control with a JSON object {"cmd": NAME, ...}; the answer is a JSON
object (HTTP 200), or {"error": TEXT} with HTTP 400 for a bad command.
In-process, ``node.control({...})`` takes and returns the same objects.

  ping                         -> {"ok": true}
  set_template  template={...} [release=true]
                               Makes the object the current template. Its
                               "longpollid" member, if any, is the id long
                               polls are compared with. With release (the
                               default) every held request is answered now.
  release       [status=N body=TEXT]
                               Answers every held request: long polls with the
                               current template, or all of them with the given
                               raw response when status/body are given.
  queue         [method="*"] [times=1] [status=N] [body=TEXT | body_hex=HEX |
                result=JSON error=JSON | stream_bytes=N] [delay_ms=N]
                [hold=true] [drop=true] [truncate=true] [plain=true]
                               Adds a response rule for the next matching calls
                               ("*" matches any method; times=0 is persistent;
                               plain matches only calls without a long-poll id).
                               delay_ms waits first; hold waits for a release;
                               drop closes the connection without an answer;
                               body/body_hex send that raw body, result/error a
                               JSON-RPC response with the request's id; status
                               alone changes only the HTTP status.
                               stream_bytes sends that many bytes of "x" with
                               no Content-Length, ended by closing the
                               connection; truncate announces the whole answer
                               but closes after half of it.
  clear_rules                  -> removes every queued rule
  set_auth      user=U password=P
                               Requires HTTP Basic authentication (401 with an
                               empty body otherwise); user null turns it off.
  set_longpoll  mode="match"|"always"|"never"
                               When a getblocktemplate with "longpollid" is
                               held: while its id equals the current template's
                               (match, the default), always, or never.
  requests      [filters]      -> {"requests": [record, ...]}
  wait_requests count=N [timeout_ms=10000] [filters]
                               Waits until at least N recorded requests match;
                               -> {"ok": bool, "requests": [matching records]}
  clear_requests               -> forgets the recorded requests
  workers                      -> {"threads", "queue", "busy", "queued",
                                  "gone"}: the pool's size and queue depth,
                                  requests being worked on and waiting, and
                                  how many of those belong to a client that
                                  has gone (the workers a node loses to them)
  shutdown                     -> stops the server after answering

Filters: method (the JSON-RPC method), state, longpollid (the "longpollid" of
the first parameter object; null matches requests without one), client_gone.

A request record: {"seq", "path", "headers": [[name, value], ...], "body"
(text, undecodable bytes replaced), "body_hex", "id", "method", "params",
"longpollid", "state", "status", "response", "client_gone"}. state is
"received", "held", "answered", "truncated", "dropped" or "disconnected" (the
client went away before its answer was sent); client_gone turns true as soon
as the node sees the client go, even while a worker still holds the request.
"""

import base64
import collections
import copy
import http.server
import json
import os
import select
import signal
import socket
import sys
import threading
import time

DEFAULT_TEMPLATE = {
    "version": 0x20000000,
    "previousblockhash": "00" * 32,
    "coinbasevalue": 5000000000,
    "bits": "207fffff",
    "height": 1,
    "curtime": 1700000000,
    "mintime": 1700000000,
    "longpollid": "lp-1",
    "rules": ["segwit"],
    "transactions": [],
    "noncerange": "00000000ffffffff",
}

HOLD_POLL_SECONDS = 0.05
# A node's default RPC worker threads and work queue depth (rpcthreads,
# rpcworkqueue) before v29, and in most derived chains.
DEFAULT_RPC_THREADS = 4
DEFAULT_WORK_QUEUE = 16
QUEUE_FULL_BODY = b"Work queue depth exceeded"


class RpcFault(Exception):
    """A JSON-RPC error answer: HTTP status plus the "error" object."""

    def __init__(self, code, message, http_status=500):
        super().__init__(message)
        self.error = {"code": code, "message": message}
        self.http_status = http_status


class RawResponse(Exception):
    """Ends a call with exactly this HTTP status and body."""

    def __init__(self, status, body):
        super().__init__(status)
        self.status = status
        self.body = body


class Streamed:
    """An answer body of count filler bytes, sent without a length."""

    def __init__(self, count):
        self.count = count

    def decode(self, *_):
        return "<%d streamed bytes>" % self.count


class Truncated(bytes):
    """An answer whose connection is closed halfway through its body."""


class ClientGone(Exception):
    """The client closed its connection, or the node is shutting down."""


class TemplateSource:
    """Supplies getblocktemplate results; a chain-backed node overrides it."""

    def current(self):
        raise NotImplementedError

    def longpollid(self):
        return self.current().get("longpollid")


class StaticTemplateSource(TemplateSource):
    """Answers with whatever template the test set last."""

    def __init__(self, template=None):
        self.template = copy.deepcopy(DEFAULT_TEMPLATE if template is None else template)

    def current(self):
        return copy.deepcopy(self.template)

    def set(self, template):
        self.template = copy.deepcopy(template)


class Call:
    """One JSON-RPC request being answered, as seen by a method handler."""

    def __init__(self, node, handler, record):
        self.node = node
        self.handler = handler
        self.record = record
        self.params = record["params"]
        self.id = record["id"]
        # The ideal server gives a request up when its client goes; a node does not.
        self.ends_with_client = node.pool is None

    def hold(self, until, timeout=None):
        """Waits (state "held") until until() holds or timeout seconds pass.

        Raises ClientGone when the client disconnects or the node shuts down.
        """
        return self.node._wait_for(self, until, timeout, "held")

    def delay(self, seconds):
        deadline = time.monotonic() + seconds
        self.node._wait_for(self, lambda: time.monotonic() >= deadline, seconds, None)


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "qvnnode"

    def log_message(self, format, *args):  # noqa: A002 - quiet by default
        pass

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length > 0 else b""
        if self.path == "/control":
            self._control(body)
        else:
            self.server.node._serve_rpc(self, body)

    def _control(self, body):
        node = self.server.node
        try:
            answer = node.control(json.loads(body.decode("utf-8")))
            status = 200
        except (ValueError, KeyError, TypeError) as e:
            answer, status = {"error": str(e)}, 400
        self.send_raw(status, json.dumps(answer).encode("utf-8"))
        if answer.get("shutting_down"):
            threading.Thread(target=node.stop, daemon=True).start()

    def send_raw(self, status, body, content_type="application/json"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        if not isinstance(body, Streamed):
            self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        if isinstance(body, Streamed):
            piece = b"x" * (1 << 20)
            for start in range(0, body.count, len(piece)):
                self.wfile.write(piece[:body.count - start])
        elif isinstance(body, Truncated):
            self.wfile.write(body[:len(body) // 2])
        else:
            self.wfile.write(body)
        self.wfile.flush()

    def client_gone(self):
        """True once the client has closed its end (it sends nothing more)."""
        try:
            readable, _, _ = select.select([self.connection], [], [], 0)
            if not readable:
                return False
            return self.connection.recv(1, socket.MSG_PEEK) == b""
        except OSError:
            return True


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False
    allow_reuse_address = True
    # Connections are accepted at once, as a node's HTTP server does; only
    # the work behind them waits for a worker.
    request_queue_size = 128

    def handle_error(self, request, client_address):
        # A client that hangs up before its answer is sent is routine here
        # (aborted long polls, a stopped miner); anything else is reported.
        if isinstance(sys.exc_info()[1], (BrokenPipeError, ConnectionResetError)):
            return
        super().handle_error(request, client_address)


class _Job:
    """One JSON-RPC request in the worker pool."""

    def __init__(self, call, body):
        self.call = call
        self.body = body
        self.outcome = None  # (status, payload), or ClientGone
        self.done = False


class WorkerPool:
    """A node's RPC workers: threads take requests from a bounded queue in
    order and work on each to its end, whether or not its client is still
    there. Shares the node's lock and condition."""

    def __init__(self, node, threads, depth):
        self.node = node
        self.threads = threads
        self.depth = depth
        self.queued = collections.deque()
        self.active = []  # queued or being worked on
        for _ in range(threads):
            threading.Thread(target=self._work, daemon=True).start()

    def submit(self, call, body):
        """The job, or None when the queue is full. Call with the lock held."""
        if len(self.queued) >= self.depth:
            return None
        job = _Job(call, body)
        self.queued.append(job)
        self.active.append(job)
        self.node.cond.notify_all()
        return job

    def status(self):
        """Call with the lock held."""
        return {"threads": self.threads, "queue": self.depth,
                "busy": len(self.active) - len(self.queued), "queued": len(self.queued),
                "gone": sum(1 for job in self.active if job.call.record["client_gone"])}

    def _work(self):
        cond = self.node.cond
        while True:
            with cond:
                while not self.queued and not self.node.closing:
                    cond.wait()
                if self.node.closing:
                    return
                job = self.queued.popleft()
            try:
                outcome = self.node._answer(job.call, job.body)
            except ClientGone as gone:
                outcome = gone
            with cond:
                job.outcome = outcome
                job.done = True
                self.active.remove(job)
                cond.notify_all()


class NodeDouble:
    """The node double; see the module docstring for its control protocol."""

    def __init__(self, host="127.0.0.1", port=0, template=None, source=None,
                 user=None, password=None, rpc_threads=DEFAULT_RPC_THREADS,
                 work_queue=DEFAULT_WORK_QUEUE):
        self.source = source if source is not None else StaticTemplateSource(template)
        self.cond = threading.Condition()
        self.requests = []
        self.rules = []
        self.generation = 0
        self.release_overrides = {}
        self.auth = None
        self.longpoll_mode = "match"
        self.closing = False
        self.blocks = []
        if user is not None:
            self.auth = (user, password or "")
        self.pool = WorkerPool(self, rpc_threads, work_queue) if rpc_threads > 0 else None
        self.methods = {
            "getblocktemplate": self.rpc_getblocktemplate,
            "submitblock": self.rpc_submitblock,
        }
        self.commands = {
            "ping": lambda cmd: {"ok": True},
            "set_template": self._cmd_set_template,
            "release": self._cmd_release,
            "queue": self._cmd_queue,
            "clear_rules": self._cmd_clear_rules,
            "set_auth": self._cmd_set_auth,
            "set_longpoll": self._cmd_set_longpoll,
            "requests": self._cmd_requests,
            "wait_requests": self._cmd_wait_requests,
            "clear_requests": self._cmd_clear_requests,
            "workers": self._cmd_workers,
            "shutdown": lambda cmd: {"ok": True, "shutting_down": True},
        }
        self.httpd = _Server((host, port), _Handler)
        self.httpd.node = self
        self.thread = None

    # ----- life cycle -----

    @property
    def port(self):
        return self.httpd.server_address[1]

    @property
    def url(self):
        return "http://%s:%d/" % (self.httpd.server_address[0], self.port)

    def start(self):
        self.thread = threading.Thread(
            target=self.httpd.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        self.thread.start()
        return self

    def stop(self):
        with self.cond:
            if self.closing:
                return
            self.closing = True
            self.cond.notify_all()
        self.httpd.shutdown()
        self.httpd.server_close()

    def wait_stopped(self, timeout=None):
        if self.thread is not None:
            self.thread.join(timeout)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # ----- JSON-RPC methods -----

    def rpc_getblocktemplate(self, call):
        longpollid = call.record["longpollid"]
        if longpollid is not None and self._holds_longpoll(longpollid):
            with self.cond:
                generation = self.generation
            call.hold(lambda: self.generation != generation)
            with self.cond:
                override = self.release_overrides.get(self.generation)
            if override is not None:
                raise RawResponse(override["status"], override["body"])
        with self.cond:
            return self.source.current()

    def rpc_submitblock(self, call):
        params = call.params if isinstance(call.params, list) else []
        if not params or not isinstance(params[0], str):
            raise RpcFault(-1, "submitblock expects the block as hex text")
        with self.cond:
            self.blocks.append(params[0])
        return None

    def _holds_longpoll(self, longpollid):
        with self.cond:
            if self.longpoll_mode == "always":
                return True
            if self.longpoll_mode == "never":
                return False
            return longpollid == self.source.longpollid()

    # ----- control commands -----

    def control(self, cmd):
        name = cmd["cmd"]
        if name not in self.commands:
            raise KeyError("unknown command: %s" % name)
        return self.commands[name](cmd)

    def _cmd_set_template(self, cmd):
        with self.cond:
            self.source.set(cmd["template"])
            if cmd.get("release", True):
                self._release_locked(None)
        return {"ok": True}

    def _cmd_release(self, cmd):
        override = None
        if "status" in cmd or "body" in cmd:
            override = {"status": int(cmd.get("status", 200)),
                        "body": str(cmd.get("body", "")).encode("utf-8")}
        with self.cond:
            self._release_locked(override)
        return {"ok": True}

    def _release_locked(self, override):
        self.generation += 1
        if override is not None:
            self.release_overrides[self.generation] = override
        self.cond.notify_all()

    def _cmd_queue(self, cmd):
        rule = {k: v for k, v in cmd.items() if k != "cmd"}
        rule.setdefault("method", "*")
        rule["times"] = int(rule.get("times", 1))
        with self.cond:
            self.rules.append(rule)
        return {"ok": True}

    def _cmd_clear_rules(self, cmd):
        with self.cond:
            self.rules.clear()
        return {"ok": True}

    def _cmd_set_auth(self, cmd):
        with self.cond:
            user = cmd.get("user")
            self.auth = None if user is None else (user, cmd.get("password") or "")
        return {"ok": True}

    def _cmd_set_longpoll(self, cmd):
        mode = cmd["mode"]
        if mode not in ("match", "always", "never"):
            raise ValueError("unknown long-poll mode: %s" % mode)
        with self.cond:
            self.longpoll_mode = mode
        return {"ok": True}

    def _cmd_requests(self, cmd):
        with self.cond:
            return {"requests": self._matching(cmd)}

    def _cmd_wait_requests(self, cmd):
        return self.wait_for_records(cmd, lambda: self._matching(cmd), "requests")

    def wait_for_records(self, cmd, matching, key):
        """Waits until matching() (called under the lock) finds cmd["count"]
        records, or cmd["timeout_ms"] (default 10 s) passes, or the node closes;
        -> {"ok": bool, key: the records found}."""
        count = int(cmd["count"])
        deadline = time.monotonic() + int(cmd.get("timeout_ms", 10000)) / 1000.0
        with self.cond:
            while True:
                found = matching()
                remaining = deadline - time.monotonic()
                if len(found) >= count or remaining <= 0 or self.closing:
                    return {"ok": len(found) >= count, key: found}
                self.cond.wait(remaining)

    def _cmd_clear_requests(self, cmd):
        with self.cond:
            self.requests.clear()
        return {"ok": True}

    def _cmd_workers(self, cmd):
        with self.cond:
            if self.pool is None:
                return {"threads": 0, "queue": 0, "busy": 0, "queued": 0, "gone": 0}
            return self.pool.status()

    def _matching(self, filters):
        keys = [k for k in ("method", "state", "longpollid", "client_gone") if k in filters]
        return [copy.deepcopy(record) for record in self.requests
                if all(record[k] == filters[k] for k in keys)]

    # ----- serving one JSON-RPC request -----

    def _serve_rpc(self, handler, body):
        record = self._record(handler, body)
        call = Call(self, handler, record)
        try:
            if self.pool is None:
                status, payload = self._answer(call, body)
            else:
                status, payload = self._answer_from_pool(call, body)
        except ClientGone:
            with self.cond:
                record["client_gone"] = True
            self._set_state(record, "disconnected")
            handler.close_connection = True
            return
        if status is None:
            self._set_state(record, "dropped")
            handler.close_connection = True
            return
        # Recorded before it is sent: a client that has read the answer must
        # find it in the records already.
        with self.cond:
            record["status"] = status
            record["response"] = payload.decode("utf-8", "replace")
            record["state"] = "answered"
            self.cond.notify_all()
        try:
            handler.send_raw(status, payload)
        except OSError:
            self._set_state(record, "disconnected")
            return
        if isinstance(payload, Truncated):
            self._set_state(record, "truncated")

    def _answer_from_pool(self, call, body):
        """Queues the request for the workers and waits for its outcome,
        marking the record when the client goes meanwhile."""
        with self.cond:
            job = self.pool.submit(call, body)
        if job is None:
            return 503, QUEUE_FULL_BODY
        while True:
            with self.cond:
                if job.done:
                    break
                self.cond.wait(HOLD_POLL_SECONDS)
            if not call.record["client_gone"] and call.handler.client_gone():
                with self.cond:
                    call.record["client_gone"] = True
                    self.cond.notify_all()
        if isinstance(job.outcome, ClientGone) or call.record["client_gone"]:
            raise ClientGone()
        return job.outcome

    def _record(self, handler, body):
        text = body.decode("utf-8", "replace")
        try:
            request = json.loads(text)
        except ValueError:
            request = None
        if not isinstance(request, dict):
            request = {}
        params = request.get("params")
        first = params[0] if isinstance(params, list) and params else None
        longpollid = first.get("longpollid") if isinstance(first, dict) else None
        with self.cond:
            record = {
                "seq": len(self.requests),
                "path": handler.path,
                "headers": [[k, v] for k, v in handler.headers.items()],
                "body": text,
                "body_hex": body.hex(),
                "id": request.get("id"),
                "method": request.get("method"),
                "params": params,
                "longpollid": longpollid,
                "state": "received",
                "status": None,
                "response": None,
                "client_gone": False,
            }
            self.requests.append(record)
            self.cond.notify_all()
        return record

    def _set_state(self, record, state):
        with self.cond:
            record["state"] = state
            self.cond.notify_all()

    def _answer(self, call, body):
        """(status, body bytes), or (None, None) to drop the connection."""
        if not self._authorized(call.handler):
            return 401, b""
        rule = self._take_rule(call.record["method"], call.record["longpollid"])
        if rule is not None:
            if "delay_ms" in rule:
                call.delay(int(rule["delay_ms"]) / 1000.0)
            if rule.get("hold"):
                with self.cond:
                    generation = self.generation
                call.hold(lambda: self.generation != generation)
            if rule.get("drop"):
                return None, None
            status, payload = self._scripted(rule, call)
            if payload is not None:
                return status, Truncated(payload) if rule.get("truncate") else payload
        status, payload = self._dispatch(call, body)
        if rule is not None and "status" in rule:
            status = int(rule["status"])
        if rule is not None and rule.get("truncate"):
            payload = Truncated(payload)
        return status, payload

    def _scripted(self, rule, call):
        """(status, body) a rule prescribes, or (status, None) to answer as usual."""
        status = int(rule.get("status", 200))
        if "body" in rule:
            return status, str(rule["body"]).encode("utf-8")
        if "body_hex" in rule:
            return status, bytes.fromhex(rule["body_hex"])
        if "stream_bytes" in rule:
            return status, Streamed(int(rule["stream_bytes"]))
        if "result" in rule or "error" in rule:
            return status, self._envelope(rule.get("result"), rule.get("error"), call.id)
        return status, None

    def _dispatch(self, call, body):
        try:
            request = json.loads(body.decode("utf-8"))
        except ValueError:
            request = None
        if not isinstance(request, dict) or not isinstance(request.get("method"), str):
            return 500, self._envelope(None, {"code": -32700, "message": "Parse error"}, None)
        method = self.methods.get(request["method"])
        if method is None:
            return 404, self._envelope(
                None, {"code": -32601, "message": "Method not found"}, call.id)
        try:
            return 200, self._envelope(method(call), None, call.id)
        except RpcFault as fault:
            return fault.http_status, self._envelope(None, fault.error, call.id)
        except RawResponse as raw:
            return raw.status, raw.body

    @staticmethod
    def _envelope(result, error, request_id):
        text = json.dumps({"result": result, "error": error, "id": request_id},
                          separators=(",", ":"))
        return text.encode("utf-8")

    def _authorized(self, handler):
        with self.cond:
            auth = self.auth
        if auth is None:
            return True
        token = base64.b64encode(("%s:%s" % auth).encode("utf-8")).decode("ascii")
        return handler.headers.get("Authorization") == "Basic " + token

    def _take_rule(self, method, longpollid):
        with self.cond:
            for i, rule in enumerate(self.rules):
                if rule.get("plain") and longpollid is not None:
                    continue
                if rule["method"] in ("*", method):
                    if rule["times"] > 0:
                        rule["times"] -= 1
                        if rule["times"] == 0:
                            del self.rules[i]
                    return copy.deepcopy(rule)
        return None

    def _wait_for(self, call, until, timeout, state):
        deadline = None if timeout is None else time.monotonic() + timeout
        if state is not None:
            self._set_state(call.record, state)
        while True:
            with self.cond:
                if until():
                    return True
                if self.closing:
                    raise ClientGone()
                step = HOLD_POLL_SECONDS
                if deadline is not None:
                    remaining = deadline - time.monotonic()
                    if remaining <= 0:
                        return False
                    step = min(step, remaining)
                self.cond.wait(step)
            if call.ends_with_client and call.handler.client_gone():
                raise ClientGone()


def add_server_model_args(parser):
    """The serving model's sizes on a command line, named after the node's
    own settings."""
    parser.add_argument("--rpc-threads", type=int, default=DEFAULT_RPC_THREADS, metavar="N",
                        help="RPC worker threads (default %(default)s; 0: a thread per "
                        "request, given up when its client goes)")
    parser.add_argument("--rpc-work-queue", type=int, default=DEFAULT_WORK_QUEUE, metavar="N",
                        help="requests that may wait for a worker; more get HTTP 503 "
                        "(default %(default)s)")


def serve_until_stopped(node, exit_on_stdin_eof=False):
    """Starts node, prints its URL as the first line of standard output and
    serves until a "shutdown" command, SIGINT/SIGTERM or, when asked, the end
    of standard input (so that it never outlives the process that started it).
    Call from the main thread: it installs the signal handlers.
    """
    node.start()

    def stop_in_background(*_):
        threading.Thread(target=node.stop, daemon=True).start()

    signal.signal(signal.SIGTERM, stop_in_background)
    signal.signal(signal.SIGINT, stop_in_background)
    if exit_on_stdin_eof:
        # Raw reads: a daemon thread blocked inside the buffered reader would
        # make the interpreter abort at exit when the node stops another way.
        def watch_stdin():
            while os.read(sys.stdin.fileno(), 4096):
                pass
            node.stop()
        threading.Thread(target=watch_stdin, daemon=True).start()

    print(node.url, flush=True)
    while node.thread.is_alive():
        node.wait_stopped(0.5)
