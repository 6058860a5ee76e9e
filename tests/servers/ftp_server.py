#!/usr/bin/python3
"""An FTP / explicit FTPS server on 127.0.0.1 for the upload tests.

Usage: ftp_server.py --scenario <scenario.json> --port-file <file>
                     --command-log <file> [--certificate <file>]

Listens on a port the system picks and writes "<port>\\n" to the port file
once it accepts connections (written under another name and renamed, so a
reader never sees half of it). Serves one user until SIGTERM, until the
process that started it is gone, or until the time limit has passed.

Scenario (JSON), every key optional:
  user, password      the one account; default backup / geheim.
  home                the user's folder (must exist); default the current folder.
  tls                 true: explicit TLS is offered (AUTH TLS, PBSZ, PROT) with a
                      self-signed certificate made at start; false: plain FTP only.
  tls_min_version     null: TLS 1.0 and newer (at OpenSSL security level 0, so that
                      old clients get in); "1.2" / "1.3": nothing older is accepted.
  tls_max_version     null: the newest the library has; "1.1", "1.2": nothing newer
                      is offered (a server stuck on old TLS).
  refuse_auth         true: every AUTH is answered 534, no TLS ever starts.
  refuse_login        true: every PASS is answered 530.
  drop_data_after     n: the data connection of the server's first STOR is cut
                      (reset) after n bytes and the STOR answered 426; every later
                      STOR works.
  drop_data_times     how many STORs, from the first, drop_data_after cuts (1);
                      0: every STOR.
  drop_retr_after     n: the data connection of every RETR is cut (reset) after the
                      server sent n bytes of the file, and the RETR answered 426.
  short_retr          true, with drop_retr_after: the data connection is closed in
                      good order instead and the RETR answered 226, as if the file
                      had ended there (a file that shrank, a broken disk).
  refuse_stor         a reply such as "552 Disk full": every STOR is answered with
                      it and nothing is stored.
  lose_data_after     n: the server's first STOR keeps only its first n bytes but
                      answers 226 as if all had arrived (a broken disk or quota);
                      every later STOR works.
  refuse_dele         true: every DELE is answered 550 and nothing is removed.
  refuse_mlsd         true: MLSD is answered 500, as by a server that does not know it
                      (NLST still lists).
  certificate_authority  true: with tls, the server's certificate is signed by a test
                      authority of its own (for 127.0.0.1 and localhost), written as
                      ca.crt beside the --certificate file; false: self-signed.
  convert_line_ends   true: in TYPE A the stored file has CR LF turned into LF;
                      false (default): bytes are stored as they come in any TYPE.
  permit_foreign_addresses  true: data connections to / from other addresses than
                      the control connection's are accepted.
  time_limit          seconds after which the server ends by itself (300).

The command log gets every command line the server receives, in order, one per
line, flushed per line: "TLS <command>" when it came over a TLS control
connection, "CLEAR <command>" when it came in clear; the argument of PASS is
written as ****.

SIZE answers the byte size of a stored file in TYPE A as well as TYPE I.
With --certificate the server's certificate (PEM, no key) is written there,
for clients that verify the server against it.

Passive data connections may start their TLS handshake before the transfer
command (libcurl does). Active FTPS does not work with Debian 12's curl 7.88:
it sends the data of an active connection in clear after PROT P, which this
server answers with 522; active mode is checked with plain FTP only.
"""

import argparse
import ctypes
import json
import logging
import os
import shutil
import signal
import socket
import struct
import sys
import tempfile
import warnings

from OpenSSL import SSL, crypto
from pyftpdlib.authorizers import AuthenticationFailed, DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler, TLS_DTPHandler, TLS_FTPHandler
from pyftpdlib.servers import FTPServer
from server_process import end_with_parent, write_port
from test_certificates import make_certificates

TLS_VERSIONS = {
    "1.0": SSL.TLS1_VERSION,
    "1.1": SSL.TLS1_1_VERSION,
    "1.2": SSL.TLS1_2_VERSION,
    "1.3": SSL.TLS1_3_VERSION,
}


