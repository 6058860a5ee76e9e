"""The SQL side of the SQL Server stand-in: the catalog of a scenario, the
statements it understands and the answers SQL Server gives to them."""

import os
import re
import time
import uuid

import tds_backup as media
import tds_tokens as t
from tds_backup import Aborted

PAGE = 8192

DEFAULT_SERVER_NAME = "SQLTEST"
PRODUCT_VERSION = (16, 0, 1000)
VERSION_TEXT = ("Microsoft SQL Server 2022 (RTM) - 16.0.1000.6 (X64) \n\tOct  8 2022 05:58:25 \n\t"
                "Copyright (C) 2022 Microsoft Corporation\n\tDeveloper Edition (64-bit) on Linux "
                "(Debian GNU/Linux 12 (bookworm)) <X64>")

TYPE_DESC = {0: "ROWS", 1: "LOG", 2: "FILESTREAM", 4: "FULLTEXT"}

STATEMENT_STARTS = {"SELECT", "SET", "USE", "BACKUP", "DBCC", "PRINT", "DECLARE", "IF", "EXEC",
                    "EXECUTE", "BEGIN", "COMMIT", "ROLLBACK", "INSERT", "UPDATE", "DELETE",
                    "CREATE", "ALTER", "DROP", "RESTORE", "WHILE", "RETURN"}

class SqlError(Exception):
    def __init__(self, *messages):
        super().__init__(messages[0][3])
        self.messages = messages  # (number, state, severity, text)


def syntax_error(near):
    return SqlError((102, 1, 15, "Incorrect syntax near '%s'." % near))


# --- catalog --------------------------------------------------------------------

class Database:
    def __init__(self, name, db_id, settings):
        self.name = name
        self.db_id = db_id
        self.recovery_model = settings.get("recovery_model", "FULL")
        self.files = [dict(f) for f in settings.get("files", [
            {"file_id": 1, "type": 0, "name": name, "size": 1024},
            {"file_id": 2, "type": 1, "name": name + "_log", "size": 128}])]
        self.backup_bytes = int(settings.get("backup_bytes", 65536))
        self.log_backup_bytes = int(settings.get("log_backup_bytes", 8192))
        # Lets tests make a backup take a while without writing gigabytes.
        self.backup_rate = float(settings.get("backup_bytes_per_second", 0))
        # RESTORE VERIFYONLY finds the backup sets of this database damaged.
        self.verify_fails = bool(settings.get("verify_fails", False))


class Catalog:
    def __init__(self, scenario):
        entries = dict(scenario.get("databases", {}))
        self.databases = {}
        self.disk_folders = dict(scenario.get("disk_folders", {}))
        if not any(n.lower() == "master" for n in entries):
            self._add("master", {"recovery_model": "SIMPLE", "files": [
                {"file_id": 1, "type": 0, "name": "master", "size": 512},
                {"file_id": 2, "type": 1, "name": "mastlog", "size": 256}]}, 1)
        next_id = 5
        for name, settings in entries.items():
            if name.lower() == "master":
                self._add(name, settings, 1)
            else:
                self._add(name, settings, next_id)
                next_id += 1

    def _add(self, name, settings, db_id):
        self.databases[name.lower()] = Database(name, db_id, settings)

    def find(self, name):
        return self.databases.get(name.lower())

    def disk_path(self, path):
        """Where a backup device named as the server sees it lies here: a path
        under a mapped folder moves to the local folder, with backslashes turned
        into slashes; any other path is used as it stands."""
        for server_folder, local_folder in self.disk_folders.items():
            if path.startswith(server_folder):
                rest = path[len(server_folder):].replace("\\", "/")
                return os.path.join(local_folder, rest)
        return path

    def by_id(self, db_id):
        for db in self.databases.values():
            if db.db_id == db_id:
                return db
        return None


# --- lexer and statement splitting ------------------------------------------------

