#!/usr/bin/python3
"""The benchmark's peer: a plain asyncio + websockets bridge doing the service's fan-out job.

It subscribes once to a port's stream upstream and sends every message it gets, unchanged,
to all its own WebSocket clients (websockets.broadcast). Prints "listening on
http://127.0.0.1:PORT/" once it accepts clients, as qelscaled does.

Usage: ws_bridge.py UPSTREAM_URL   (e.g. ws://127.0.0.1:8778/v1/stream?port=COM1)
"""
import asyncio
import sys

import websockets

clients = set()


async def serve_client(websocket, path=None):
    clients.add(websocket)
    try:
        await websocket.wait_closed()
    finally:
        clients.discard(websocket)


async def main(upstream_url):
    server = await websockets.serve(serve_client, "127.0.0.1", 0, max_queue=64)
    port = server.sockets[0].getsockname()[1]
    print("listening on http://127.0.0.1:%d/" % port, flush=True)
    async with websockets.connect(upstream_url) as upstream:
        async for message in upstream:
            websockets.broadcast(clients, message)


if __name__ == "__main__":
    try:
        asyncio.run(main(sys.argv[1]))
    except KeyboardInterrupt:
        pass
