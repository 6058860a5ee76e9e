#!/usr/bin/python3
"""An SMTP server with implicit TLS and AUTH LOGIN on 127.0.0.1 for the report mail tests.

Usage: smtp_server.py --scenario <scenario.json> --folder <folder>

Makes a test certificate authority and a server certificate for 127.0.0.1 and
localhost signed by it, writes the authority's certificate to <folder>/ca.crt,
listens on a port the system picks and writes "<port>\\n" to <folder>/port.txt
once it accepts connections (written under another name and renamed, so a
reader never sees half of it). The TLS handshake starts as soon as a client
connects, before the greeting. Serves until SIGTERM, until the process that
started it is gone, or until the time limit has passed.

Scenario (JSON), every key optional:
  user, password        the one account; default report / geheim.
  refuse_login          true: every AUTH is answered 535.
  refuse_recipients     list of addresses that RCPT TO answers with 550.
  untrusted_certificate true: the server shows a self-signed certificate that
                        the test authority did not sign.
  certificate_for       a host name: the certificate names only it, not 127.0.0.1
                        or localhost (a server that is not the one asked for).
  tls_max_version       "1.1": nothing newer is offered (a server stuck on old TLS).
  time_limit            seconds after which the server ends by itself (300).

Files the tests read, each appended and flushed as things happen:
  connections.txt  one line "CONNECT" per accepted TCP connection.
  commands.txt     every command line received, in order; AUTH data is not written.
  messages.jsonl   one JSON object per accepted message:
                   mail_from, rcpt_tos, raw (the message bytes as received after
                   un-stuffing, Latin-1 decoded so that every byte survives),
                   and the message as Python's mail parser reads it:
                   subject, from_name, from_address, to (list of [name, address]),
                   content_type, charset, preamble, parts (list of
                   {content_type, charset, text}); texts decoded to Unicode.
"""

import argparse
import asyncio
import email
import email.header
import email.policy
import email.utils
import json
import logging
import os
import signal
import ssl
import sys
import threading
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword
from server_process import end_with_parent, write_port
from test_certificates import make_certificates


def decode_header(value):
    if value is None:
        return None
    return str(email.header.make_header(email.header.decode_header(value)))


def parse_message(raw):
    msg = email.message_from_bytes(raw, policy=email.policy.compat32)
    from_name, from_address = email.utils.parseaddr(msg.get("From", ""))
    from_name = decode_header(from_name)
    to = [[decode_header(n) if n else n, a]
          for n, a in email.utils.getaddresses(msg.get_all("To", []))]
    parts = []
    if msg.is_multipart():
        for part in msg.get_payload():
            payload = part.get_payload(decode=True) or b""
            charset = part.get_content_charset()
            parts.append({
                "content_type": part.get_content_type(),
                "charset": charset,
                "transfer_encoding": part.get("Content-Transfer-Encoding"),
                "text": payload.decode(charset or "ascii", errors="replace"),
            })
    charset = msg.get_param("charset")
    preamble = msg.preamble
    if preamble is not None:
        # The parser keeps bytes it could not decode as surrogates; they are Latin-1 here.
        preamble = preamble.encode("ascii", "surrogateescape").decode("iso-8859-1")
    return {
        "subject": decode_header(msg.get("Subject")),
        "from_name": from_name,
        "from_address": from_address,
        "to": to,
        "content_type": msg.get_content_type(),
        "charset": charset,
        "preamble": preamble,
        "parts": parts,
    }


class Recorder:
    def __init__(self, folder):
        self.folder = folder
        self.lock = threading.Lock()

    def append(self, name, line):
        with self.lock, open(os.path.join(self.folder, name), "a", encoding="utf-8") as f:
            f.write(line + "\n")
            f.flush()


class Handler:
    def __init__(self, scenario, recorder):
        self.refused = {a.lower() for a in scenario.get("refuse_recipients", [])}
        self.recorder = recorder

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower() in self.refused:
            return "550 5.1.1 <%s>: Recipient address rejected" % address
        envelope.rcpt_tos.append(address)
        return "250 2.1.5 OK"

    async def handle_DATA(self, server, session, envelope):
        raw = envelope.original_content or envelope.content
        record = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "raw": raw.decode("latin-1"),
        }
        try:
            record.update(parse_message(raw))
        except Exception as e:  # the test sees the parse failure instead of a missing mail
            record["parse_error"] = repr(e)
        self.recorder.append("messages.jsonl", json.dumps(record))
        return "250 2.0.0 Ok: queued"


class RecordingSMTP(SMTP):
    """Writes every connection and command line the client sends to the tests' files."""

    recorder = None

    def connection_made(self, transport):
        self.recorder.append("connections.txt", "CONNECT")
        super().connection_made(transport)

    async def smtp_EHLO(self, hostname):
        self.recorder.append("commands.txt", "EHLO " + hostname)
        await super().smtp_EHLO(hostname)

    async def smtp_AUTH(self, arg):
        self.recorder.append("commands.txt", "AUTH " + arg.split(" ")[0])
        await super().smtp_AUTH(arg)

    async def smtp_MAIL(self, arg):
        self.recorder.append("commands.txt", "MAIL " + (arg or ""))
        await super().smtp_MAIL(arg)

    async def smtp_RCPT(self, arg):
        self.recorder.append("commands.txt", "RCPT " + (arg or ""))
        await super().smtp_RCPT(arg)

    async def smtp_DATA(self, arg):
        self.recorder.append("commands.txt", "DATA")
        await super().smtp_DATA(arg)

    async def smtp_QUIT(self, arg):
        self.recorder.append("commands.txt", "QUIT")
        await super().smtp_QUIT(arg)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scenario", required=True)
    parser.add_argument("--folder", required=True)
    args = parser.parse_args()
    with open(args.scenario, encoding="utf-8") as f:
        scenario = json.load(f)

    logging.basicConfig(level=logging.ERROR, stream=sys.stderr)
    warnings.simplefilter("ignore")
    folder = args.folder
    recorder = Recorder(folder)
    RecordingSMTP.recorder = recorder

    cert_file, key_file = make_certificates(folder, scenario.get("untrusted_certificate", False),
                                            scenario.get("certificate_for"))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert_file, key_file)
    if scenario.get("tls_max_version") == "1.1":
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
        context.minimum_version = ssl.TLSVersion.TLSv1
        context.maximum_version = ssl.TLSVersion.TLSv1_1
    else:
        context.minimum_version = ssl.TLSVersion.TLSv1_2

    user = scenario.get("user", "report").encode()
    password = scenario.get("password", "geheim").encode()
    refuse_login = scenario.get("refuse_login", False)

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (not refuse_login and isinstance(auth_data, LoginPassword)
              and auth_data.login == user and auth_data.password == password)
        return AuthResult(success=ok, handled=False)

    handler = Handler(scenario, recorder)

    def factory():
        # Every connection is TLS from its first byte, so AUTH needs no STARTTLS first.
        return RecordingSMTP(handler, hostname="mail.test", authenticator=authenticator,
                             auth_require_tls=False, auth_required=True, timeout=60)

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    server = loop.run_until_complete(
        loop.create_server(factory, host="127.0.0.1", port=0, ssl=context))
    port = server.sockets[0].getsockname()[1]
    write_port(os.path.join(folder, "port.txt"), port)

    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    end_with_parent(scenario.get("time_limit", 300), lambda: loop.call_soon_threadsafe(loop.stop))
    loop.run_forever()
    server.close()


if __name__ == "__main__":
    main()
