#!/usr/bin/python3
"""Runs the built program, as a scheduler runs it, through every night of fault_cases.py and
judges each: nothing lost, every failure told, no hang.

Usage: fault_matrix.py --program-folder <build/program> [--mail-program <executable>]
                       [--disk-full-library <library>] [--report <faults.md>] [--jobs N]
                       [--only <name>...] [--s3-gateway <folder>]

Builds nothing. Per case it lays out a fresh program folder (a copy of the executable and of the
SFTP library, the INI file, a settings file with the case's jobs, last week's archive of today's
weekday and its copy), starts the test servers of tests/servers/ and the fault proxy, runs the
program without a display under a time limit, and checks the result. Prints one table and
writes it to the report file. The S3 cases store into a bucket of this run on Ceph's RADOS Gateway
(tests/servers/ceph_gateway.py): the one running in --s3-gateway's folder (CTest's fixture
s3gateway), or else one the matrix starts in its own folder and stops at its end. Exit status: 0 when every case passed or is a known fault.
"""

import argparse
import concurrent.futures
import datetime
import hashlib
import io
import json
import os
import random
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
SERVERS = os.path.normpath(os.path.join(HERE, "..", "servers"))
PYTHON = "/usr/bin/python3"
sys.path.insert(0, HERE)
from fault_cases import CASES  # noqa: E402

SETTINGS_KEY = "kodiak47"
START_LIMIT = 60  # countdown (16 s) and a small night, without the case's own waits
LAST_WEEK = b"last week's archive of this weekday\n"


class CaseError(Exception):
    """The case could not be set up (not a verdict on the program)."""


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)


def sqlcipher(path, script, key=SETTINGS_KEY):
    head = "PRAGMA key='%s';\n" % key if key else ""
    r = run(["sqlcipher", path], input=head + script + "\n", timeout=30)
    return r.stdout.replace("ok\n", "", 1) if head else r.stdout


def wait_for_file(path, seconds=15):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if os.path.exists(path):
            with open(path) as f:
                text = f.read().strip()
            if text:
                return text
        time.sleep(0.05)
    raise CaseError("no port in %s" % path)


class S3Gateway:
    """The RADOS Gateway the S3 cases store into, read and written with Debian's awscli (an
    independent client): one bucket of this run, each case under a prefix of its name."""

    def __init__(self, folder, own):
        with open(os.path.join(folder, "gateway.json")) as f:
            info = json.load(f)
        self.folder = folder
        self.own = own  # started by the matrix, stopped at its end
        self.port = info["port"]
        self.access_key = info["access_key"]
        self.secret_key = info["secret_key"]
        self.ca = info["ca"]
        self.bucket = "orvel-faults-%d-%d" % (os.getpid(), int(time.time()) % 100000000)

    def aws(self, *args, timeout=120):
        env = dict(os.environ, AWS_ACCESS_KEY_ID=self.access_key,
                   AWS_SECRET_ACCESS_KEY=self.secret_key, AWS_DEFAULT_REGION="us-east-1",
                   AWS_CONFIG_FILE="/dev/null", AWS_SHARED_CREDENTIALS_FILE="/dev/null",
                   AWS_EC2_METADATA_DISABLED="true")
        env.pop("HTTPS_PROXY", None)
        env.pop("https_proxy", None)
        return subprocess.run(["/usr/bin/aws", "--endpoint-url", "https://127.0.0.1:%d" % self.port,
                               "--ca-bundle", self.ca, "--output", "json"] + list(args),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
                              timeout=timeout)

    def s3api(self, *args):
        r = self.aws("s3api", *args)
        if r.returncode != 0:
            raise CaseError("aws s3api %s: %s" % (args[0], r.stderr.strip()[-200:]))
        return json.loads(r.stdout) if r.stdout.strip() else {}

    def put(self, key, path):
        self.s3api("put-object", "--bucket", self.bucket, "--key", key, "--body", path)

    def get(self, key, path):
        """The object's metadata; None when there is no such object."""
        r = self.aws("s3api", "get-object", "--bucket", self.bucket, "--key", key, path)
        if r.returncode != 0:
            if "NoSuchKey" in r.stderr or "Not Found" in r.stderr or "404" in r.stderr:
                return None
            raise CaseError("aws s3api get-object: " + r.stderr.strip()[-200:])
        return json.loads(r.stdout).get("Metadata", {})

    def keys(self, prefix):
        answer = self.s3api("list-objects-v2", "--bucket", self.bucket, "--prefix", prefix)
        return sorted(o["Key"] for o in answer.get("Contents", []))

    def open_uploads(self, prefix):
        answer = self.s3api("list-multipart-uploads", "--bucket", self.bucket, "--prefix", prefix)
        return sorted(u["Key"] for u in answer.get("Uploads", []) or [])

    def make_bucket(self):
        self.s3api("create-bucket", "--bucket", self.bucket)

    def remove_bucket(self):
        self.aws("s3", "rb", "--force", "s3://" + self.bucket, timeout=300)


def start_gateway(folder):
    r = run([PYTHON, os.path.join(SERVERS, "ceph_gateway.py"), "start", "--folder", folder],
            timeout=300)
    if r.returncode != 0:
        raise CaseError("the S3 gateway does not start: " + r.stdout.strip()[-300:])


def stop_gateway(folder):
    run([PYTHON, os.path.join(SERVERS, "ceph_gateway.py"), "stop", "--folder", folder],
        timeout=120)