class Session:
    """What the scenario asks for, and the state shared by all connections."""

    def __init__(self, scenario, command_log):
        self.refuse_auth = bool(scenario.get("refuse_auth", False))
        self.refuse_login = bool(scenario.get("refuse_login", False))
        drop = scenario.get("drop_data_after")
        self.drop_data_after = None if drop is None else int(drop)
        self.drop_data_times = int(scenario.get("drop_data_times", 1))
        retr = scenario.get("drop_retr_after")
        self.drop_retr_after = None if retr is None else int(retr)
        self.short_retr = bool(scenario.get("short_retr", False))
        self.refuse_stor = scenario.get("refuse_stor")
        self.convert_line_ends = bool(scenario.get("convert_line_ends", False))
        lose = scenario.get("lose_data_after")
        self.lose_data_after = None if lose is None else int(lose)
        self.stor_count = 0
        self.refuse_dele = bool(scenario.get("refuse_dele", False))
        self.refuse_mlsd = bool(scenario.get("refuse_mlsd", False))
        self.command_log = open(command_log, "a", encoding="utf-8")

    def record(self, secure, line):
        self.command_log.write(("TLS " if secure else "CLEAR ") + line + "\n")
        self.command_log.flush()


SESSION = None


class Authorizer(DummyAuthorizer):
    def validate_authentication(self, username, password, handler):
        if SESSION.refuse_login:
            raise AuthenticationFailed("Login refused.")
        super().validate_authentication(username, password, handler)


class DataMixin:
    """Data connection: stores TYPE A bytes unchanged unless the scenario
    converts line ends, and cuts the first STOR when the scenario says so."""

    def enable_receiving(self, type, cmd):
        super().enable_receiving(type, cmd)
        convert = self._data_wrapper if SESSION.convert_line_ends else None
        self._data_wrapper = convert
        if cmd == "STOR" and self.cmd_channel.lose_this_stor:
            self.cmd_channel.lose_this_stor = False
            kept_so_far = 0

            def keep_silently(chunk):
                nonlocal kept_so_far
                chunk = chunk[: max(0, SESSION.lose_data_after - kept_so_far)]
                kept_so_far += len(chunk)
                return convert(chunk) if convert else chunk

            self._data_wrapper = keep_silently
            return
        if cmd != "STOR" or not self.cmd_channel.drop_this_stor:
            return
        self.cmd_channel.drop_this_stor = False
        limit = SESSION.drop_data_after
        kept = 0

        def keep_until_limit(chunk):
            nonlocal kept
            if kept >= limit:
                return b""
            chunk = chunk[: limit - kept]
            kept += len(chunk)
            if kept >= limit:
                # After this chunk is written; a later chunk is dropped above.
                self.ioloop.call_later(0, self.cut, _errback=self.handle_error)
            return convert(chunk) if convert else chunk

        self._data_wrapper = keep_until_limit

    def use_sendfile(self):
        # sendfile() goes around send(), where a RETR is cut.
        return SESSION.drop_retr_after is None and super().use_sendfile()

    def send(self, data):
        """A RETR (a data connection that sends a file) is cut once drop_retr_after bytes
        went out: nothing more is sent, and the cut follows in the next turn of the loop."""
        limit = SESSION.drop_retr_after
        if limit is None or self.receive or self.file_obj is None:
            return super().send(data)
        sent_so_far = getattr(self, "retr_sent", 0)
        if sent_so_far >= limit:
            if not getattr(self, "retr_cut", False):
                self.retr_cut = True
                end = self.end_early if SESSION.short_retr else self.cut
                self.ioloop.call_later(0, end, _errback=self.handle_error)
            return 0
        sent = super().send(data[: limit - sent_so_far])
        self.retr_sent = sent_so_far + sent
        return sent

    def end_early(self):
        """Closes the connection in good order and answers 226, as if the file ended here."""
        if self._closed:
            return
        logging.info("ending the data connection early")
        self.producer_fifo.clear()
        self.transfer_finished = True
        self._resp = ("226 Transfer complete.", logging.info)
        self.close()

    def cut(self):
        """Resets the connection without a TLS goodbye, as a broken line would."""
        if self._closed:
            return
        logging.info("cutting the data connection")
        try:
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        self.transfer_finished = False
        self._resp = ("426 Connection closed; transfer aborted.", logging.info)
        self._error = True  # no TLS shutdown: the close goes straight to the socket
        self.close()


