"""Development tools for qvncpu: a JSON-RPC node double and a block checker."""