class Case:
    """One night: its folders, servers and program run."""

    def __init__(self, row, args, base):
        self.row = row
        self.args = args
        self.expect = row.get("expect", {})
        self.dir = tempfile.mkdtemp(prefix=row["name"] + "-", dir=base)
        self.prog = os.path.join(self.dir, "program")
        self.copy = os.path.join(self.dir, "copy")
        self.remote = os.path.join(self.dir, "remote")
        self.tmp = os.path.join(self.dir, "tmp")
        for d in (self.prog, self.copy, self.remote, self.tmp):
            os.makedirs(d)
        self.processes = []  # servers and helpers, stopped at the end
        self.mounts = []
        self.problems = []  # what the judge found
        self.lost = []  # what was lost
        self.notes = []
        self.out = ""
        self.day = datetime.date.today().isoweekday()
        self.archive_name = "Lager%d.ZIP" % self.day
        self.proxy_dir = None
        self.smtp_dir = None
        self.hung = False
        self.codes = []
        self.seconds = 0.0

    # --- servers -----------------------------------------------------------------------------

    def start(self, cmd, name):
        log = open(os.path.join(self.dir, name + ".log"), "w")
        p = subprocess.Popen(cmd, stdout=subprocess.PIPE if name == "tds" else log, stderr=log,
                             cwd=self.dir, start_new_session=True)
        self.processes.append(p)
        return p

    def start_tds(self):
        db = {"recovery_model": "FULL",
              "files": [{"file_id": 1, "type": 0, "name": "Lager", "size": 1024},
                        {"file_id": 2, "type": 1, "name": "Lager_log", "size": 128}],
              "backup_bytes": int(self.row.get("backup_mib", 1 / 16) * 1024 * 1024),
              "log_backup_bytes": 8192}
        scenario = {"logins": {"sa": "geheim"}, "databases": {}}
        for i in range(self.row.get("jobs", 1)):
            scenario["databases"][self.db_name(i)] = dict(db)
        scenario.update(self.row.get("tds", {}))
        scenario["databases"].update(self.row.get("tds_databases", {}))
        scenario["batch_log"] = os.path.join(self.dir, "tds-batches.log")
        path = os.path.join(self.dir, "tds.json")
        with open(path, "w") as f:
            json.dump(scenario, f)
        p = self.start([PYTHON, os.path.join(SERVERS, "tds_server.py"), "--scenario", path,
                        "--port", "0"], "tds")
        line = p.stdout.readline().decode()
        if not line.startswith("PORT "):
            raise CaseError("TDS server did not start")
        return int(line.split()[1])

    def start_upload_server(self, kind):
        scenario = {"user": "backup", "password": "geheim", "home": self.remote,
                    "time_limit": 900}
        scenario.update(self.row.get("server", {}))
        folder = os.path.join(self.dir, kind)
        os.makedirs(folder)
        path = os.path.join(folder, "scenario.json")
        port_file = os.path.join(folder, "port.txt")
        if kind == "sftp":
            scenario["host_key"] = os.path.join(folder, "host_key")
            with open(path, "w") as f:
                json.dump(scenario, f)
            self.start([PYTHON, os.path.join(SERVERS, "sftp_server.py"), "--scenario", path,
                        "--port-file", port_file], "sftp")
        else:
            scenario["tls"] = kind == "ftps"
            with open(path, "w") as f:
                json.dump(scenario, f)
            self.start([PYTHON, os.path.join(SERVERS, "ftp_server.py"), "--scenario", path,
                        "--port-file", port_file, "--command-log",
                        os.path.join(folder, "commands.txt"), "--certificate",
                        os.path.join(folder, "server.crt")], kind)
        return int(wait_for_file(port_file))

    def start_smtp(self):
        self.smtp_dir = os.path.join(self.dir, "smtp")
        os.makedirs(self.smtp_dir)
        scenario = {"user": "report", "password": "geheim", "time_limit": 900}
        scenario.update(self.row.get("mail", {}))
        path = os.path.join(self.smtp_dir, "scenario.json")
        with open(path, "w") as f:
            json.dump(scenario, f)
        self.start([PYTHON, os.path.join(SERVERS, "smtp_server.py"), "--scenario", path,
                    "--folder", self.smtp_dir], "smtp")
        return int(wait_for_file(os.path.join(self.smtp_dir, "port.txt")))

    def start_proxy(self, target):
        self.proxy_dir = os.path.join(self.dir, "proxy")
        os.makedirs(self.proxy_dir)
        self.start([PYTHON, os.path.join(HERE, "fault_proxy.py"), "--target", str(target),
                    "--folder", self.proxy_dir, "--fault",
                    json.dumps(self.row.get("fault", {}))], "proxy")
        return int(wait_for_file(os.path.join(self.proxy_dir, "port.txt")))

    # --- the program folder ------------------------------------------------------------------

    def s3_prefix(self):
        return self.row["name"] + "/"

    def s3_key(self):
        return self.s3_prefix() + self.archive_name

    def db_name(self, i):
        return self.row.get("db", "Lager") if i == 0 else "Lager%03d" % i

    def lay_out(self, sql_port, upload_port):
        program = self.args.mail_program if "mail" in self.row else os.path.join(
            self.args.program_folder, "OrvelSQLBackup")
        shutil.copy2(program, os.path.join(self.prog, "OrvelSQLBackup"))
        library = os.path.join(self.args.program_folder, "libtgputtylib.so")
        if os.path.exists(library):
            shutil.copy2(library, self.prog)
        with open(os.path.join(self.prog, "OrvelSQLBackup.INI"), "wb") as f:
            f.write(b"[OrvelSQLBackup]\r\nInternet=1\r\n")
        with open(os.path.join(self.dir, "freetds.conf"), "w") as f:
            f.write("[global]\n\ttds version = 7.4\n")

        upload = self.row.get("upload")
        protocol = {"ftp": 0, "ftps": 1, "sftp": 2, "s3": 3}.get(upload, 0)
        user, password, path = "backup", "geheim", "/"
        if upload == "s3":
            # Access key, secret key, bucket/prefix/ (the case's own prefix).
            gateway = self.args.s3
            s3 = self.row.get("s3", {})
            user = gateway.access_key
            password = gateway.secret_key
            if s3.get("secret") == "wrong":
                password = password[:-4] + ("WXYZ" if password[-4:] != "WXYZ" else "ABCD")
            bucket = s3.get("bucket", gateway.bucket)
            path = "%s/%s" % (bucket, self.s3_prefix())
        copy = "" if self.row.get("copy") == "none" else self.copy
        rows = []
        for i in range(self.row.get("jobs", 1)):
            port = sql_port
            if self.row.get("bad_job") == i + 1:
                port = closed_port()
            name = self.db_name(i)
            rows.append("INSERT INTO sqldatenbanken VALUES ('%s', '127.0.0.1,%d', 'sa', "
                        "'geheim', '%s', 1, %d, '127.0.0.1', '%s', '%s', %d, '%s', "
                        "%d, 1, 1);" % (name, port, name, 1 if upload else 0, user, password,
                                        upload_port or 21, path, protocol))
        script = SCHEMA + "\n".join(rows) + (
            "\nINSERT INTO benutzerdaten (VersenderName, EmpfaengerEmail, OrdnerZIPDateien) "
            "VALUES ('Nacht', '%s', '%s');\n" % (
                "admin@firma.test" if "mail" in self.row else "", copy))
        sqlcipher(os.path.join(self.prog, "sqlback.mdb"), script)

        # Last week's archive of today's weekday, and its copy.
        for folder in (self.prog, self.copy):
            with zipfile.ZipFile(os.path.join(folder, self.archive_name), "w") as z:
                z.writestr("Lager.BAK", LAST_WEEK)

    def settings_snapshot(self):
        path = os.path.join(self.prog, "sqlback.mdb")
        with open(path, "rb") as f:
            raw = f.read()
        # The columns this matrix writes; a later program version may add columns of its own.
        dump = sqlcipher(path, "SELECT %s FROM sqldatenbanken ORDER BY DBName; SELECT %s FROM "
                         "benutzerdaten;" % (", ".join(JOB_COLUMNS), ", ".join(GENERAL_COLUMNS)))
        return raw, dump

    # --- one run of the program --------------------------------------------------------------

    def environment(self):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        env.update(TMPDIR=self.tmp, LC_ALL="de_DE.UTF-8", FREETDSCONF=os.path.join(
            self.dir, "freetds.conf"), HOME=self.tmp)
        if "disk_full" in self.row:
            # A disk that is nearly full under the files the row names.
            env.update(LD_PRELOAD=self.args.disk_full_library,
                       ORVEL_DISK_FULL_MATCH=self.row["disk_full"]["match"],
                       ORVEL_DISK_FULL_AFTER=str(self.row["disk_full"]["after"]))
        if "mail" in self.row:
            # The mail test program's account: this port, and the authority in its folder.
            env["ORVEL_TEST_MAIL_PORT"] = str(self.mail_port)
            shutil.copy(os.path.join(self.smtp_dir, "ca.crt"),
                        os.path.join(self.tmp, "mail-ca.crt"))
        return env

    def spawn(self, during):
        """Starts the program; a thread collects its output and runs the `during` steps when
        their text shows."""
        exe = os.path.join(self.prog, "OrvelSQLBackup")
        p = subprocess.Popen([exe], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             env=self.environment(), cwd=self.tmp, start_new_session=True)
        p.chunks = []
        p.killed = False
        pending = list(during)

        def reader():
            for raw in iter(p.stdout.readline, b""):
                line = raw.decode("utf-8", "replace")
                p.chunks.append(line)
                for item in list(pending):
                    if item[0] in line:
                        pending.remove(item)
                        if DURING[item[1]](self, p):
                            p.killed = True

        p.reader = threading.Thread(target=reader, daemon=True)
        p.reader.start()
        return p

    def finish(self, p, limit):
        try:
            p.wait(timeout=max(1, limit))
        except subprocess.TimeoutExpired:
            self.hung = True
            self.problems.append("still running after %d s" % limit)
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()
        p.reader.join(5)
        left = session_processes(p.pid)
        if left:
            self.hung = True
            self.problems.append("processes left behind: %s" % left)
            os.killpg(p.pid, signal.SIGKILL)
        return "".join(p.chunks)

    def run_program(self, during, limit):
        """Runs the program up to `limit` seconds. Returns (exit code or None when killed,
        output)."""
        started = time.monotonic()
        p = self.spawn(during)
        if "second_start" not in self.row.get("prepare", []):
            out = self.finish(p, limit)
        else:
            # Two starts in the same second: one runs the night, the other ends at once with 0
            # before it touches the settings.
            time.sleep(0.05)
            q = self.spawn([])
            outs = [self.finish(x, limit - (time.monotonic() - started)) for x in (p, q)]
            ran = [i for i in (0, 1) if "Verarbeitung abgeschlossen" in outs[i]]
            if len(ran) != 1:
                self.problems.append("%d of two starts ran the night" % len(ran))
            runner = ran[0] if ran else 0
            other, other_out = (q, outs[1]) if runner == 0 else (p, outs[0])
            if other.returncode != 0:
                self.problems.append("the other start ended with %s" % other.returncode)
            if "Verbinde mit Einstellungsdatenbank" in other_out:
                self.problems.append("the other start opened the settings")
            p, out = (p, outs[0]) if runner == 0 else (q, outs[1])
        with open(os.path.join(self.dir, "run%d.txt" % (len(self.codes) + 1)), "w") as f:
            f.write(out)
        return (None if p.killed else p.returncode), out

    # --- the whole case ----------------------------------------------------------------------

    def execute(self):
        row = self.row
        if "disk_full" in row and not os.path.exists(self.args.disk_full_library or ""):
            raise CaseError("no disk-full library")
        sql_port = self.start_tds()
        if row.get("sql_via") == "proxy":
            sql_port = self.start_proxy(sql_port)
        elif row.get("sql_via") == "closed":
            sql_port = closed_port()
        upload_port = None
        if row.get("upload") == "s3":
            if not self.args.s3:
                raise CaseError("no S3 gateway")
            upload_port = self.args.s3.port
            if row.get("upload_via") == "proxy":
                upload_port = self.start_proxy(upload_port)
        elif row.get("upload"):
            upload_port = self.start_upload_server(row["upload"])
            if row.get("upload_via") == "proxy":
                upload_port = self.start_proxy(upload_port)
        if "mail" in row:
            self.mail_port = self.start_smtp()
            if row.get("mail_via") == "proxy":
                self.mail_port = self.start_proxy(self.mail_port)
        self.upload_port = upload_port
        self.lay_out(sql_port, upload_port)
        if row.get("upload") == "sftp":
            self.store_host_key()
        if row.get("upload") == "ftps":
            self.store_certificate_key(os.path.join(self.dir, "ftps", "server.crt"))
        if row.get("upload") == "s3":
            self.store_certificate_key(os.path.join(self.args.s3.folder, "server.crt"))
        if row.get("upload") == "s3":
            # Last week's archive of this weekday on the server as well.
            last_week = os.path.join(self.prog, self.archive_name)
            self.s3_last_week = read_or_none(last_week)
            self.args.s3.put(self.s3_key(), last_week)
        self.settings_before = self.settings_snapshot() if not self.foreign_settings() else None
        for step in row.get("prepare", []):
            if step in PREPARE:
                PREPARE[step](self)
        with open(os.path.join(self.prog, "sqlback.mdb"), "rb") as f:
            self.settings_bytes = f.read()
        self.known_hosts_before = read_or_none(os.path.join(self.prog, "known_hosts"))
        self.outside_before = set(os.listdir(self.dir))

        limit = row.get("limit", START_LIMIT) + row.get("jobs", 1) * 0.5
        started = time.monotonic()
        code, out = self.run_program(row.get("during", []), limit)
        self.out = out
        self.codes.append(code)
        if row.get("twice"):
            if code is not None:
                self.problems.append("the run to be killed ended by itself (%s)" % code)
            # What the next start finds: last week's archive or a whole one, never half of one.
            archive = os.path.join(self.prog, self.archive_name)
            if not is_last_week(archive) and (
                    not os.path.exists(archive) or
                    run(["unzip", "-tqq", archive], timeout=300).returncode != 0):
                self.lost.append("after the kill: archive " + state(archive))
            code, out = self.run_program([], limit)
            self.out = out
            self.codes.append(code)
        self.seconds = time.monotonic() - started
        self.code = code
        for step in row.get("prepare", []):
            if step in RELEASE:
                RELEASE[step](self)
        self.judge()

    def foreign_settings(self):
        return any(s.startswith("settings_") or s == "lock_settings"
                   for s in self.row.get("prepare", []))

    def store_host_key(self):
        pub = read_or_none(os.path.join(self.dir, "sftp", "host_key.pub"))
        if pub is None:
            raise CaseError("no host key")
        kind, blob = pub.decode().split()[:2]
        with open(os.path.join(self.prog, "known_hosts"), "w") as f:
            f.write("[127.0.0.1]:%d %s %s\n" % (self.upload_port, kind, blob))

    def store_certificate_key(self, crt):
        # The night runs unattended: it keeps no new key, so the key is accepted beforehand, as
        # the hostkey command does.
        wait_for_file(crt)
        pin = run(["sh", "-c", 'openssl x509 -in "$1" -pubkey -noout | openssl pkey -pubin '
                   '-outform der | openssl dgst -sha256 -binary | openssl base64 -A', "sh", crt],
                  timeout=60)
        if pin.returncode != 0 or not pin.stdout.strip():
            raise CaseError("no certificate key")
        with open(os.path.join(self.prog, "ftps_known_hosts"), "w") as f:
            f.write("127.0.0.1:%d sha256//%s # gespeichert am %s\n" % (
                self.upload_port, pin.stdout.strip(),
                datetime.date.today().isoformat()))

    # --- the judge ---------------------------------------------------------------------------

    def count(self):
        found = None
        for line in self.out.splitlines():
            if "Fehleranzahl: " in line:
                found = int(line.rsplit("Fehleranzahl: ", 1)[1].strip())
        return found

    def judge(self):
        e = self.expect
        out = self.out
        # Told: exit code, count, lines.
        codes = e.get("code", 0)
        codes = codes if isinstance(codes, list) else [codes]
        if self.code not in codes and not self.hung:
            self.problems.append("exit code %s, expected %s" % (self.code, codes))
        count = self.count()
        want = e.get("count", 0)
        if want is None:
            pass
        elif isinstance(want, list):
            if count is None or not want[0] <= count <= want[1]:
                self.problems.append("count %s, expected %s..%s" % (count, want[0], want[1]))
        elif count != want:
            self.problems.append("count %s, expected %s" % (count, want))
        told = ["FEHLER", "Datei nicht gefunden"] + e.get("told", [])
        if count and not any(t in out for t in told):
            self.problems.append("errors counted but no FEHLER line")
        if self.code not in (0, None) and count == 0 and 2 not in codes:
            self.problems.append("exit code says errors, count says none")
        for text in e.get("lines", []):
            texts = text if isinstance(text, list) else [text]  # a list: any one of them
            if not any(t in out for t in texts):
                self.problems.append("no line '%s'" % "' or '".join(texts))
        for text in e.get("absent", []):
            if text in out:
                self.problems.append("unexpected line '%s'" % text)
        for text, n in e.get("times", {}).items():
            seen = sum(text in line for line in out.splitlines())
            if seen != n:
                self.problems.append("%d lines '%s', expected %d" % (seen, text, n))
        if "geheim" in out and self.row.get("upload") != "s3":
            self.problems.append("a password shows in the log")
        if self.row.get("upload") == "s3" and self.args.s3.secret_key[:12] in out:
            self.problems.append("the secret key shows in the log")

        # Nothing lost: settings.
        if self.settings_before is None:
            if read_or_none(os.path.join(self.prog, "sqlback.mdb")) != self.settings_bytes:
                self.lost.append("settings file changed")
        else:
            raw, dump = self.settings_snapshot()
            before = self.settings_before[1]
            if "Lager" not in before:
                self.problems.append("driver: the settings laid out cannot be read back")
            elif dump != before:
                self.lost.append("settings differ")
        if self.row.get("upload") == "sftp" and "foreign_host_key" in self.row.get(
                "prepare", []):
            if read_or_none(os.path.join(self.prog, "known_hosts")) != self.known_hosts_before:
                self.lost.append("known_hosts changed")

        # Nothing lost: archives and copies.
        expect_archive = e.get("archive")
        archive = os.path.join(self.prog, self.archive_name)
        copy = os.path.join(self.copy, self.archive_name)
        copy_judged = self.row.get("copy") != "none" and os.path.isdir(self.copy) and \
            "remove_copy_folder" not in self.row.get("prepare", [])
        today = None
        if expect_archive == "new" and self.row.get("jobs", 1) == 1:
            today = self.check_archive(archive)
        elif expect_archive == "kept":
            if not is_last_week(archive):
                self.lost.append("last week's archive " + state(archive))
            if copy_judged and not is_last_week(copy):
                self.lost.append("last week's copy " + state(copy))
        if copy_judged and expect_archive == "new" and os.path.exists(copy):
            if not is_last_week(copy) and read_or_none(copy) != read_or_none(archive):
                self.lost.append("copy differs from the archive")
        if expect_archive == "new" and copy_judged and not os.path.exists(copy):
            self.lost.append("last week's copy is gone")

        # Nothing lost: the remote file.
        remote = os.path.join(self.remote, self.archive_name)
        want_remote = e.get("remote") if self.row.get("upload") != "s3" else None
        if want_remote and expect_archive == "kept" and os.path.exists(remote):
            self.problems.append("last week's archive was uploaded as tonight's")
        elif want_remote:
            if os.path.exists(remote):
                if read_or_none(remote) != read_or_none(archive):
                    self.lost.append("remote file %d of %d bytes" % (
                        os.path.getsize(remote), size_or_zero(archive)))
            elif want_remote == "whole":
                self.problems.append("no remote file")
        if self.row.get("upload") == "s3":
            self.check_s3(archive)
        if e.get("mail"):
            self.check_mail()

        # Nothing written beside the program's folders, nothing changed behind a link.
        extra = {n for n in set(os.listdir(self.dir)) - self.outside_before
                 if not n.startswith("run") and not n.endswith(".log")}
        if extra:
            self.lost.append("written outside the program folder: %s" % ", ".join(sorted(extra)))
        for name, content in getattr(self, "precious", {}).items():
            if read_or_none(os.path.join(self.dir, name)) != content:
                self.lost.append("%s behind a link was changed" % name)
        if e.get("flat"):
            self.check_flat()
        if "restore_test_today" in self.row.get("prepare", []):
            self.check_scratch()

        # No temporary file left behind.
        allowed = {"OrvelSQLBackup", "OrvelSQLBackup.INI", "sqlback.mdb", "libtgputtylib.so",
                   "known_hosts", "ftps_known_hosts", "log", "last_run.json", self.archive_name}
        for i in range(self.row.get("jobs", 1)):
            n = self.db_name(i)
            allowed |= {n + ".BAK", n + ".TRN", "%s%d.ZIP" % (n, self.day)}
        for folder, names in ((self.prog, allowed),
                              (self.copy, {"%s%d.ZIP" % (self.db_name(i), self.day)
                                           for i in range(self.row.get("jobs", 1))} |
                               {self.archive_name}),
                              (self.remote, {self.archive_name})):
            if os.path.isdir(folder):
                extra = sorted(set(os.listdir(folder)) - names)
                if extra:
                    self.lost.append("left behind in %s: %s" % (
                        os.path.basename(folder), ", ".join(extra)))

    def check_scratch(self):
        """What the restore test did on the server: the scratch database it made is gone at the
        end, one it did not make is still there, and nothing was restored where the case says
        the test must stop before."""
        batches = []
        for line in (read_or_none(os.path.join(self.dir, "tds-batches.log")) or b"").decode(
                "utf-8", "replace").splitlines():
            if line.strip():
                batches.append(json.loads(line))
        name = "[%s_Wiederherstellungstest]" % self.db_name(0)
        foreign = name[1:-1] in self.row.get("tds_databases", {})
        exists = foreign
        for batch in batches:
            if "RESTORE DATABASE " + name in batch:
                exists = True
                foreign = False
            elif "DROP DATABASE " + name in batch:
                if foreign:
                    self.lost.append("the database %s the program did not make was dropped"
                                     % name)
                exists = False
        if exists and not foreign:
            self.problems.append("scratch database %s left on the server" % name)
        if self.expect.get("restored") is False and any(
                "RESTORE DATABASE" in b for b in batches):
            self.problems.append("a database was restored")

    def check_flat(self):
        """The last 50 jobs take no longer than twice the first 50 (and a few seconds)."""
        starts = []
        for line in self.out.splitlines():
            if "Arbeitsprozess beginn für Datenbank: " in line:
                stamp = datetime.datetime.strptime(line[:19], "%d.%m.%Y %H:%M:%S")
                starts.append(stamp.timestamp())
        if len(starts) < 150:
            self.problems.append("only %d jobs started" % len(starts))
            return
        first = starts[50] - starts[0]
        last = starts[-1] - starts[-51]
        if last > 2 * first + 3:
            self.problems.append("jobs slow down: first 50 in %.0f s, last 50 in %.0f s" % (
                first, last))

    def check_archive(self, archive):
        if not os.path.exists(archive):
            self.lost.append("no archive today and last week's is gone")
            return None
        if is_last_week(archive):
            self.problems.append("today's archive was not made")
            return None
        r = run(["unzip", "-tqq", archive], timeout=300)
        if r.returncode != 0:
            self.lost.append("unzip -t fails: " + r.stdout.strip()[:80])
            return None
        with zipfile.ZipFile(archive) as z:
            for info in z.infolist():
                source = os.path.join(self.prog, info.filename)
                if not os.path.exists(source) or os.path.getsize(source) != info.file_size:
                    self.lost.append("entry %s differs from its source" % info.filename)
                elif info.file_size < 64 * 1024 * 1024 and \
                        read_or_none(source) != z.read(info.filename):
                    self.lost.append("entry %s differs from its source" % info.filename)
            names = [i.filename for i in z.infolist()]
        if not names or names[0] != "Lager.BAK":
            self.lost.append("archive holds %s" % names)
        return archive

    def check_s3(self, archive):
        """What the bucket holds under the case's prefix: tonight's archive whole (with its
        SHA-256 in the metadata) or last week's untouched, nothing else, and no upload left
        under way (parts nobody sees but somebody pays for)."""
        gateway = self.args.s3
        want = self.expect.get("remote")
        fetched = os.path.join(self.dir, "fetched.ZIP")
        meta = gateway.get(self.s3_key(), fetched)
        body = read_or_none(fetched) if meta is not None else None
        tonight = read_or_none(archive)
        last_week = self.s3_last_week
        if body is None:
            if want:
                self.lost.append("the object %s is gone" % self.s3_key())
        elif body == tonight:
            if want == "last-week":
                self.problems.append("the object was replaced although the store failed")
            elif meta.get("sha256") != hashlib.sha256(tonight).hexdigest():
                self.problems.append("the object's metadata sha256 is %s" % meta.get("sha256"))
        elif body == last_week:
            if want == "whole":
                self.problems.append("the object is still last week's")
        else:
            self.lost.append("the object holds %d bytes of neither night" % len(body))
        if os.path.exists(fetched):
            os.remove(fetched)
        extra = [k for k in gateway.keys(self.s3_prefix()) if k != self.s3_key()]
        if extra:
            self.lost.append("left behind in the bucket: %s" % ", ".join(extra))
        uploads = gateway.open_uploads(self.s3_prefix())
        if uploads:
            self.lost.append("%d multipart upload(s) left under way" % len(uploads))

    def check_mail(self):
        path = os.path.join(self.smtp_dir, "messages.jsonl")
        messages = [json.loads(line) for line in (read_or_none(path) or b"").decode()
                    .splitlines() if line.strip()]
        if not messages:
            self.problems.append("no report mail")
            return
        subject = messages[-1].get("subject", "")
        errors = bool(self.count()) or self.code not in (0,)
        prefix = "ACHTUNG FEHLER bei OrvelSQLBackup " if errors else "OrvelSQLBackup-Report "
        if not subject.startswith(prefix):
            self.problems.append("mail subject '%s'" % subject[:50])

    def stop(self):
        for p in self.processes:
            if p.poll() is None:
                try:
                    os.killpg(p.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
        for p in self.processes:
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()
        if self.proxy_dir:
            events = (read_or_none(os.path.join(self.proxy_dir, "events.txt")) or b"").decode()
            self.proxy_events = events
        for m in reversed(self.mounts):
            run(["umount", "-l", m])

    def connections_left(self):
        """Connections through the proxy that the program left open after it ended."""
        if not self.proxy_dir:
            return 0
        end = time.monotonic() + 3
        while True:
            events = (read_or_none(os.path.join(self.proxy_dir, "events.txt")) or b"").decode()
            opened = {l.split()[1] for l in events.splitlines() if l.startswith("open")}
            closed = {l.split()[1] for l in events.splitlines() if l.startswith("close")}
            if opened <= closed or time.monotonic() > end:
                return len(opened - closed)
            time.sleep(0.1)


# --- helpers ---------------------------------------------------------------------------------

SCHEMA = """
CREATE TABLE benutzerdaten (ID INTEGER PRIMARY KEY AUTOINCREMENT,
  VersenderName nvarchar(50) COLLATE NOCASE, VersenderEmail nvarchar(50) COLLATE NOCASE,
  VersenderBenutzerName nvarchar(50) COLLATE NOCASE,
  VersenderBenutzerPasswort nvarchar(50) COLLATE NOCASE,
  EmpfaengerEmail nvarchar(255) COLLATE NOCASE, SMTPServer nvarchar(50) COLLATE NOCASE,
  Port INTEGER, SMTPSSLTLS BIT, OrdnerZIPDateien nvarchar(250) COLLATE NOCASE);
CREATE TABLE dbversion(DBVERSION DATETIME NOT NULL PRIMARY KEY);
CREATE TABLE sqldatenbanken (DBName nvarchar(50) COLLATE NOCASE NOT NULL PRIMARY KEY,
  DBServer nvarchar(50) COLLATE NOCASE NOT NULL, DBBenutzer nvarchar(50) COLLATE NOCASE NOT NULL,
  DBPasswort nvarchar(50) COLLATE NOCASE NOT NULL, ZIP_Dateiname nvarchar(50) COLLATE NOCASE,
  ZIP_erstellen BIT, FTP_aktiv BIT, FTP_SERVER nvarchar(50) COLLATE NOCASE,
  FTP_Benutzer nvarchar(50) COLLATE NOCASE, FTP_Passwort nvarchar(50) COLLATE NOCASE,
  FTP_Port INTEGER, FTP_Pfad nvarchar(150) COLLATE NOCASE, FTP_SSL INTEGER, FTP_Passiv INTEGER,
  FTP_Binary INTEGER);
INSERT INTO dbversion VALUES ('2016-08-15 00:00:00');
"""


JOB_COLUMNS = ["DBName", "DBServer", "DBBenutzer", "DBPasswort", "ZIP_Dateiname",
               "ZIP_erstellen", "FTP_aktiv", "FTP_SERVER", "FTP_Benutzer", "FTP_Passwort",
               "FTP_Port", "FTP_Pfad", "FTP_SSL", "FTP_Passiv", "FTP_Binary"]
GENERAL_COLUMNS = ["VersenderName", "VersenderEmail", "VersenderBenutzerName",
                   "VersenderBenutzerPasswort", "EmpfaengerEmail", "SMTPServer", "Port",
                   "SMTPSSLTLS", "OrdnerZIPDateien"]


def closed_port():
    import socket
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def read_or_none(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def size_or_zero(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def is_last_week(path):
    try:
        with zipfile.ZipFile(path) as z:
            return z.namelist() == ["Lager.BAK"] and z.read("Lager.BAK") == LAST_WEEK
    except (OSError, zipfile.BadZipFile):
        return False


def state(path):
    if not os.path.exists(path):
        return "is gone"
    return "was replaced (%d bytes)" % os.path.getsize(path)


def session_processes(sid):
    """Processes still in the program's session (its children), other than zombies."""
    left = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[3]) == sid and fields[0] != "Z":
            left.append(pid)
    return left


def mount_tmpfs(case, folder, size):
    r = run(["mount", "-t", "tmpfs", "-o", "size=%d" % size, "tmpfs", folder])
    if r.returncode != 0:
        raise CaseError("cannot mount a small disk (needs root): " + r.stdout.strip())
    case.mounts.append(folder)


def read_only_bind(case, folder):
    for cmd in (["mount", "--bind", folder, folder],
                ["mount", "-o", "remount,bind,ro", folder]):
        r = run(cmd)
        if r.returncode != 0:
            raise CaseError("cannot make %s read-only (needs root)" % folder)
    case.mounts.append(folder)


def program_on_small_disk(case):
    # The program folder on a disk that holds the program, the backup and not much more.
    keep = os.path.join(case.dir, "program.laid-out")
    os.rename(case.prog, keep)
    os.makedirs(case.prog)
    mount_tmpfs(case, case.prog, 256 * 1024 * 1024)
    for name in os.listdir(keep):
        shutil.copy2(os.path.join(keep, name), case.prog)
    st = os.statvfs(case.prog)
    used = (st.f_blocks - st.f_bfree) * st.f_frsize
    backup = int(case.row.get("backup_mib", 1) * 1024 * 1024) + 8192 * 3
    r = run(["mount", "-o", "remount,size=%d" % (used + backup + 256 * 1024), case.prog])
    if r.returncode != 0:
        raise CaseError("cannot shrink the small disk")


def copy_on_tiny_disk(case):
    mount_tmpfs(case, case.copy, 64 * 1024)
    with zipfile.ZipFile(os.path.join(case.copy, case.archive_name), "w") as z:
        z.writestr("Lager.BAK", LAST_WEEK)


def remove_copy_folder(case):
    shutil.rmtree(case.copy)


def copy_read_only(case):
    read_only_bind(case, case.copy)


def log_read_only(case):
    os.makedirs(os.path.join(case.prog, "log"))
    read_only_bind(case, os.path.join(case.prog, "log"))


def program_read_only(case):
    read_only_bind(case, case.prog)


def foreign_host_key(case):
    r = run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f",
             os.path.join(case.dir, "other_key")])
    if r.returncode != 0:
        raise CaseError("ssh-keygen failed")
    kind, blob = open(os.path.join(case.dir, "other_key.pub")).read().split()[:2]
    with open(os.path.join(case.prog, "known_hosts"), "w") as f:
        f.write("[127.0.0.1]:%d %s %s\n" % (case.upload_port, kind, blob))


