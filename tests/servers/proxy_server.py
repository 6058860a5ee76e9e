#!/usr/bin/env python3
"""A proxy for the tests, on 127.0.0.1: SOCKS 4/4a, SOCKS 5 or HTTP CONNECT.

Scenario (JSON):
  kind       "socks4", "socks5", "http", or "silent" (takes the connection, never answers)
  user       the user name the proxy wants (SOCKS 4: the user id it checks), "" for none
  password   the password it wants (SOCKS 5, HTTP)
  refuse     true: every connection request is refused
  delay_ms   the round trip the proxy adds to relayed data (half each way), without limiting
             how much is under way
  coalesce   true: the proxy's answer and the server's greeting go out in one packet, and the
             answer is an unusual one (SOCKS 5: its bound address as a name; HTTP: "201" with
             another header line)

Each request is appended to <folder>/requests.txt as one line:
  <kind> <host>:<port> <user>
where <host> is the name or address the client sent. Accepted requests are relayed both ways.
The port goes to <folder>/port.txt.
"""

import argparse
import asyncio
import base64
import ipaddress
import json
import os
import socket
from server_process import end_with_parent, write_port


class Proxy:
    def __init__(self, scenario, folder):
        self.kind = scenario["kind"]
        self.user = scenario.get("user", "")
        self.password = scenario.get("password", "")
        self.refuse = scenario.get("refuse", False)
        self.coalesce = scenario.get("coalesce", False)
        self.delay = scenario.get("delay_ms", 0) / 2000.0
        self.log = os.path.join(folder, "requests.txt")

    def record(self, host, port, user):
        with open(self.log, "a") as f:
            f.write("%s %s:%d %s\n" % (self.kind, host, port, user))

    async def handle(self, reader, writer):
        try:
            target = await getattr(self, self.kind)(reader, writer)
            if target is None:
                return
            host, port, upstream_reader, upstream_writer = target
            try:
                await asyncio.gather(relay(reader, upstream_writer, self.delay),
                                     relay(upstream_reader, writer, self.delay))
            finally:
                upstream_writer.close()
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        finally:
            writer.close()

    async def open(self, host, port):
        if self.refuse:
            return None
        try:
            return await asyncio.open_connection(host, port)
        except OSError:
            return None

    async def socks4(self, reader, writer):
        head = await reader.readexactly(8)
        port = int.from_bytes(head[2:4], "big")
        user = (await reader.readuntil(b"\0"))[:-1].decode()
        host = socket.inet_ntoa(head[4:8])
        if head[4:7] == b"\0\0\0" and head[7] != 0:  # SOCKS 4a: the name follows
            host = (await reader.readuntil(b"\0"))[:-1].decode()
        self.record(host, port, user)
        upstream = None
        if head[0] == 4 and head[1] == 1 and (not self.user or user == self.user):
            upstream = await self.open(host, port)
        writer.write(bytes([0, 90 if upstream else 91]) + b"\0" * 6)
        await writer.drain()
        return (host, port) + upstream if upstream else None

    async def socks5(self, reader, writer):
        head = await reader.readexactly(2)
        methods = await reader.readexactly(head[1])
        wanted = 2 if self.user else 0
        if head[0] != 5 or wanted not in methods:
            writer.write(b"\x05\xff")
            await writer.drain()
            return None
        writer.write(bytes([5, wanted]))
        await writer.drain()
        user = ""
        if wanted == 2:
            version, length = await reader.readexactly(2)
            user = (await reader.readexactly(length)).decode()
            length = (await reader.readexactly(1))[0]
            password = (await reader.readexactly(length)).decode()
            good = user == self.user and password == self.password
            writer.write(b"\x01" + (b"\x00" if good else b"\x01"))
            await writer.drain()
            if not good:
                self.record("-", 0, user)
                return None
        version, command, _, kind = await reader.readexactly(4)
        if kind == 1:
            host = socket.inet_ntoa(await reader.readexactly(4))
        elif kind == 4:
            host = str(ipaddress.IPv6Address(await reader.readexactly(16)))
        else:
            length = (await reader.readexactly(1))[0]
            host = (await reader.readexactly(length)).decode()
        port = int.from_bytes(await reader.readexactly(2), "big")
        self.record(host, port, user)
        upstream = await self.open(host, port) if command == 1 else None
        if upstream and self.coalesce:
            name = b"proxy.test"
            await self.answer(writer, upstream,
                              bytes([5, 0, 0, 3, len(name)]) + name + b"\x04\xd2")
        else:
            writer.write(bytes([5, 0 if upstream else 5, 0, 1]) + b"\0" * 6)
            await writer.drain()
        return (host, port) + upstream if upstream else None

    async def answer(self, writer, upstream, reply):
        """Sends the reply together with the server's greeting line in one write."""
        greeting = await upstream[0].readline()
        writer.write(reply + greeting)
        await writer.drain()

    async def silent(self, reader, writer):
        while await reader.read(4096):
            pass
        return None

    async def http(self, reader, writer):
        request = (await reader.readuntil(b"\r\n\r\n")).decode("latin-1")
        lines = request.split("\r\n")
        method, target, _ = lines[0].split(" ", 2)
        host, _, port = target.rpartition(":")
        host = host.strip("[]")
        user = ""
        for line in lines[1:]:
            name, _, value = line.partition(":")
            if name.lower() == "proxy-authorization":
                scheme, _, token = value.strip().partition(" ")
                user, _, password = base64.b64decode(token).decode().partition(":")
                if password != self.password:
                    user = "!" + user
        self.record(host, int(port), user)
        if self.user and user != self.user:
            writer.write(b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                         b"Proxy-Authenticate: Basic realm=\"test\"\r\nContent-Length: 0\r\n\r\n")
            await writer.drain()
            return None
        upstream = await self.open(host, int(port)) if method == "CONNECT" else None
        if not upstream:
            writer.write(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n")
            await writer.drain()
            return None
        if self.coalesce:
            await self.answer(writer, upstream, b"HTTP/1.1 201 Tunnel open\r\n"
                              b"Proxy-Agent: test\r\n\r\n")
        else:
            writer.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
            await writer.drain()
        return (host, int(port)) + upstream


async def relay(reader, writer, delay=0.0):
    queue = asyncio.Queue()

    async def send():
        while True:
            due, data = await queue.get()
            if data is None:
                return
            wait = due - asyncio.get_running_loop().time()
            if wait > 0:
                await asyncio.sleep(wait)
            writer.write(data)
            await writer.drain()

    sender = asyncio.create_task(send())
    try:
        while True:
            data = await reader.read(65536)
            if not data:
                break
            queue.put_nowait((asyncio.get_running_loop().time() + delay, data))
    except ConnectionError:
        pass
    finally:
        queue.put_nowait((0, None))
        try:
            await sender
        except ConnectionError:
            pass
        try:
            writer.write_eof()
        except (OSError, RuntimeError):
            pass


async def serve(scenario, folder):
    proxy = Proxy(scenario, folder)
    server = await asyncio.start_server(proxy.handle, "127.0.0.1", 0)
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
