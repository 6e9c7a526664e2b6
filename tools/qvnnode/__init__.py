"""Development tools for qvncpu: a JSON-RPC node double, a development node
with a small chain behind it (qvnnode.devnode) and a block checker."""