def replace_settings(case, data):
    with open(os.path.join(case.prog, "sqlback.mdb"), "wb") as f:
        f.write(data)


def settings_wrong_key(case):
    path = os.path.join(case.prog, "sqlback.mdb")
    os.remove(path)
    sqlcipher(path, SCHEMA, key="anderer-schluessel")


def settings_plain_sqlite(case):
    path = os.path.join(case.prog, "sqlback.mdb")
    os.remove(path)
    with sqlite3.connect(path) as db:
        db.execute("CREATE TABLE kunden (name TEXT)")
        db.execute("INSERT INTO kunden VALUES ('Müller')")
    db.close()


def settings_zip(case):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as z:
        z.writestr("rechnung.txt", "nicht die Einstellungen\n" * 100)
    replace_settings(case, buffer.getvalue())


def settings_random_bytes(case):
    replace_settings(case, random.Random(47).randbytes(8192))


def lock_settings(case):
    # Another process holds a write transaction on the settings file for the whole night.
    p = subprocess.Popen(["sqlcipher", os.path.join(case.prog, "sqlback.mdb")],
                         stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL, start_new_session=True)
    p.stdin.write(("PRAGMA key='%s';\nBEGIN EXCLUSIVE;\nUPDATE benutzerdaten SET "
                   "VersenderName='gesperrt';\n" % SETTINGS_KEY).encode())
    p.stdin.flush()
    time.sleep(1)
    case.locker = p
    case.processes.append(p)


