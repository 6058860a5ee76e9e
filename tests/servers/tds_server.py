#!/usr/bin/python3
"""A stand-in for Microsoft SQL Server that speaks TDS 7.0-7.4 on 127.0.0.1.

Usage: tds_server.py --scenario <scenario.json> [--port 0]

Prints "PORT <n>" once it accepts connections and serves every connection in
a thread of its own until it is terminated (SIGTERM, or the parent process
going away). Without the scenario's "encryption" it has no TLS: PRELOGIN is
answered with ENCRYPT_NOT_SUP and a client that demands encryption is
disconnected. Every LOGIN7 that arrives is logged with how it came ("LOGIN7
received over TLS" or "LOGIN7 received in the clear"), so a test can tell that
a password never crossed in the clear, or never arrived at all.

Scenario (JSON), every key optional:
  encryption   the ENCRYPTION option of the PRELOGIN answer, as SQL Server sets it:
                 not_sup   (default) no TLS; a client that requires it is refused
                 off       TLS offered: a client that asks for encryption gets it for
                           the whole connection, one that says ENCRYPT_OFF too gets the
                           LOGIN7 packet alone encrypted and the rest in the clear
                 on, req   the whole connection encrypted; a client without TLS is
                           disconnected
               TLS runs as TDS 7.x has it: the handshake's records inside PRELOGIN
               packets (type 0x12), then TLS records on the socket carrying the TDS
               packets. TLS 1.2, as SQL Server speaks it with TDS 7.x.
  tls_folder   where the certificates are made (test_certificates.py): the test
               authority in ca.crt, the server's certificate and key beside it;
               made also for a server without TLS, so a client can name ca.crt.
  certificate  {"untrusted": true} a certificate signed by itself, no authority's;
               {"only_name": "host"} one that names only that host, not
               127.0.0.1 or localhost. Default: signed by ca.crt, for 127.0.0.1
               and localhost.
  listen       the loopback address to listen on (127.0.0.1); another one such as
               127.0.0.2 stands for a server on another machine.
  logins       {login: password}; default {"sa": "geheim"}. Login names are
               case-insensitive, passwords are not.
  databases    {name: {...}}, besides master:
                 recovery_model            FULL | SIMPLE | BULK_LOGGED (default FULL)
                 files                     rows of sys.database_files: file_id, type,
                                           name, size; optional physical_name,
                                           max_size, growth
                 backup_bytes              payload of a full backup set (65536)
                 log_backup_bytes          payload of a log backup set (8192)
                 backup_bytes_per_second   throttles writing backup sets (0 = no limit)
                 verify_fails              RESTORE VERIFYONLY finds its backup sets damaged
  fail         [{match, number, severity, message, state?, disconnect?}]: the
               first rule whose match is a substring of a batch answers it
               with that error instead; severity <= 10 sends it as an
               informational message and runs the batch; severity >= 20 closes
               the connection after the error; disconnect: true drops the
               connection without an answer.
  delay        [{match, seconds}]: waits before answering every batch that
               the rule matches (first matching rule); a cancel (attention)
               ends the wait and the batch.
  login_delay  seconds before the LOGIN7 answer.
  ignore_cancel  true: attention packets are dropped unanswered, like a frozen
               server or a connection that went half-open.
  server_name  the server name in messages and @@servername (SQLTEST).
  batch_log    a file that receives every batch text as one JSON string per line.
  disk_folders {folder as the server names it: local folder}: a backup device
               under such a folder is written into the local folder instead
               (a container's volume, a Windows server's share mounted here).
               A restored database file under such a folder gets an empty
               placeholder file there, removed again by DROP DATABASE or a
               restore WITH REPLACE over it; a restore into a folder missing
               there fails with 5133 + 3156 per file, 3119 and 3013. Files
               elsewhere are only recorded in the catalog.
  default_data_path  SERVERPROPERTY('InstanceDefaultDataPath') and the folder of
               the data files of the scenario's databases (/var/opt/mssql/data/).
  default_log_path   SERVERPROPERTY('InstanceDefaultLogPath') and the folder of
               their log files (default_data_path).
  checkdb_corrupt    [database name]: DBCC CHECKDB of such a database, also one
               created by a restore, reports error 8939 and one consistency
               error, WITH NO_INFOMSGS too.

Restores. The catalog is the server's, shared by all connections and changed
by RESTORE DATABASE, RESTORE LOG and DROP DATABASE. Every backup set records
the database's files, recovery model, family GUID and LSNs (see tds_backup.py)
and a digest of its bytes; RESTORE DATABASE and LOG take a media file only
when every set in it still matches its digest, else 3241 + 3013 ("The media
family on device '<path>' is incorrectly formed...", "RESTORE DATABASE is
terminating abnormally."); RESTORE VERIFYONLY says 3241 for a set this server
did not write and 3189 ("Damage to the backup set was detected.") for one whose
bytes changed, each with 3013. FILELISTONLY and HEADERONLY answer SQL Server's
columns (LogicalName, PhysicalName, Type D/L, FileGroupName, Size and MaxSize
in bytes, FileId, ...; BackupType 1 full / 2 log, Position, DatabaseName,
FirstLSN, LastLSN, BackupStartDate, BackupFinishDate, RecoveryModel, ...).
RESTORE DATABASE [t] ... WITH FILE, MOVE, NORECOVERY | RECOVERY, REPLACE,
STATS creates t in state RESTORING or ONLINE, and refuses: an existing t of
another database without REPLACE (3154), the backed-up database itself in the
FULL or BULK_LOGGED model without REPLACE (3159, tail of the log), a file that
another database uses (1834 + 3156 per file, then 3119), a MOVE of a logical
name the set lacks (3234), a log set (3135), FILE past the last set (4038).
RESTORE LOG needs t RESTORING (else 3117) and a set whose FirstLSN is at most
the LSN restored so far (else 4305) and whose LastLSN is past it (else 4326).
RESTORE DATABASE [t] WITH RECOVERY alone brings t online. A RESTORING database
cannot be used (927 for USE, DBCC CHECKDB, BACKUP, ALTER). ALTER DATABASE [t]
SET SINGLE_USER | RESTRICTED_USER | MULTI_USER [WITH ROLLBACK ...] is shown
in sys.databases.user_access_desc, SET RECOVERY <model> in
recovery_model_desc; an unknown t gives 5011 + 5069. DROP DATABASE [IF EXISTS]
removes databases; an unknown one gives 3701, master 3708, the session's own
3702. SERVERPROPERTY('...') answers sql_variant and DB_ID(N'...') an int,
NULL for an unknown name; CAST(<either> AS nvarchar(n) | sysname | int ...)
turns them into that type.
"""