class Tok:
    __slots__ = ("kind", "value")

    def __init__(self, kind, value):
        self.kind = kind      # word, qid, str, num, var, op, nl
        self.value = value

    def upper(self):
        return self.value.upper() if self.kind == "word" else None

    def shown(self):
        return self.value


WORD_RE = re.compile(r"[A-Za-z_#][A-Za-z0-9_#$@]*")
NUM_RE = re.compile(r"[0-9]+(\.[0-9]+)?")
VAR_RE = re.compile(r"@@?[A-Za-z0-9_#$@]*")


def lex(text):
    toks = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c == "\n":
            toks.append(Tok("nl", "\n"))
            i += 1
        elif c.isspace():
            i += 1
        elif text.startswith("--", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            if j < 0:
                raise SqlError((113, 1, 15, "Missing end comment mark '*/'."))
            i = j + 2
        elif c == "'" or (c in "Nn" and text.startswith("'", i + 1)):
            start = i + 1 if c == "'" else i + 2
            value, i = _quoted(text, start, "'")
            if value is None:
                raise SqlError((105, 1, 15, "Unclosed quotation mark after the character string '%s'."
                                % text[start:]), (102, 1, 15, "Incorrect syntax near '%s'." % text[start:]))
            toks.append(Tok("str", value))
        elif c == "[":
            value, i = _quoted(text, i + 1, "]")
            if value is None:
                raise SqlError((105, 1, 15, "Unclosed quotation mark after the character string '%s'."
                                % text[i + 1:]))
            toks.append(Tok("qid", value))
        elif c == '"':
            value, i = _quoted(text, i + 1, '"')
            if value is None:
                raise SqlError((105, 1, 15, "Unclosed quotation mark after the character string '%s'."
                                % text[i + 1:]))
            toks.append(Tok("qid", value))
        elif c == "@":
            m = VAR_RE.match(text, i)
            toks.append(Tok("var", m.group(0)))
            i = m.end()
        elif c.isdigit():
            m = NUM_RE.match(text, i)
            toks.append(Tok("num", m.group(0)))
            i = m.end()
        elif WORD_RE.match(text, i):
            m = WORD_RE.match(text, i)
            toks.append(Tok("word", m.group(0)))
            i = m.end()
        else:
            toks.append(Tok("op", c))
            i += 1
    return toks


def _quoted(text, i, close):
    """Reads a quoted token whose closing character is doubled inside it."""
    out = []
    while True:
        j = text.find(close, i)
        if j < 0:
            return None, len(text)
        out.append(text[i:j])
        if text.startswith(close * 2, j):
            out.append(close)
            i = j + 2
        else:
            return "".join(out), j + 1


def split_statements(toks):
    """Splits a batch at ';' and at line starts that begin a new statement."""
    statements, current = [], []
    at_line_start = True
    for tok in toks:
        if tok.kind == "nl":
            at_line_start = True
            continue
        if tok.kind == "op" and tok.value == ";":
            if current:
                statements.append(current)
            current = []
            at_line_start = False
            continue
        if at_line_start and current and tok.upper() in STATEMENT_STARTS:
            statements.append(current)
            current = []
        current.append(tok)
        at_line_start = False
    if current:
        statements.append(current)
    return statements


class Cursor:
    def __init__(self, toks):
        self.toks = toks
        self.pos = 0

    def peek(self, ahead=0):
        i = self.pos + ahead
        return self.toks[i] if i < len(self.toks) else None

    def at_end(self):
        return self.pos >= len(self.toks)

    def next(self):
        tok = self.peek()
        if tok is None:
            self.fail()
        self.pos += 1
        return tok

    def fail(self):
        if self.pos < len(self.toks):
            raise syntax_error(self.toks[self.pos].shown())
        raise syntax_error(self.toks[-1].shown() if self.toks else "")

    def keyword(self, *words):
        tok = self.peek()
        if tok is None or tok.upper() not in words:
            self.fail()
        self.pos += 1
        return tok.upper()

    def accept_keyword(self, *words):
        tok = self.peek()
        if tok is not None and tok.upper() in words:
            self.pos += 1
            return tok.upper()
        return None

    def op(self, char):
        tok = self.peek()
        if tok is None or tok.kind != "op" or tok.value != char:
            self.fail()
        self.pos += 1

    def accept_op(self, char):
        tok = self.peek()
        if tok is not None and tok.kind == "op" and tok.value == char:
            self.pos += 1
            return True
        return False

    def name(self):
        tok = self.peek()
        if tok is None or tok.kind not in ("word", "qid"):
            self.fail()
        self.pos += 1
        return tok.value

    def string(self):
        tok = self.peek()
        if tok is None or tok.kind != "str":
            self.fail()
        self.pos += 1
        return tok.value

    def end(self):
        if not self.at_end():
            self.fail()

    def with_options(self):
        """Reads an optional WITH clause into a set of upper-case option words."""
        options = set()
        if self.accept_keyword("WITH"):
            while True:
                tok = self.next()
                if tok.kind != "word":
                    self.pos -= 1
                    self.fail()
                options.add(tok.upper())
                if self.accept_op("="):
                    self.next()
                if not self.accept_op(","):
                    break
        self.end()
        return options


# --- a session: the statements of one connection -----------------------------------

FILE_COLUMNS = [("file_id", "int", False), ("file_guid", "guid", True), ("type", "tinyint", False),
                ("type_desc", ("nvarchar", 60), True), ("data_space_id", "int", False),
                ("name", ("nvarchar", 128), False), ("physical_name", ("nvarchar", 260), False),
                ("state", "tinyint", True), ("state_desc", ("nvarchar", 60), True),
                ("size", "int", False), ("max_size", "int", False), ("growth", "int", False),
                ("is_media_read_only", "bit", False), ("is_read_only", "bit", False),
                ("is_sparse", "bit", False), ("is_percent_growth", "bit", False),
                ("is_name_reserved", "bit", False)]

DATABASE_COLUMNS = {"name": ("nvarchar", 128), "database_id": "int",
                    "recovery_model_desc": ("nvarchar", 60), "recovery_model": "tinyint",
                    "state_desc": ("nvarchar", 60), "state": "tinyint",
                    "compatibility_level": "tinyint"}
RECOVERY_CODES = {"FULL": 1, "BULK_LOGGED": 2, "SIMPLE": 3}

DBCC_DONE = "DBCC execution completed. If DBCC printed error messages, contact your system administrator."


class Session:
    """Runs the batches of one logged-in connection. `aborted` is a callable
    that tells whether the client cancelled or went away."""

    def __init__(self, catalog, server_name, database, aborted, login_name, spid):
        self.catalog = catalog
        self.server_name = server_name
        self.database = database
        self.login_database = database
        self.aborted = aborted
        self.login_name = login_name
        self.spid = spid

    def check(self):
        if self.aborted() or media.stopping.is_set():
            raise Aborted()

    def sleep(self, seconds):
        end = time.monotonic() + seconds
        while True:
            self.check()
            left = end - time.monotonic()
            if left <= 0:
                return
            time.sleep(min(left, 0.05))

    # The batch: compile everything first (a syntax error runs nothing), then
    # run the statements one by one; a failing statement does not end the batch.
    def run_batch(self, text, w):
        try:
            statements = [self.compile(toks) for toks in split_statements(lex(text))]
        except SqlError as e:
            for number, state, severity, msg in e.messages:
                w.error(number, state, severity, msg)
            w.done(t.DONE_ERROR)
            return
        if not statements:
            w.done(t.DONE_FINAL)
            return
        for i, run in enumerate(statements):
            more = t.DONE_MORE if i + 1 < len(statements) else 0
            try:
                status, curcmd, rows = run(w)
                w.done(status | more, curcmd, rows)
            except SqlError as e:
                for number, state, severity, msg in e.messages:
                    w.error(number, state, severity, msg)
                w.done(t.DONE_ERROR | more)

    def compile(self, toks):
        c = Cursor(toks)
        first = c.peek()
        word = first.upper()
        handler = {"SELECT": self.c_select, "SET": self.c_set, "USE": self.c_use,
                   "BACKUP": self.c_backup, "DBCC": self.c_dbcc, "PRINT": self.c_print,
                   "RESTORE": self.c_restore}.get(word)
        if handler is None:
            raise syntax_error(first.shown())
        c.next()
        return handler(c)

    # --- SET, USE, PRINT
    def c_set(self, c):
        c.next()
        return lambda w: (0, 0, 0)

    def c_use(self, c):
        name = c.name()
        c.end()

        def run(w):
            db = self.catalog.find(name)
            if db is None:
                raise SqlError((911, 1, 16, "Database '%s' does not exist. Make sure that the name "
                                "is entered correctly." % name))
            self.change_database(w, db)
            return 0, 0, 0
        return run

    def change_database(self, w, db):
        w.envchange(t.ENV_DATABASE, db.name, self.database.name)
        w.info(5701, "Changed database context to '%s'." % db.name, state=2)
        self.database = db

    def c_print(self, c):
        tok = c.next()
        c.end()
        text = tok.value

        def run(w):
            w.info(0, text)
            return 0, 0, 0
        return run

    # --- SELECT
    def c_select(self, c):
        if c.accept_op("*"):
            c.keyword("FROM")
            schema = c.name()
            c.op(".")
            table = c.name()
            if schema.lower() == "sys" and table.lower() == "database_files":
                c.end()
                return self.s_files
            if schema.lower() == "sys" and table.lower() == "databases":
                return self.c_databases(c, [(n, n) for n in ("name", "database_id", "recovery_model_desc")])
            raise SqlError((208, 1, 16, "Invalid object name '%s.%s'." % (schema, table)))
        items = self.select_list(c)
        if c.accept_keyword("FROM"):
            schema = c.name()
            c.op(".")
            table = c.name()
            if schema.lower() == "sys" and table.lower() == "databases":
                return self.c_databases(c, items)
            raise SqlError((208, 1, 16, "Invalid object name '%s.%s'." % (schema, table)))
        c.end()
        return self.c_expressions(items)

    def select_list(self, c):
        """Reads `expr [[AS] alias]` items; an expression is one token, or a
        function call with empty parentheses."""
        items = []
        while True:
            tok = c.next()
            expr = tok.value
            if tok.kind == "word" and c.accept_op("("):
                c.op(")")
                expr += "()"
            elif tok.kind not in ("word", "qid", "var", "num", "str"):
                c.pos -= 1
                c.fail()
            alias = None
            if c.accept_keyword("AS"):
                alias = c.name() if c.peek() is None or c.peek().kind != "str" else c.string()
            elif c.peek() is not None and c.peek().kind in ("word", "qid") and c.peek().upper() != "FROM":
                alias = c.name()
            items.append((tok.kind, expr, alias))
            if not c.accept_op(","):
                return items

    def c_databases(self, c, items):
        columns = []
        for item in items:
            kind, expr, alias = item if len(item) == 3 else ("word", item[0], None)
            key = expr.lower()
            if kind not in ("word", "qid") or key not in DATABASE_COLUMNS:
                raise SqlError((207, 1, 16, "Invalid column name '%s'." % expr))
            columns.append((alias or expr, key))
        wanted = None
        if c.accept_keyword("WHERE"):
            column = c.name()
            if column.lower() != "name":
                raise SqlError((207, 1, 16, "Invalid column name '%s'." % column))
            c.op("=")
            wanted = c.string()
        c.end()

        def run(w):
            dbs = sorted(self.catalog.databases.values(), key=lambda d: d.db_id)
            if wanted is not None:
                # Trailing blanks do not count in SQL Server's comparisons.
                dbs = [d for d in dbs if d.name.lower() == wanted.rstrip(" ").lower()]
            meta = [(name, DATABASE_COLUMNS[key], key != "name" and key != "database_id")
                    for name, key in columns]
            values = {"name": lambda d: d.name, "database_id": lambda d: d.db_id,
                      "recovery_model_desc": lambda d: d.recovery_model,
                      "recovery_model": lambda d: RECOVERY_CODES.get(d.recovery_model),
                      "state_desc": lambda d: "ONLINE", "state": lambda d: 0,
                      "compatibility_level": lambda d: 160}
            rows = [[values[key](d) for _, key in columns] for d in dbs]
            w.result(meta, rows)
            return t.DONE_COUNT, t.CURCMD_SELECT, len(rows)
        return run

    def c_expressions(self, items):
        columns, values = [], []
        for kind, expr, alias in items:
            name = alias or ""
            key = expr.lower()
            if kind == "num" and "." not in expr:
                columns.append((name, "int", False))
                values.append(lambda e=expr: int(e))
            elif kind == "str":
                columns.append((name, ("nvarchar", max(1, len(expr))), False))
                values.append(lambda e=expr: e)
            elif key == "@@spid":
                columns.append((name, "smallint", False))
                values.append(lambda: self.spid)
            elif key in ("@@trancount", "@@textsize", "@@error", "@@rowcount"):
                columns.append((name, "int", False))
                values.append(lambda k=key: 2147483647 if k == "@@textsize" else 0)
            elif key in ("@@version", "@@servername", "@@language", "db_name()", "suser_name()",
                         "suser_sname()", "user_name()", "system_user"):
                columns.append((name, ("nvarchar", 300 if key == "@@version" else 128), True))
                values.append(lambda k=key: self.expression_text(k))
            elif kind == "var":
                raise SqlError((137, 2, 15, "Must declare the scalar variable \"%s\"." % expr))
            else:
                raise SqlError((207, 1, 16, "Invalid column name '%s'." % expr))

        def run(w):
            w.result(columns, [[v() for v in values]])
            return t.DONE_COUNT, t.CURCMD_SELECT, 1
        return run

    def expression_text(self, key):
        return {"@@version": VERSION_TEXT, "@@servername": self.server_name,
                "@@language": "us_english", "db_name()": self.database.name,
                "user_name()": "dbo"}.get(key, self.login_name)

    def s_files(self, w):
        db = self.database
        rows = []
        for f in db.files:
            kind = int(f.get("type", 0))
            default_ext = ".ldf" if kind == 1 else (".mdf" if f is db.files[0] else ".ndf")
            physical = f.get("physical_name", "/var/opt/mssql/data/%s%s" % (f["name"], default_ext))
            guid = uuid.uuid5(uuid.NAMESPACE_URL, "%s/%s" % (db.name, f["name"])).bytes_le
            rows.append([int(f["file_id"]), guid, kind, TYPE_DESC.get(kind, "ROWS"),
                         0 if kind == 1 else 1, f["name"], physical, 0, "ONLINE",
                         int(f.get("size", 0)), int(f.get("max_size", 268435456 if kind == 1 else -1)),
                         int(f.get("growth", 8192)), 0, 0, 0, 0, 0])
        w.result(FILE_COLUMNS, rows)
        return t.DONE_COUNT, t.CURCMD_SELECT, len(rows)

    # --- DBCC
    def c_dbcc(self, c):
        command = c.keyword("CHECKDB", "SHRINKFILE", "SHRINKDATABASE", "CHECKTABLE", "FREEPROCCACHE",
                            "SQLPERF", "USEROPTIONS", "TRACEON", "TRACEOFF", "DBINFO", "LOGINFO")
        if command == "CHECKDB":
            return self.c_checkdb(c)
        if command == "SHRINKFILE":
            return self.c_shrinkfile(c)
        raise SqlError((2526, 3, 16, "Incorrect DBCC statement. Check the documentation for the "
                        "correct DBCC syntax and options."))

    def c_checkdb(self, c):
        target = None
        if c.accept_op("("):
            tok = c.next()
            if tok.kind not in ("word", "qid", "str", "num"):
                c.pos -= 1
                c.fail()
            target = tok
            while c.accept_op(","):
                c.next()
            c.op(")")
        options = c.with_options()

        def run(w):
            if target is None or (target.kind == "num" and int(target.value) == 0):
                db = self.database
            elif target.kind == "num":
                db = self.catalog.by_id(int(target.value))
                if db is None:
                    raise SqlError((2520, 11, 16, "Could not find database ID %s. Database may not "
                                    "be activated yet or may be in transition. Reissue the query "
                                    "once the database is available." % target.value))
            else:
                db = self.catalog.find(target.value)
                if db is None:
                    raise SqlError((2520, 11, 16, "Could not find database '%s'. The database "
                                    "either does not exist, or was dropped before a statement "
                                    "tried to use it. Verify if the name is correct." % target.value))
            if "NO_INFOMSGS" not in options:
                w.info(2536, "DBCC results for '%s'." % db.name)
                w.info(8989, "CHECKDB found 0 allocation errors and 0 consistency errors in "
                       "database '%s'." % db.name)
            w.info(2528, DBCC_DONE)
            return 0, 0, 0
        return run

    def c_shrinkfile(self, c):
        c.op("(")
        tok = c.peek()
        if tok is None or tok.kind not in ("num", "word", "qid", "str"):
            c.fail()
        c.next()
        if c.accept_op(","):
            c.next()
        c.op(")")
        c.with_options()

        def run(w):
            db = self.database
            if tok.kind == "num":
                found = [f for f in db.files if str(f["file_id"]) == tok.value.lstrip("0") or
                         (tok.value.strip("0") == "" and int(f["file_id"]) == 0)]
            else:
                found = [f for f in db.files if f["name"].lower() == tok.value.lower()]
            if not found:
                raise SqlError((8985, 1, 16, "Could not locate file '%s' for database '%s' in "
                                "sys.database_files. The file either does not exist, or was "
                                "dropped." % (tok.value, db.name)))
            f = found[0]
            size = int(f.get("size", 0))
            used = max(1, size // 4)
            columns = [("DbId", "smallint", False), ("FileId", "int", False),
                       ("CurrentSize", "int", False), ("MinimumSize", "int", False),
                       ("UsedPages", "int", False), ("EstimatedPages", "int", False)]
            w.result(columns, [[db.db_id, int(f["file_id"]), size, min(size, 1024), used, used]])
            w.info(2528, DBCC_DONE)
            return t.DONE_COUNT, t.CURCMD_SELECT, 1
        return run

    # --- BACKUP
    def c_backup(self, c):
        kind = c.keyword("DATABASE", "LOG")
        name = c.name()
        c.keyword("TO")
        c.keyword("DISK")
        c.op("=")
        path = c.string()
        options = c.with_options()
        return lambda w: self.backup(w, kind, name, path, options)

    def backup(self, w, kind, name, path, options):
        statement = "BACKUP " + kind
        terminating = (3013, 1, 16, "%s is terminating abnormally." % statement)
        db = self.catalog.find(name)
        if db is None:
            raise SqlError((911, 11, 16, "Database '%s' does not exist. Make sure that the name is "
                            "entered correctly." % name), terminating)
        if kind == "LOG" and db.recovery_model == "SIMPLE":
            raise SqlError((4208, 1, 16, "The statement BACKUP LOG is not allowed while the recovery "
                            "model is SIMPLE. Use BACKUP DATABASE or change the recovery model using "
                            "ALTER DATABASE."), terminating)
        payload = db.backup_bytes if kind == "DATABASE" else db.log_backup_bytes
        started = time.monotonic()
        try:
            if not path:
                raise media.DeviceError(FileNotFoundError(2, "empty path"), True)
            set_number = media.write_set(self.catalog.disk_path(path), db.name,
                                         "full" if kind == "DATABASE" else "log", payload,
                                         bool(options & {"INIT", "FORMAT"}), self.check,
                                         self.sleep, db.backup_rate, "CHECKSUM" in options)
        except media.MediaError:
            raise SqlError((3241, 1, 16, "The media family on device '%s' is incorrectly formed. "
                            "SQL Server cannot process this media family." % path), terminating)
        except media.DeviceError as e:
            if e.opening:
                raise SqlError((3201, 1, 16, "Cannot open backup device '%s'. Operating system error %s."
                                % (path, media.os_error_text(e.os_error))), terminating)
            raise SqlError((3202, 1, 16, "Write on '%s' failed: %s"
                            % (path, media.os_error_text(e.os_error))), terminating)
        seconds = max(time.monotonic() - started, 0.001)
        log_pages = 2 if kind == "DATABASE" else max(1, payload // PAGE)
        pages = 0
        if kind == "DATABASE":
            for f in db.files:
                if int(f.get("type", 0)) != 1:
                    file_pages = int(f.get("size", 0))
                    pages += file_pages
                    w.info(4035, "Processed %d pages for database '%s', file '%s' on file %d."
                           % (file_pages, db.name, f["name"], set_number))
        for f in db.files:
            if int(f.get("type", 0)) == 1:
                pages += log_pages
                w.info(4035, "Processed %d pages for database '%s', file '%s' on file %d."
                       % (log_pages, db.name, f["name"], set_number))
        w.info(3014, "%s successfully processed %d pages in %.3f seconds (%.3f MB/sec)."
               % (statement, pages, seconds, payload / 1048576.0 / seconds))
        return 0, 0, 0

    # --- RESTORE VERIFYONLY FROM DISK='...' [WITH FILE = n, CHECKSUM]
    def c_restore(self, c):
        c.keyword("VERIFYONLY")
        c.keyword("FROM")
        c.keyword("DISK")
        c.op("=")
        path = c.string()
        options = {}
        if c.accept_keyword("WITH"):
            while True:
                tok = c.next()
                if tok.kind != "word":
                    c.pos -= 1
                    c.fail()
                value = None
                if c.accept_op("="):
                    value = c.next()
                    if value.kind != "num":
                        c.pos -= 1
                        c.fail()
                    value = int(value.value)
                options[tok.upper()] = value
                if not c.accept_op(","):
                    break
        c.end()
        return lambda w: self.verify(w, path, options)

    def verify(self, w, path, options):
        terminating = (3013, 1, 16, "VERIFY DATABASE is terminating abnormally.")
        number = options.get("FILE") or 1
        try:
            sets = media.read_sets(self.catalog.disk_path(path))
        except OSError as e:
            raise SqlError((3201, 2, 16, "Cannot open backup device '%s'. Operating system error %s."
                            % (path, media.os_error_text(e))), terminating)
        if sets is None:
            raise SqlError((3241, 1, 16, "The media family on device '%s' is incorrectly formed. "
                            "SQL Server cannot process this media family." % path), terminating)
        if number > len(sets):
            raise SqlError((4038, 1, 16, "Cannot find file ID %d on device '%s'." % (number, path)),
                           terminating)
        header = sets[number - 1]
        if "CHECKSUM" in options and not header.get("checksum"):
            raise SqlError((3187, 1, 16, "RESTORE WITH CHECKSUM cannot be specified because the "
                            "backup set does not contain checksum information."), terminating)
        db = self.catalog.find(header.get("database", ""))
        if db is not None and db.verify_fails:
            raise SqlError((3183, 1, 16, "RESTORE detected an error on page (1:%d) in database "
                            "\"%s\" as read from the backup set." % (number + 150, db.name)),
                           terminating)
        w.info(3262, "The backup set on file %d is valid." % number)
        return 0, 0, 0