def release_lock(case):
    case.locker.stdin.write(b"ROLLBACK;\n.quit\n")
    case.locker.stdin.close()
    case.locker.wait(10)


def archive_links(case):
    # Tonight's archive and copy names are links to files of somebody else's.
    case.precious = {}
    for folder, name in ((case.prog, "precious-archive"), (case.copy, "precious-copy")):
        content = ("%s: not the program's to write\n" % name).encode()
        with open(os.path.join(case.dir, name), "wb") as f:
            f.write(content)
        case.precious[name] = content
        link = os.path.join(folder, case.archive_name)
        os.remove(link)
        os.symlink(os.path.join(case.dir, name), link)


def restore_test_today(case):
    """The night's restore test is tonight: RestoreTest= names today's ISO weekday."""
    with open(os.path.join(case.prog, "OrvelSQLBackup.INI"), "ab") as f:
        f.write(b"RestoreTest=%d\r\n" % datetime.date.today().isoweekday())


def empty_zip_name(case):
    sqlcipher(os.path.join(case.prog, "sqlback.mdb"),
              "UPDATE sqldatenbanken SET ZIP_Dateiname=NULL;")


PREPARE = {
    "program_on_small_disk": program_on_small_disk,
    "copy_on_tiny_disk": copy_on_tiny_disk,
    "remove_copy_folder": remove_copy_folder,
    "copy_read_only": copy_read_only,
    "log_read_only": log_read_only,
    "program_read_only": program_read_only,
    "foreign_host_key": foreign_host_key,
    "settings_wrong_key": settings_wrong_key,
    "settings_plain_sqlite": settings_plain_sqlite,
    "settings_zip": settings_zip,
    "settings_zero_bytes": lambda case: replace_settings(case, b""),
    "settings_random_bytes": settings_random_bytes,
    "lock_settings": lock_settings,
    "empty_zip_name": empty_zip_name,
    "restore_test_today": restore_test_today,
    "archive_links": archive_links,
}
RELEASE = {"lock_settings": release_lock}


