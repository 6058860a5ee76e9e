#!/usr/bin/python3
"""A TCP proxy on 127.0.0.1 that delays each direction by half the given round trip, without
limiting the throughput (every chunk waits its time, many chunks are under way). Stands in for
a slow line where tc netem is not available.

Usage: delay_proxy.py --target-port P --rtt-ms N --port-file FILE
"""

import argparse
import asyncio
import os
import time


async def pump(reader, writer, delay):
    queue = asyncio.Queue()

    async def send():
        while True:
            due, data = await queue.get()
            if data is None:
                break
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            writer.write(data)
            await writer.drain()
        try:
            writer.write_eof()
        except OSError:
            pass

    sender = asyncio.create_task(send())
    while True:
        data = await reader.read(256 * 1024)
        if not data:
            break
        queue.put_nowait((time.monotonic() + delay, data))
    queue.put_nowait((0, None))
    await sender


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--target-port", type=int, required=True)
    parser.add_argument("--rtt-ms", type=float, required=True)
    parser.add_argument("--port-file", required=True)
    args = parser.parse_args()
    delay = args.rtt_ms / 2000.0

    async def handle(client_reader, client_writer):
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1",
                                                                     args.target_port)
        await asyncio.gather(pump(client_reader, server_writer, delay),
                             pump(server_reader, client_writer, delay),
                             return_exceptions=True)
        client_writer.close()
        server_writer.close()

    server = await asyncio.start_server(handle, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    with open(args.port_file + ".tmp", "w") as f:
        f.write("%d\n" % port)
    os.replace(args.port_file + ".tmp", args.port_file)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