class PlainData(DataMixin, DTPHandler):
    pass


class TlsData(DataMixin, TLS_DTPHandler):
    """pyftpdlib closes a data connection that turns readable before its
    transfer command. Clients that secure the data connection right after
    connecting (libcurl does, before it sends STOR) send their ClientHello
    then, so the connection stays readable while its handshake is under way."""

    def readable(self):
        if self._ssl_accepting:
            return True
        return super().readable()


class CommandMixin:
    drop_this_stor = False
    lose_this_stor = False
    auth_failed_timeout = 0  # answer a failed PASS at once
    max_login_attempts = 10

    def secure(self):
        return isinstance(self.socket, SSL.Connection)

    def pre_process_command(self, line, cmd, arg):
        SESSION.record(self.secure(), "PASS ****" if cmd == "PASS" else line)
        return super().pre_process_command(line, cmd, arg)

    def ftp_STOR(self, file, mode="w"):
        if SESSION.refuse_stor:
            self.respond(SESSION.refuse_stor)
            return
        if mode == "w":
            SESSION.stor_count += 1
            self.drop_this_stor = SESSION.drop_data_after is not None and (
                SESSION.drop_data_times == 0 or SESSION.stor_count <= SESSION.drop_data_times)
            self.lose_this_stor = SESSION.stor_count == 1 and SESSION.lose_data_after is not None
        return super().ftp_STOR(file, mode)

    def ftp_DELE(self, path):
        if SESSION.refuse_dele:
            self.respond("550 Permission denied.")
            return
        return super().ftp_DELE(path)

    def ftp_MLSD(self, path):
        if SESSION.refuse_mlsd:
            self.respond("500 Command not understood.")
            return
        return super().ftp_MLSD(path)

    def ftp_SIZE(self, path):
        if self._current_type != "a":
            return super().ftp_SIZE(path)
        # pyftpdlib refuses SIZE in TYPE A; this server answers the stored size.
        self._current_type = "i"
        try:
            return super().ftp_SIZE(path)
        finally:
            self._current_type = "a"


class PlainCommands(CommandMixin, FTPHandler):
    dtp_handler = PlainData


class TlsCommands(CommandMixin, TLS_FTPHandler):
    dtp_handler = TlsData

    def ftp_AUTH(self, line):
        if SESSION.refuse_auth:
            self.respond("534 TLS is not available on this server.")
            return
        super().ftp_AUTH(line)


def make_certificate(folder):
    """A self-signed 2048-bit RSA certificate for 127.0.0.1, valid from a
    minute ago for one day. Returns (certificate file, key file)."""
    key = crypto.PKey()
    key.generate_key(crypto.TYPE_RSA, 2048)
    cert = crypto.X509()
    cert.set_version(2)
    cert.set_serial_number(int.from_bytes(os.urandom(8), "big") >> 1)
    cert.get_subject().CN = "127.0.0.1"
    cert.get_subject().O = "Orvel FTP test server"
    cert.set_issuer(cert.get_subject())
    cert.gmtime_adj_notBefore(-60)
    cert.gmtime_adj_notAfter(24 * 3600)
    cert.set_pubkey(key)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        cert.add_extensions([crypto.X509Extension(b"subjectAltName", False, b"IP:127.0.0.1")])
    cert.sign(key, "sha256")
    cert_file = os.path.join(folder, "server.crt")
    key_file = os.path.join(folder, "server.key")
    with open(cert_file, "wb") as f:
        f.write(crypto.dump_certificate(crypto.FILETYPE_PEM, cert))
    with open(key_file, "wb") as f:
        os.chmod(key_file, 0o600)
        f.write(crypto.dump_privatekey(crypto.FILETYPE_PEM, key))
    return cert_file, key_file