import argparse
import json
import os
import queue
import signal
import socket
import ssl
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tds_backup  # noqa: E402
import tds_sql  # noqa: E402
import tds_tokens as t  # noqa: E402
from server_process import end_with_parent  # noqa: E402
from test_certificates import make_certificates  # noqa: E402

LOGIN_PACKET_SIZE = 4096
IO_TIMEOUT = 600  # seconds a half-sent packet may take before the connection is dropped

_log_lock = threading.Lock()


def log(text):
    with _log_lock:
        sys.stderr.write("%s tds_server: %s\n" % (time.strftime("%H:%M:%S"), text))
        sys.stderr.flush()


class Server:
    def __init__(self, scenario):
        self.scenario = scenario
        self.catalog = tds_sql.Catalog(scenario)
        self.logins = {k.lower(): (k, v) for k, v in scenario.get("logins", {"sa": "geheim"}).items()}
        self.fail = scenario.get("fail", [])
        self.delay = scenario.get("delay", [])
        self.login_delay = float(scenario.get("login_delay", 0))
        self.ignore_cancel = bool(scenario.get("ignore_cancel", False))
        self.server_name = scenario.get("server_name", tds_sql.DEFAULT_SERVER_NAME)
        self.batch_log = scenario.get("batch_log")
        self.batch_log_lock = threading.Lock()
        self.next_spid = 51
        self.spid_lock = threading.Lock()
        self.encryption = scenario.get("encryption", "not_sup")
        if self.encryption not in ENCRYPTION_OPTIONS:
            raise ValueError("unknown encryption %r" % self.encryption)
        self.tls_context = None
        folder = scenario.get("tls_folder")
        if self.encryption != "not_sup" and not folder:
            raise ValueError("encryption needs tls_folder")
        if folder:
            certificate = scenario.get("certificate", {})
            cert_file, key_file = make_certificates(folder, bool(certificate.get("untrusted")),
                                                    certificate.get("only_name"))
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.minimum_version = ssl.TLSVersion.TLSv1_2
            context.maximum_version = ssl.TLSVersion.TLSv1_2
            context.load_cert_chain(cert_file, key_file)
            self.tls_context = context

    def record_batch(self, text):
        if not self.batch_log:
            return
        with self.batch_log_lock:
            with open(self.batch_log, "a", encoding="utf-8") as f:
                f.write(json.dumps(text) + "\n")

    def allocate_spid(self):
        with self.spid_lock:
            spid = self.next_spid
            self.next_spid += 1
            return spid


