#!/usr/bin/env python3
"""A TCP relay on 127.0.0.1 in front of another server, that cuts chosen connections in the
middle of what the client sends (TLS passes through untouched).

Scenario (JSON):
  target_port       the port of the server on 127.0.0.1 the connections are relayed to
  cut_after_bytes   a chosen connection is closed both ways once the client sent this many bytes
  cut_connections   the numbers of the connections to cut, counted from 1 in accepting order
                    (e.g. [2]: only the second); missing: every connection

Each connection appends "<number> cut" or "<number> whole" to <folder>/connections.txt when it
ends. The port goes to <folder>/port.txt.
"""

import argparse
import asyncio
import json
import os

from server_process import end_with_parent, write_port


class Relay:
    def __init__(self, scenario, folder):
        self.target = scenario["target_port"]
        self.cut_after = scenario.get("cut_after_bytes", 0)
        self.chosen = scenario.get("cut_connections")
        self.log = os.path.join(folder, "connections.txt")
        self.count = 0

    async def handle(self, reader, writer):
        self.count += 1
        number = self.count
        cut = self.chosen is None or number in self.chosen
        try:
            up_reader, up_writer = await asyncio.open_connection("127.0.0.1", self.target)
        except OSError:
            writer.close()
            return
        state = {"cut": False}

        async def upstream():
            sent = 0
            while True:
                data = await reader.read(65536)
                if not data:
                    break
                if cut and sent + len(data) >= self.cut_after:
                    up_writer.write(data[: max(0, self.cut_after - sent)])
                    state["cut"] = True
                    break
                sent += len(data)
                up_writer.write(data)
                await up_writer.drain()

        async def downstream():
            while True:
                data = await up_reader.read(65536)
                if not data:
                    break
                writer.write(data)
                await writer.drain()

        tasks = [asyncio.ensure_future(upstream()), asyncio.ensure_future(downstream())]
        try:
            await asyncio.wait(tasks, return_when=asyncio.FIRST_COMPLETED)
        except ConnectionError:
            pass
        for t in tasks:
            t.cancel()
        for w in (writer, up_writer):
            try:
                if state["cut"]:
                    w.transport.abort()
                else:
                    w.close()
            except Exception:
                pass
        with open(self.log, "a") as f:
            f.write("%d %s\n" % (number, "cut" if state["cut"] else "whole"))


async def serve(scenario, folder):
    relay = Relay(scenario, folder)
    server = await asyncio.start_server(relay.handle, "127.0.0.1", 0)
    write_port(os.path.join(folder, "port.txt"), server.sockets[0].getsockname()[1])
    async with server:
        await server.serve_forever()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scenario", required=True)
    parser.add_argument("--folder", required=True)
    args = parser.parse_args()
    with open(args.scenario) as f:
        scenario = json.load(f)
    end_with_parent()
    asyncio.run(serve(scenario, args.folder))


if __name__ == "__main__":
    main()
