#!/usr/bin/python3
"""An HTTPS server on 127.0.0.1 for the tests of the connectivity probe, the program update
and the support files.

Usage: https_server.py --scenario <scenario.json> --folder <folder>

Makes a test certificate authority and a server certificate for 127.0.0.1 and
localhost signed by it, writes the authority's certificate to <folder>/ca.crt,
listens on a port the system picks and writes "<port>\\n" to <folder>/port.txt
(written under another name and renamed). Serves until SIGTERM, until the
process that started it is gone, or until the time limit has passed.

A GET of a path is answered, in this order:
  - by the scenario's "routes" entry for the path, if any;
  - with the file <folder>/www/<path> when it exists (HTTP 200);
  - with an HTML error page and HTTP 404.
A HEAD is answered as the GET would be, without the body. A PUT stores its body (as long as
its Content-Length) as <folder>/www/<path> and is answered 200; a DELETE removes that file
and is answered 204, or 404 when there is none.

Scenario (JSON), every key optional:
  routes                 {path: {"status": 200, "body": "text", "location": "..."}}; body
                         is sent as UTF-8; location, when given, as the Location header
                         (for a redirect: an absolute address or a path on this server).
  cut                    list of paths whose answer announces the full length but
                         stops after half of the body and closes the connection.
  stall                  list of paths whose answer announces the full length, sends
                         the first 16 bytes of the body and then sends nothing more.
  untrusted_certificate  true: the server shows a self-signed certificate that
                         the test authority did not sign.
  certificate_name       a host name: the server's certificate (signed by the test
                         authority) names only it, not 127.0.0.1 or localhost.
  time_limit             seconds after which the server ends by itself (300).

Files the tests read, appended and flushed as things happen:
  requests.txt  one line "<path>\\t<User-Agent>\\t<method>" per request.
"""

import argparse
import http.server
import json
import os
import signal
import ssl
import sys
import threading
import time

from server_process import end_with_parent, write_port
from test_certificates import make_certificates


def make_handler(scenario, folder):
    routes = scenario.get("routes", {})
    cut = set(scenario.get("cut", []))
    stall = set(scenario.get("stall", []))
    www = os.path.realpath(os.path.join(folder, "www"))
    lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, format, *args):
            pass

        def record(self):
            with lock, open(os.path.join(folder, "requests.txt"), "a", encoding="utf-8") as f:
                f.write("%s\t%s\t%s\n" % (self.path, self.headers.get("User-Agent", ""),
                                           self.command))
                f.flush()

        def answer(self, status, body, content_type="application/octet-stream", location=None):
            self.send_response(status)
            if location is not None:
                self.send_header("Location", location)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            if self.path in stall:
                self.end_headers()
                self.wfile.write(body[:16])
                self.wfile.flush()
                time.sleep(float(scenario.get("time_limit", 300)))
                return
            if self.path in cut:
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(body[: len(body) // 2])
                self.wfile.flush()
                self.close_connection = True
                return
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(body)

        def local_file(self):
            local = os.path.realpath(os.path.join(www, self.path.lstrip("/")))
            return local if local.startswith(www + os.sep) else None

        def do_HEAD(self):
            self.do_GET()

        def do_PUT(self):
            self.record()
            body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            local = self.local_file()
            if local is None:
                self.answer(403, b"")
                return
            os.makedirs(os.path.dirname(local), exist_ok=True)
            with open(local, "wb") as f:
                f.write(body)
            self.answer(200, b"")

        def do_DELETE(self):
            self.record()
            local = self.local_file()
            if local is None or not os.path.isfile(local):
                self.answer(404, b"")
                return
            os.remove(local)
            self.answer(204, b"")

        def do_GET(self):
            self.record()
            route = routes.get(self.path)
            if route is not None:
                self.answer(route.get("status", 200), route.get("body", "").encode("utf-8"),
                            "text/html; charset=utf-8", route.get("location"))
                return
            local = os.path.realpath(os.path.join(www, self.path.lstrip("/")))
            if local.startswith(www + os.sep) and os.path.isfile(local):
                with open(local, "rb") as f:
                    self.answer(200, f.read())
                return
            self.answer(404, b"<html><body><h1>404 Not Found</h1></body></html>",
                        "text/html; charset=utf-8")

    return Handler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scenario", required=True)
    parser.add_argument("--folder", required=True)
    args = parser.parse_args()
    with open(args.scenario, encoding="utf-8") as f:
        scenario = json.load(f)
    folder = args.folder
    os.makedirs(os.path.join(folder, "www"), exist_ok=True)

    cert_file, key_file = make_certificates(folder, scenario.get("untrusted_certificate", False),
                                            scenario.get("certificate_name"))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert_file, key_file)

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), make_handler(scenario, folder))
    server.daemon_threads = True
    server.socket = context.wrap_socket(server.socket, server_side=True)
    port = server.server_address[1]

    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    end_with_parent(scenario.get("time_limit", 300), server.shutdown)
    write_port(os.path.join(folder, "port.txt"), port)
    server.serve_forever()
    server.server_close()


if __name__ == "__main__":
    main()