ENCRYPTION_OPTIONS = {"off": t.ENCRYPT_OFF, "on": t.ENCRYPT_ON, "not_sup": t.ENCRYPT_NOT_SUP,
                      "req": t.ENCRYPT_REQ}


class ClientGone(Exception):
    pass


class PlainChannel:
    """The socket as it is."""
    encrypted = False

    def __init__(self, sock):
        self.sock = sock

    def recv(self, n):
        return self.sock.recv(n)

    def sendall(self, data):
        self.sock.sendall(data)


class TlsChannel:
    """TLS records on the socket, through an SSLObject over memory BIOs. The reader thread
    and the conversation use it at once, so every use of the SSLObject holds the lock; the
    socket is waited on outside it."""
    encrypted = True

    def __init__(self, sock, tls, incoming, outgoing):
        self.sock = sock
        self.tls = tls
        self.incoming = incoming
        self.outgoing = outgoing
        self.lock = threading.Lock()

    def _flush(self):
        data = self.outgoing.read()
        if data:
            self.sock.sendall(data)

    def recv(self, n):
        while True:
            with self.lock:
                try:
                    data = self.tls.read(n)
                    self._flush()
                    return data
                except ssl.SSLWantReadError:
                    pass
                except (ssl.SSLZeroReturnError, ssl.SSLEOFError):
                    return b""
            chunk = self.sock.recv(65536)
            with self.lock:
                if not chunk:
                    return b""
                self.incoming.write(chunk)

    def sendall(self, data):
        with self.lock:
            self.tls.write(data)
            self._flush()


