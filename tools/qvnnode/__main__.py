"""Runs the node double: python3 -m qvnnode --port 0 (see qvnnode.server).

The first line on standard output is the node's URL. It serves until a
"shutdown" control command, SIGINT/SIGTERM, or, with --exit-on-stdin-eof,
until standard input closes (so it never outlives a test that started it).
"""

import argparse
import json
import sys

from qvnnode.server import NodeDouble, add_server_model_args, serve_until_stopped


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="qvnnode", description=__doc__)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--user", help="require HTTP Basic authentication")
    parser.add_argument("--password", default="")
    parser.add_argument("--template-file", help="JSON file with the first template")
    parser.add_argument("--exit-on-stdin-eof", action="store_true")
    add_server_model_args(parser)
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    template = None
    if args.template_file:
        with open(args.template_file, encoding="utf-8") as f:
            template = json.load(f)
    node = NodeDouble(host=args.host, port=args.port, template=template,
                      user=args.user, password=args.password, rpc_threads=args.rpc_threads,
                      work_queue=args.rpc_work_queue)
    serve_until_stopped(node, args.exit_on_stdin_eof)
    return 0


if __name__ == "__main__":
    sys.exit(main())
