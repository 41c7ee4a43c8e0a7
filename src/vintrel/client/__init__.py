"""A pooled HTTP/1.1 and HTTP/2 client.

The protocol policy lives in sans-IO client connections
(``H1ClientConnection``, ``H2ClientConnection``: bytes in, events and bytes
out) built on the same layer as the server's; asyncio glue, a pool per
origin and ``Client`` drive them.
"""