class Connection:
    """One client. A reader thread collects whole messages, so that an
    attention packet is seen while a request is still being worked on."""

    def __init__(self, server, sock, peer):
        self.server = server
        self.sock = sock
        self.peer = peer
        self.spid = server.allocate_spid()
        self.messages = queue.Queue()
        self.attention = threading.Event()
        self.closed = threading.Event()
        self.tds_version = t.TDS74
        self.packet_size = LOGIN_PACKET_SIZE
        self.session = None
        # How the bytes go: in the clear, or TLS once the PRELOGIN exchange agreed on it. The
        # reader stops after each PRELOGIN message until the conversation has set it.
        self.channel = PlainChannel(sock)
        self.channel_set = threading.Event()
        self.login_only_tls = False

    # --- reading
    def recv_exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self.channel.recv(n - len(data))
            if not chunk:
                raise ClientGone()
            data += chunk
        return data

    def reader(self):
        try:
            payload, msg_type = b"", None
            while True:
                header = self.recv_exact(t.HEADER.size)
                ptype, status, length, _, _, _ = t.HEADER.unpack(header)
                if length < t.HEADER.size:
                    raise t.ProtocolError("packet length %d" % length)
                body = self.recv_exact(length - t.HEADER.size)
                if ptype == t.PKT_ATTENTION:
                    if self.server.ignore_cancel:
                        log("spid %d: attention ignored as the scenario asks" % self.spid)
                        continue
                    self.attention.set()
                    self.messages.put((t.PKT_ATTENTION, 0, b""))
                    continue
                if msg_type is None:
                    msg_type, first_status = ptype, status
                payload += body
                if status & t.STATUS_EOM:
                    done_type = msg_type
                    if msg_type == t.PKT_LOGIN7:
                        log("spid %d: LOGIN7 received %s" % (
                            self.spid, "over TLS" if self.channel.encrypted else "in the clear"))
                        if self.login_only_tls:
                            # Only the login was to be encrypted: the rest comes in the clear.
                            self.channel = PlainChannel(self.sock)
                    if not status & 0x02:  # the ignore bit drops the whole message
                        self.messages.put((msg_type, first_status, payload))
                    payload, msg_type = b"", None
                    if done_type == t.PKT_PRELOGIN:
                        # What follows may be TLS: wait until the conversation knows.
                        self.channel_set.wait()
                        self.channel_set.clear()
                        if self.closed.is_set():
                            break
        except (ClientGone, OSError):
            pass
        except t.ProtocolError as e:
            log("spid %d: protocol error from client: %s" % (self.spid, e))
        self.closed.set()
        self.messages.put(None)

    def aborted(self):
        return self.attention.is_set() or self.closed.is_set()

    # --- writing
    def send(self, payload, packet_size=None, msg_type=t.PKT_REPLY):
        data = t.packets(msg_type, payload, packet_size or self.packet_size, self.spid)
        try:
            self.channel.sendall(data)
        except (OSError, ssl.SSLError):
            raise ClientGone()

    def writer(self):
        return t.TokenWriter(self.tds_version, self.server.server_name)

    # --- the conversation
    def run(self):
        self.sock.settimeout(None)
        threading.Thread(target=self.reader, daemon=True).start()
        try:
            self.converse()
        except ClientGone:
            log("spid %d: client went away" % self.spid)
        except t.ProtocolError as e:
            log("spid %d: protocol error: %s" % (self.spid, e))
        except Exception as e:  # a bug here must not take the whole server down
            log("spid %d: internal error: %r" % (self.spid, e))
        finally:
            self.closed.set()
            self.channel_set.set()
            try:
                self.sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            self.sock.close()

    def next_message(self):
        msg = self.messages.get()
        if msg is None:
            raise ClientGone()
        return msg

    def converse(self):
        msg_type, _, payload = self.next_message()
        if msg_type == t.PKT_PRELOGIN:
            if not self.prelogin(payload):
                return
            msg_type, _, payload = self.next_message()
        if msg_type != t.PKT_LOGIN7:
            raise t.ProtocolError("expected LOGIN7, got packet type 0x%02x" % msg_type)
        if not self.login(payload):
            return
        while True:
            msg_type, status, payload = self.next_message()
            if msg_type == t.PKT_ATTENTION:
                self.acknowledge_attention()
            elif msg_type == t.PKT_SQL_BATCH:
                if status & 0x08:  # reset connection
                    self.session.database = self.session.login_database
                if not self.batch(payload):
                    return
            elif msg_type == t.PKT_RPC:
                self.rpc(payload)
            elif msg_type == t.PKT_TRANSACTION:
                w = self.writer()
                w.done(t.DONE_FINAL)
                self.send(w.data())
            else:
                raise t.ProtocolError("unexpected packet type 0x%02x after login" % msg_type)

    def acknowledge_attention(self):
        self.attention.clear()
        w = self.writer()
        w.done(t.DONE_ATTN)
        self.send(w.data())

    def prelogin(self, payload):
        """Answers PRELOGIN and, when both sides want it, runs the TLS handshake; returns
        False when the connection must end."""
        options = t.parse_prelogin(payload)
        client = (options.get(t.PL_ENCRYPTION, b"\x02")[:1] or b"\x02")[0]
        client_wants = client in (t.ENCRYPT_ON, t.ENCRYPT_REQ)
        mode = self.server.encryption
        if mode == "not_sup":
            # No TLS here; a client that insists on it cannot go on. Logged before the answer,
            # so the line is there by the time the client gives up.
            if client_wants:
                log("spid %d: client requires encryption, which this server does not support; "
                    "connection refused" % self.spid)
            self.send(t.build_prelogin(tds_sql.PRODUCT_VERSION, t.ENCRYPT_NOT_SUP),
                      LOGIN_PACKET_SIZE)
            self.channel_set.set()
            return not client_wants
        if client == t.ENCRYPT_NOT_SUP:
            answer = t.ENCRYPT_NOT_SUP if mode == "off" else ENCRYPTION_OPTIONS[mode]
        elif mode == "off":
            answer = t.ENCRYPT_ON if client_wants else t.ENCRYPT_OFF
        else:
            answer = ENCRYPTION_OPTIONS[mode]
        self.send(t.build_prelogin(tds_sql.PRODUCT_VERSION, answer), LOGIN_PACKET_SIZE)
        if client == t.ENCRYPT_NOT_SUP:
            if answer != t.ENCRYPT_NOT_SUP:
                log("spid %d: client has no TLS, which this server requires; connection refused"
                    % self.spid)
                return False
            self.channel_set.set()
            return True
        self.login_only_tls = client == t.ENCRYPT_OFF and answer == t.ENCRYPT_OFF
        return self.tls_handshake()

    def tls_handshake(self):
        """The TLS handshake inside PRELOGIN packets; afterwards the channel is TLS."""
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = self.server.tls_context.wrap_bio(incoming, outgoing, server_side=True)
        while True:
            failure = None
            try:
                tls.do_handshake()
                finished = True
            except ssl.SSLWantReadError:
                finished = False
            except ssl.SSLError as e:
                failure = e
            flight = outgoing.read()
            if flight:
                self.send(flight, LOGIN_PACKET_SIZE, t.PKT_PRELOGIN)
            if failure is not None:
                log("spid %d: TLS handshake failed: %s" % (self.spid, failure))
                return False
            if finished:
                self.channel = TlsChannel(self.sock, tls, incoming, outgoing)
                self.channel_set.set()
                log("spid %d: TLS handshake done (%s, %s)"
                    % (self.spid, tls.version(),
                       "login only" if self.login_only_tls else "whole connection"))
                return True
            self.channel_set.set()
            msg_type, _, payload = self.next_message()
            if msg_type != t.PKT_PRELOGIN:
                raise t.ProtocolError("expected a TLS handshake in PRELOGIN, got packet type "
                                      "0x%02x" % msg_type)
            incoming.write(payload)

    def login(self, payload):
        login = t.parse_login7(payload)
        version = login["tds_version"]
        if version < t.TDS70:
            raise t.ProtocolError("TDS version 0x%08x is not supported" % version)
        self.tds_version = min(version, t.TDS74)
        if self.server.login_delay:
            end = time.monotonic() + self.server.login_delay
            while time.monotonic() < end and not self.closed.is_set():
                time.sleep(0.05)
        w = self.writer()
        user = login["user"]
        known = self.server.logins.get(user.lower())
        if known is None or known[1] != login["password"]:
            log("spid %d: login failed for %r" % (self.spid, user))
            w.error(18456, 1, 14, "Login failed for user '%s'." % user)
            w.done(t.DONE_ERROR)
            self.send(w.data(), LOGIN_PACKET_SIZE)
            return False
        wanted = login["database"] or "master"
        db = self.server.catalog.find(wanted)
        if db is None:
            log("spid %d: login to unknown database %r" % (self.spid, wanted))
            w.error(4060, 1, 11, 'Cannot open database "%s" requested by the login. The login failed.'
                    % wanted)
            w.error(18456, 1, 14, "Login failed for user '%s'." % user)
            w.done(t.DONE_ERROR)
            self.send(w.data(), LOGIN_PACKET_SIZE)
            return False
        requested = login["packet_size"] or LOGIN_PACKET_SIZE
        self.packet_size = max(512, min(requested, 32767))
        self.session = tds_sql.Session(self.server.catalog, self.server.server_name, db,
                                       self.aborted, known[0], self.spid)
        w.envchange(t.ENV_DATABASE, db.name, "master")
        w.info(5701, "Changed database context to '%s'." % db.name, state=2)
        if self.tds_version >= t.TDS71:
            w.envchange(t.ENV_COLLATION, t.COLLATION, b"")
        w.envchange(t.ENV_LANGUAGE, "us_english", "")
        w.info(5703, "Changed language setting to us_english.", state=1)
        w.loginack("Microsoft SQL Server", tds_sql.PRODUCT_VERSION)
        w.envchange(t.ENV_PACKETSIZE, str(self.packet_size), str(LOGIN_PACKET_SIZE))
        w.done(t.DONE_FINAL)
        # Logged before the answer goes out: a test that reads the log as soon as its client is
        # logged in must find the line there.
        log("spid %d: %s logged in to %s with TDS 0x%08x, packet size %d"
            % (self.spid, known[0], db.name, self.tds_version, self.packet_size))
        self.send(w.data(), LOGIN_PACKET_SIZE)
        return True

    def batch_text(self, payload):
        if self.tds_version >= t.TDS72 and len(payload) >= 4:
            headers_length = struct.unpack_from("<I", payload, 0)[0]
            if 4 <= headers_length <= len(payload):
                payload = payload[headers_length:]
        return payload.decode("utf-16-le", errors="replace")

    def batch(self, payload):
        """Answers one SQL batch; returns False when the connection must end."""
        text = self.batch_text(payload)
        self.server.record_batch(text)
        w = self.writer()
        try:
            for rule in self.server.delay:
                if rule["match"] in text:
                    self.session.sleep(float(rule.get("seconds", 0)))
                    break
            rule = next((r for r in self.server.fail if r["match"] in text), None)
            fatal = False
            if rule is not None and rule.get("disconnect"):
                log("spid %d: dropping the connection as the scenario asks" % self.spid)
                return False
            if rule is not None and int(rule.get("severity", 16)) <= 10:
                w.info(int(rule["number"]), rule.get("message", ""), state=int(rule.get("state", 1)),
                       severity=int(rule.get("severity", 10)))
                rule = None
            if rule is not None:
                severity = int(rule.get("severity", 16))
                w.error(int(rule["number"]), int(rule.get("state", 1)), severity, rule.get("message", ""))
                w.done(t.DONE_ERROR | (0x100 if severity >= 20 else 0))
                fatal = severity >= 20
            else:
                self.session.run_batch(text, w)
            self.session.check()
        except tds_sql.Aborted:
            if self.closed.is_set():
                raise ClientGone()
            return True  # the queued attention message is acknowledged next
        self.send(w.data())
        return not fatal

    def rpc(self, payload):
        pos = 0
        if self.tds_version >= t.TDS72 and len(payload) >= 4:
            pos = struct.unpack_from("<I", payload, 0)[0]
        name = "?"
        if pos + 2 <= len(payload):
            length = struct.unpack_from("<H", payload, pos)[0]
            if length != 0xFFFF:
                name = payload[pos + 2:pos + 2 + length * 2].decode("utf-16-le", errors="replace")
            elif pos + 4 <= len(payload):
                name = "procedure %d" % struct.unpack_from("<H", payload, pos + 2)[0]
        self.server.record_batch("RPC " + name)
        w = self.writer()
        w.error(2812, 62, 16, "Could not find stored procedure '%s'." % name)
        w.done(t.DONE_ERROR)
        self.send(w.data())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scenario", required=True)
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()
    with open(args.scenario, encoding="utf-8") as f:
        server = Server(json.load(f))

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((server.scenario.get("listen", "127.0.0.1"), args.port))
    listener.listen(64)

    def terminate(signum, frame):
        listener.close()
        tds_backup.stopping.set()
        tds_backup.wait_for_writes(5)
        os._exit(0)
    signal.signal(signal.SIGTERM, terminate)
    end_with_parent()

    sys.stdout.write("PORT %d\n" % listener.getsockname()[1])
    sys.stdout.flush()
    while True:
        try:
            sock, peer = listener.accept()
        except OSError:
            return
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        conn = Connection(server, sock, peer)
        threading.Thread(target=conn.run, daemon=True).start()


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        pass