def kill_now(case, p):
    os.killpg(p.pid, signal.SIGKILL)
    return True


def kill_soon(case, p):
    time.sleep(1.5)
    return kill_now(case, p)


def remove_backup(case, p):
    os.remove(os.path.join(case.prog, "Lager.BAK"))


def sparse_backup(case, p):
    with open(os.path.join(case.prog, "Lager.BAK"), "r+b") as f:
        f.truncate(4 * 1024 ** 3 + 1)


def random_backup(case, p):
    # 72 MiB that do not compress: an archive above the size an S3 store sends in parts. Written
    # beside the backup and renamed over it, so that the packer never reads half of it.
    path = os.path.join(case.prog, "Lager.BAK")
    with open(path + ".random", "wb") as f:
        f.write(random.Random(72).randbytes(72 * 1024 * 1024))
    os.replace(path + ".random", path)


DURING = {"kill": kill_now, "kill_soon": kill_soon, "remove_backup": remove_backup,
          "sparse_backup": sparse_backup, "random_backup": random_backup}


# --- the matrix ------------------------------------------------------------------------------

def run_case(row, args, base):
    case = Case(row, args, base)
    result = dict(name=row["name"], code="-", count="-", lost="", hung="", seconds=0.0,
                  verdict="", why="", known=row.get("known"))
    try:
        if "mail" in row and not args.mail_program:
            result.update(verdict="SKIP", why="no mail test program")
            return result
        case.execute()
        left = case.connections_left()
        if left:
            case.hung = True
            case.problems.append("%d connection(s) left open" % left)
    except CaseError as e:
        result.update(verdict="SKIP", why=str(e))
        return result
    except Exception as e:  # a broken case is a failed case
        case.problems.append("driver: %r" % e)
    finally:
        case.stop()
    codes = [str(c) if c is not None else "killed" for c in case.codes]
    result.update(code="/".join(codes) or "-", count=case.count(),
                  lost="yes" if case.lost else "no", hung="yes" if case.hung else "no",
                  seconds=case.seconds)
    faults = case.lost + case.problems
    if not faults:
        result["verdict"] = "ok" if not row.get("known") else "FIXED?"
        if row.get("known"):
            result["why"] = "marked known (%s) but passes now" % row["known"]
    elif row.get("known"):
        result.update(verdict="KNOWN", why="; ".join(faults))
    else:
        result.update(verdict="FAIL", why="; ".join(faults))
    if result["verdict"] != "FAIL" and not args.keep:
        shutil.rmtree(case.dir, ignore_errors=True)
    else:
        result["folder"] = case.dir
    return result