def send_no_session_tickets(context):
    """A TLS 1.3 server sends session tickets after the handshake. A client that only uploads
    never reads them, so its close of the data connection goes out as a reset, and a reset makes
    the kernel throw away what this server has not read yet: a cut file, answered 226 because
    the connection ended. Without tickets the client has nothing unread and closes cleanly.
    pyOpenSSL has no call for it; its context lives in the system's libssl, so ask that."""
    libssl = ctypes.CDLL("libssl.so.3")
    libssl.SSL_CTX_set_num_tickets.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    libssl.SSL_CTX_set_num_tickets.restype = ctypes.c_int
    pointer = int(SSL._ffi.cast("uintptr_t", context._context))
    if libssl.SSL_CTX_set_num_tickets(pointer, 0) != 1:
        raise RuntimeError("cannot switch session tickets off")


def tls_context(scenario, cert_file, key_file):
    context = SSL.Context(SSL.TLS_SERVER_METHOD)
    send_no_session_tickets(context)
    context.use_certificate_chain_file(cert_file)
    context.use_privatekey_file(key_file)
    context.set_options(SSL.OP_NO_COMPRESSION)
    lowest = scenario.get("tls_min_version")
    if lowest is None:
        # TLS 1.0 and 1.1 need security level 0 in OpenSSL 3.
        context.set_cipher_list(b"DEFAULT:@SECLEVEL=0")
        context.set_min_proto_version(SSL.TLS1_VERSION)
    else:
        context.set_min_proto_version(TLS_VERSIONS[str(lowest)])
    highest = scenario.get("tls_max_version")
    if highest is not None:
        context.set_max_proto_version(TLS_VERSIONS[str(highest)])
    return context


def main():
    global SESSION
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scenario", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--command-log", required=True)
    parser.add_argument("--certificate")
    args = parser.parse_args()
    with open(args.scenario, encoding="utf-8") as f:
        scenario = json.load(f)

    logging.basicConfig(
        stream=sys.stderr, level=logging.INFO, format="%(asctime)s ftp_server: %(message)s"
    )
    SESSION = Session(scenario, args.command_log)

    authorizer = Authorizer()
    authorizer.add_user(
        scenario.get("user", "backup"),
        scenario.get("password", "geheim"),
        scenario.get("home") or os.getcwd(),
        perm="elradfmwMT",
    )

    key_folder = None
    if scenario.get("tls", False):
        key_folder = tempfile.mkdtemp(prefix="ftp_server_tls_")
        if scenario.get("certificate_authority", False):
            cert_file, key_file = make_certificates(key_folder)
            if args.certificate:
                shutil.copyfile(os.path.join(key_folder, "ca.crt"),
                                os.path.join(os.path.dirname(args.certificate), "ca.crt"))
        else:
            cert_file, key_file = make_certificate(key_folder)
        if args.certificate:
            shutil.copyfile(cert_file, args.certificate)
        handler = TlsCommands
        handler.ssl_context = tls_context(scenario, cert_file, key_file)
    else:
        handler = PlainCommands
    handler.authorizer = authorizer
    handler.permit_foreign_addresses = bool(scenario.get("permit_foreign_addresses", False))
    handler.banner = "Orvel test FTP server ready."

    def leave(signum, frame):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, leave)
    signal.signal(signal.SIGALRM, leave)
    signal.alarm(int(scenario.get("time_limit", 300)))
    end_with_parent()

    server = FTPServer(("127.0.0.1", 0), handler)
    try:
        write_port(args.port_file, server.address[1])
        server.serve_forever(timeout=1.0)
    finally:
        server.close_all()
        SESSION.command_log.close()
        if key_folder:
            shutil.rmtree(key_folder, ignore_errors=True)


if __name__ == "__main__":
    main()
