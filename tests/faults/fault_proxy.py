#!/usr/bin/python3
"""A TCP proxy on 127.0.0.1 that passes a connection through to one target and breaks it on
command, the way a night's line breaks.

Usage: fault_proxy.py --target <port> --folder <folder> [--fault <json>]

Listens on a port the system picks, writes "<port>\\n" to <folder>/port.txt and relays every
connection it accepts to 127.0.0.1:<target>. Ends on SIGTERM or when the process that started it
is gone.

Fault (JSON), every key optional:
  mode         "pass" (default), "cut" (both sides closed with a reset), "stall" (nothing more
               is relayed in either direction; the connection stays open), "refuse" (the
               connection is closed at once, before anything is relayed).
  direction    "up" (client to server, default) or "down": whose bytes are counted.
  after        bytes relayed in that direction before the fault strikes (0).
  after_text   instead of a count: the fault strikes once this text has passed in that
               direction (the text itself is still relayed).
  connections  which connections get the fault, counted from 1: a list, or "all" (default).
  delay        seconds every chunk waits before it is relayed (in both directions).
  listen_for   n: the proxy stops listening once it has accepted n connections; later ones are
               refused by the system, as by a server that went down.

Files the driver reads, appended as things happen:
  events.txt   "open <n>", "fault <n> <mode>", "close <n>" per connection; "stopped listening".
The driver asks whether connections are left open by reading the difference of open and close.
"""

import argparse
import json
import os
import selectors
import signal
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "servers"))
from server_process import end_with_parent, write_port  # noqa: E402


class Relay(threading.Thread):
    def __init__(self, number, client, target, fault, events):
        super().__init__(daemon=True)
        self.number = number
        self.client = client
        self.target = target
        self.fault = fault
        self.events = events
        self.counted = {"up": 0, "down": 0}
        self.seen = {"up": b"", "down": b""}

    def applies(self):
        chosen = self.fault.get("connections", "all")
        return self.fault.get("mode", "pass") != "pass" and (
            chosen == "all" or self.number in chosen)

    def strikes(self, direction, chunk):
        """How many bytes of the chunk pass before the fault strikes; None: it does not."""
        if not self.applies() or direction != self.fault.get("direction", "up"):
            return None
        text = self.fault.get("after_text")
        if text is not None:
            text = text.encode()
            window = self.seen[direction] + chunk
            at = window.find(text)
            self.seen[direction] = window[-len(text):]
            if at < 0:
                return None
            return max(0, at + len(text) - (len(window) - len(chunk)))
        limit = int(self.fault.get("after", 0))
        left = limit - self.counted[direction]
        return left if left < len(chunk) or (left == 0 and limit == 0) else None

    def run(self):
        self.events("open %d" % self.number)
        server = None
        try:
            if self.applies() and self.fault.get("mode") == "refuse":
                self.events("fault %d refuse" % self.number)
                self.reset(self.client)
                return
            server = socket.create_connection(("127.0.0.1", self.target))
            self.relay(server)
        except OSError:
            pass
        finally:
            for s in (self.client, server):
                if s is not None:
                    try:
                        s.close()
                    except OSError:
                        pass
            self.events("close %d" % self.number)

    @staticmethod
    def reset(s):
        try:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            s.close()
        except OSError:
            pass

    def relay(self, server):
        sel = selectors.DefaultSelector()
        sel.register(self.client, selectors.EVENT_READ, ("up", server))
        sel.register(server, selectors.EVENT_READ, ("down", self.client))
        delay = float(self.fault.get("delay", 0))
        stalled = False
        if self.applies() and self.fault.get("after_text") is None and \
                int(self.fault.get("after", 0)) == 0 and self.fault.get("mode") == "cut":
            self.events("fault %d cut" % self.number)
            self.reset(self.client)
            self.reset(server)
            return
        while True:
            if stalled:
                # Hold both ends open and relay nothing until one of them gives up.
                for key, _ in sel.select(timeout=1.0):
                    try:
                        if not key.fileobj.recv(65536):
                            return
                    except OSError:
                        return
                continue
            for key, _ in sel.select(timeout=1.0):
                direction, other = key.data
                try:
                    chunk = key.fileobj.recv(65536)
                except OSError:
                    return
                if not chunk:
                    try:
                        other.shutdown(socket.SHUT_WR)
                    except OSError:
                        return
                    sel.unregister(key.fileobj)
                    if not sel.get_map():
                        return
                    continue
                if delay:
                    time.sleep(delay)
                passing = self.strikes(direction, chunk)
                part = chunk if passing is None else chunk[:passing]
                try:
                    if part:
                        other.sendall(part)
                except OSError:
                    return
                self.counted[direction] += len(part)
                if passing is None:
                    continue
                mode = self.fault.get("mode")
                self.events("fault %d %s" % (self.number, mode))
                if mode == "cut":
                    self.reset(self.client)
                    self.reset(server)
                    return
                stalled = True
                break


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--target", type=int, required=True)
    parser.add_argument("--folder", required=True)
    parser.add_argument("--fault", default="{}")
    args = parser.parse_args()
    fault = json.loads(args.fault)

    lock = threading.Lock()
    log = open(os.path.join(args.folder, "events.txt"), "a", encoding="ascii")

    def events(line):
        with lock:
            log.write(line + "\n")
            log.flush()

    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    end_with_parent()
    write_port(os.path.join(args.folder, "port.txt"), listener.getsockname()[1])
    number = 0
    listen_for = fault.get("listen_for")
    while listen_for is None or number < listen_for:
        client, _ = listener.accept()
        number += 1
        Relay(number, client, args.target, fault, events).start()
    listener.close()
    events("stopped listening")
    threading.Event().wait()  # the accepted connections go on


if __name__ == "__main__":
    main()