def table(results, total):
    lines = ["| case | exit code | count | lost? | hung? | seconds | verdict | notes |",
             "|---|---|---|---|---|---|---|---|"]
    for r in results:
        notes = r["why"]
        if r["verdict"] == "KNOWN":
            notes = "known fault: %s — %s" % (r["known"], r["why"])
        lines.append("| %s | %s | %s | %s | %s | %.0f | %s | %s |" % (
            r["name"], r["code"], "-" if r["count"] is None else r["count"], r["lost"] or "-",
            r["hung"] or "-", r["seconds"], r["verdict"], notes.replace("|", "/")))
    lines.append("")
    lines.append("%d cases in %.0f s: %d ok, %d known, %d skipped, %d failed" % (
        len(results), total, sum(r["verdict"] == "ok" for r in results),
        sum(r["verdict"] == "KNOWN" for r in results),
        sum(r["verdict"] == "SKIP" for r in results),
        sum(r["verdict"] == "FAIL" for r in results)))
    return "\n".join(lines) + "\n"


def s3_gateway(shared, base):
    """The gateway running in the shared folder, else one of the matrix's own (None when it
    cannot start: the S3 cases are then skipped)."""
    own = not (shared and os.path.exists(os.path.join(shared, "gateway.json")))
    folder = os.path.join(base, "s3gateway") if own else shared
    try:
        if own:
            print("starting an S3 gateway of the matrix's own in " + folder, flush=True)
            start_gateway(folder)
        gateway = S3Gateway(folder, own)
        gateway.make_bucket()
        return gateway
    except (CaseError, OSError, subprocess.SubprocessError) as e:
        print("no S3 gateway, the S3 cases are skipped: %s" % e, flush=True)
        if own:
            stop_gateway(folder)
        return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program-folder", required=True)
    parser.add_argument("--mail-program")
    parser.add_argument("--disk-full-library",
                        help="the build's tests/faults/liborvel_disk_full.so (found there when "
                             "not given)")
    parser.add_argument("--report")
    parser.add_argument("--jobs", type=int, default=8)
    parser.add_argument("--only", nargs="*")
    parser.add_argument("--keep", action="store_true", help="keep every case's folder")
    parser.add_argument("--s3-gateway", help="the folder of a running RADOS Gateway "
                        "(ceph_gateway.py); without one the S3 cases start their own")
    args = parser.parse_args()
    if args.mail_program and not os.path.exists(args.mail_program):
        args.mail_program = None
    if not args.disk_full_library:
        args.disk_full_library = os.path.join(args.program_folder, "..", "tests", "faults",
                                              "liborvel_disk_full.so")
    args.disk_full_library = os.path.abspath(args.disk_full_library)

    rows = [r for r in CASES if not args.only or r["name"] in args.only]
    # The long ones first, so that the short ones fill the gaps.
    rows.sort(key=lambda r: -r.get("limit", START_LIMIT))
    base = tempfile.mkdtemp(prefix="orvel-faults-")
    os.chmod(base, 0o755)
    started = time.monotonic()
    results = []
    args.s3 = None
    try:
        if any(r.get("upload") == "s3" for r in rows):
            args.s3 = s3_gateway(args.s3_gateway, base)
        with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
            futures = {pool.submit(run_case, r, args, base): r for r in rows}
            for f in concurrent.futures.as_completed(futures):
                r = f.result()
                results.append(r)
                print("%-36s %-6s %s" % (r["name"], r["verdict"], r["why"]), flush=True)
    finally:
        if args.s3:
            if not args.keep:
                args.s3.remove_bucket()
            if args.s3.own:
                stop_gateway(args.s3.folder)
    order = [r["name"] for r in CASES]
    results.sort(key=lambda r: order.index(r["name"]))
    text = table(results, time.monotonic() - started)
    print()
    print(text)
    if args.report:
        with open(args.report, "w") as f:
            f.write("# Fault matrix\n\n" + text)
    failed = [r for r in results if r["verdict"] in ("FAIL",)]
    for r in failed:
        print("kept for inspection: %s -> %s" % (r["name"], r.get("folder")))
    if not failed and not args.keep:
        shutil.rmtree(base, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
