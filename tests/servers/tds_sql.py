"""The SQL side of the SQL Server stand-in: the catalog of a scenario, the
statements it understands and the answers SQL Server gives to them."""

import datetime
import errno
import os
import re
import threading
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

DEFAULT_DATA_PATH = "/var/opt/mssql/data/"
# Log sequence numbers as SQL Server shows them: numeric(25,0).
FIRST_LSN = 37000000012800001
LSN_STEP = 1000000

STATEMENT_STARTS = {"SELECT", "SET", "USE", "BACKUP", "DBCC", "PRINT", "DECLARE", "IF", "EXEC",
                    "EXECUTE", "BEGIN", "COMMIT", "ROLLBACK", "INSERT", "UPDATE", "DELETE",
                    "CREATE", "ALTER", "DROP", "RESTORE", "WHILE", "RETURN"}

class SqlError(Exception):
    def __init__(self, *messages):
        super().__init__(messages[0][3])
        self.messages = messages  # (number, state, severity, text)


def syntax_error(near):
    return SqlError((102, 1, 15, "Incorrect syntax near '%s'." % near))


def in_restore(db):
    return SqlError((927, 2, 14, "Database '%s' cannot be opened. It is in the middle of a "
                     "restore." % db.name))


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
        self.state = "ONLINE"             # or RESTORING
        self.user_access = "MULTI_USER"   # or SINGLE_USER, RESTRICTED_USER
        self.family_guid = str(uuid.uuid5(uuid.NAMESPACE_URL, "family/" + name)).upper()
        # The end of its log, and where its next log backup starts.
        self.lsn = FIRST_LSN
        self.log_backup_lsn = FIRST_LSN
        self.restored_lsn = None  # how far a restore in progress has brought it
        self.placeholders = []   # local files standing for its restored files


def physical_name(db, f):
    """Where a database file lies as the server names it."""
    if f.get("physical_name"):
        return f["physical_name"]
    kind = int(f.get("type", 0))
    ext = ".ldf" if kind == 1 else (".mdf" if f is db.files[0] else ".ndf")
    return (db.log_folder if kind == 1 else db.data_folder) + f["name"] + ext


class Catalog:
    def __init__(self, scenario):
        entries = dict(scenario.get("databases", {}))
        self.databases = {}
        self.disk_folders = dict(scenario.get("disk_folders", {}))
        self.data_path = scenario.get("default_data_path", DEFAULT_DATA_PATH)
        self.log_path = scenario.get("default_log_path", self.data_path)
        self.corrupt = {n.lower() for n in scenario.get("checkdb_corrupt", [])}
        # Restores, drops and backups change the catalog from several sessions.
        self.lock = threading.RLock()
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
        self.next_id = next_id

    def _add(self, name, settings, db_id):
        db = Database(name, db_id, settings)
        db.data_folder, db.log_folder = self.data_path, self.log_path
        self.databases[name.lower()] = db
        return self.databases[name.lower()]

    def create(self, name, settings):
        db = self._add(name, settings, self.next_id)
        self.next_id += 1
        return db

    def remove(self, db):
        del self.databases[db.name.lower()]
        for path in db.placeholders:
            try:
                os.unlink(path)
            except OSError:
                pass

    def user_of_file(self, physical, besides=None):
        """The database other than `besides` that uses that physical file."""
        for db in self.databases.values():
            if db is besides:
                continue
            for f in db.files:
                if physical_name(db, f).lower() == physical.lower():
                    return db
        return None

    def mapped_path(self, path):
        """The local path of a server path under a mapped folder, else None."""
        for server_folder in self.disk_folders:
            if path.startswith(server_folder):
                return self.disk_path(path)
        return None

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
                    "compatibility_level": "tinyint", "user_access_desc": ("nvarchar", 60),
                    "user_access": "tinyint"}
RECOVERY_CODES = {"FULL": 1, "BULK_LOGGED": 2, "SIMPLE": 3}
STATE_CODES = {"ONLINE": 0, "RESTORING": 1}
USER_ACCESS_CODES = {"MULTI_USER": 0, "SINGLE_USER": 1, "RESTRICTED_USER": 2}

CAST_TYPES = ("NVARCHAR", "VARCHAR", "NCHAR", "CHAR", "SYSNAME", "INT", "BIGINT", "SMALLINT",
              "TINYINT")

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
                   "RESTORE": self.c_restore, "ALTER": self.c_alter,
                   "DROP": self.c_drop}.get(word)
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
            if db.state == "RESTORING":
                raise in_restore(db)
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
        """Reads `expr [[AS] alias]` items as (kind, expr, alias, argument, cast);
        an expression is one token, or a function call with no argument or one
        string argument, optionally in CAST(... AS type[(length)]), which gives
        cast as (TYPE, length or None)."""
        items = []
        while True:
            cast = None
            if c.peek() is not None and c.peek().upper() == "CAST" and c.peek(1) is not None \
                    and c.peek(1).kind == "op" and c.peek(1).value == "(":
                c.next()
                c.next()
                cast = True
            tok = c.next()
            expr = tok.value
            argument = None
            if tok.kind == "word" and c.accept_op("("):
                if not c.accept_op(")"):
                    argument = c.string()
                    c.op(")")
                expr += "()"
            elif tok.kind not in ("word", "qid", "var", "num", "str"):
                c.pos -= 1
                c.fail()
            if cast:
                c.keyword("AS")
                type_name = c.keyword(*CAST_TYPES)
                length = None
                if c.accept_op("("):
                    size = c.next()
                    if size.kind != "num" and size.upper() != "MAX":
                        c.pos -= 1
                        c.fail()
                    length = int(size.value) if size.kind == "num" else 4000
                    c.op(")")
                c.op(")")
                cast = (type_name, 128 if type_name == "SYSNAME" else length)
            alias = None
            if c.accept_keyword("AS"):
                alias = c.name() if c.peek() is None or c.peek().kind != "str" else c.string()
            elif c.peek() is not None and c.peek().kind in ("word", "qid") and c.peek().upper() != "FROM":
                alias = c.name()
            items.append((tok.kind, expr, alias, argument, cast))
            if not c.accept_op(","):
                return items

    def c_databases(self, c, items):
        columns = []
        for item in items:
            kind, expr, alias, _, cast = item if len(item) == 5 else ("word", item[0], None, None,
                                                                     None)
            key = expr.lower()
            if kind not in ("word", "qid") or key not in DATABASE_COLUMNS or cast:
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
                      "state_desc": lambda d: d.state, "state": lambda d: STATE_CODES[d.state],
                      "user_access_desc": lambda d: d.user_access,
                      "user_access": lambda d: USER_ACCESS_CODES[d.user_access],
                      "compatibility_level": lambda d: 160}
            rows = [[values[key](d) for _, key in columns] for d in dbs]
            w.result(meta, rows)
            return t.DONE_COUNT, t.CURCMD_SELECT, len(rows)
        return run

    def c_expressions(self, items):
        columns, values = [], []
        for kind, expr, alias, argument, cast in items:
            name = alias or ""
            key = expr.lower()
            if key == "serverproperty()" and argument is not None:
                # SQL Server answers sql_variant, NULL for a property it does not know.
                columns.append((name, "sql_variant", True))
                values.append(lambda a=argument: self.server_property(a))
            elif key == "db_id()" and argument is not None:
                columns.append((name, "int", True))
                values.append(lambda a=argument: self.database_id(a))
            elif argument is not None:
                raise SqlError((195, 10, 15, "'%s' is not a recognized built-in function name."
                                % expr[:-2]))
            elif kind == "num" and "." not in expr:
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
            if cast:
                type_name, length = cast
                value = values[-1]
                if type_name in ("INT", "BIGINT", "SMALLINT", "TINYINT"):
                    columns[-1] = (name, type_name.lower(), True)
                    values[-1] = lambda v=value: None if v() is None else int(v())
                else:
                    columns[-1] = (name, ("nvarchar", length or 30), True)
                    values[-1] = lambda v=value, n=length or 30: None if v() is None else str(v())[:n]

        def run(w):
            w.result(columns, [[v() for v in values]])
            return t.DONE_COUNT, t.CURCMD_SELECT, 1
        return run

    def server_property(self, name):
        values = {"instancedefaultdatapath": self.catalog.data_path,
                  "instancedefaultlogpath": self.catalog.log_path,
                  "instancedefaultbackuppath": self.catalog.data_path,
                  "servername": self.server_name, "machinename": self.server_name,
                  "productversion": "%d.%d.%d.6" % PRODUCT_VERSION,
                  "edition": "Developer Edition (64-bit)", "engineedition": "3"}
        return values.get(name.lower())

    def database_id(self, name):
        with self.catalog.lock:
            db = self.catalog.find(name.rstrip(" "))
            return db.db_id if db is not None else None

    def expression_text(self, key):
        return {"@@version": VERSION_TEXT, "@@servername": self.server_name,
                "@@language": "us_english", "db_name()": self.database.name,
                "user_name()": "dbo"}.get(key, self.login_name)

    def s_files(self, w):
        db = self.database
        rows = []
        for f in db.files:
            kind = int(f.get("type", 0))
            physical = physical_name(db, f)
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
            if db.state == "RESTORING":
                raise in_restore(db)
            if db.name.lower() in self.catalog.corrupt:
                # Damage that CHECKDB reports even WITH NO_INFOMSGS, as SQL Server does.
                page = 153
                w.error(8939, 98, 16, "Table error: Object ID 0, index ID -1, partition ID 0, "
                        "alloc unit ID 72057594043236352 (type Unknown), page (1:%d). Test "
                        "(IS_OFF (BUF_IOERR, pBUF->bstat)) failed. Values are 133129 and -4."
                        % page)
                w.info(8989, "CHECKDB found 0 allocation errors and 1 consistency errors in "
                       "database '%s'." % db.name)
                w.info(8958, "repair_allow_data_loss is the minimum repair level for the errors "
                       "found by DBCC CHECKDB (%s)." % db.name)
                w.info(2528, DBCC_DONE)
                return t.DONE_ERROR, 0, 0
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
        if db.state == "RESTORING":
            raise SqlError(in_restore(db).messages[0], terminating)
        payload = db.backup_bytes if kind == "DATABASE" else db.log_backup_bytes
        started = time.monotonic()
        details, ends = self.backup_details(db, kind)
        try:
            if not path:
                raise media.DeviceError(FileNotFoundError(2, "empty path"), True)
            set_number = media.write_set(self.catalog.disk_path(path), db.name,
                                         "full" if kind == "DATABASE" else "log", payload,
                                         bool(options & {"INIT", "FORMAT"}), self.check,
                                         self.sleep, db.backup_rate, "CHECKSUM" in options,
                                         details)
        except media.MediaError:
            raise SqlError((3241, 1, 16, "The media family on device '%s' is incorrectly formed. "
                            "SQL Server cannot process this media family." % path), terminating)
        except media.DeviceError as e:
            if e.opening:
                raise SqlError((3201, 1, 16, "Cannot open backup device '%s'. Operating system error %s."
                                % (path, media.os_error_text(e.os_error))), terminating)
            raise SqlError((3202, 1, 16, "Write on '%s' failed: %s"
                            % (path, media.os_error_text(e.os_error))), terminating)
        with self.catalog.lock:
            db.lsn = max(db.lsn, ends)
            if kind == "LOG":
                db.log_backup_lsn = max(db.log_backup_lsn, ends)
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

    def backup_details(self, db, kind):
        """The header fields of a new backup set of db, and the LSN its log
        reaches. Work goes on between two backups, so each one moves the log on.
        A log backup starts where the previous one ended."""
        with self.catalog.lock:
            end = db.lsn + LSN_STEP
            if kind == "DATABASE":
                first, last, checkpoint = end - LSN_STEP // 2, end, end - LSN_STEP // 2
            else:
                first, last, checkpoint = db.log_backup_lsn, end, end - LSN_STEP // 2
            now = datetime.datetime.now()
            files = []
            for f in db.files:
                kind_code = int(f.get("type", 0))
                files.append({"file_id": int(f["file_id"]), "type": kind_code, "name": f["name"],
                              "physical_name": physical_name(db, f),
                              "size": int(f.get("size", 0)),
                              "max_size": int(f.get("max_size", 268435456 if kind_code == 1 else -1)),
                              "growth": int(f.get("growth", 8192))})
            details = {"recovery_model": db.recovery_model, "family_guid": db.family_guid,
                       "first_lsn": first, "last_lsn": last, "checkpoint_lsn": checkpoint,
                       "database_backup_lsn": db.lsn if kind == "LOG" else 0,
                       "started": now.strftime("%Y-%m-%d %H:%M:%S.%f")[:-3],
                       "finished": now.strftime("%Y-%m-%d %H:%M:%S.%f")[:-3],
                       "user": self.login_name, "server": self.server_name, "files": files}
            return details, last

    # --- RESTORE VERIFYONLY FROM DISK='...' [WITH FILE = n, CHECKSUM]
    def c_restore(self, c):
        what = c.keyword("VERIFYONLY", "FILELISTONLY", "HEADERONLY", "DATABASE", "LOG")
        if what in ("DATABASE", "LOG"):
            return self.c_restore_database(c, what)
        if what != "VERIFYONLY":
            return self.c_restore_list(c, what)
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
        sets = self.media_sets(path, "VERIFY DATABASE", check_digests=True)
        if number > len(sets):
            raise SqlError((4038, 1, 16, "Cannot find file ID %d on device '%s'." % (number, path)),
                           terminating)
        if not sets[number - 1]["intact"]:
            raise SqlError((3189, 1, 16, "Damage to the backup set was detected."), terminating)
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

    # --- RESTORE FILELISTONLY | HEADERONLY FROM DISK = '...' [WITH FILE = n]
    def restore_options(self, c):
        """Reads a RESTORE statement's WITH clause: {OPTION: value}, MOVE as a
        list of (logical, physical)."""
        options = {"MOVE": []}
        if c.accept_keyword("WITH"):
            while True:
                word = c.keyword(*RESTORE_OPTIONS)
                if word == "MOVE":
                    logical = c.string()
                    c.keyword("TO")
                    options["MOVE"].append((logical, c.string()))
                elif c.accept_op("="):
                    tok = c.next()
                    if tok.kind not in ("num", "str", "word"):
                        c.pos -= 1
                        c.fail()
                    options[word] = int(tok.value) if tok.kind == "num" else tok.value
                else:
                    options[word] = None
                if not c.accept_op(","):
                    break
        c.end()
        return options

    def c_restore_list(self, c, what):
        c.keyword("FROM")
        c.keyword("DISK")
        c.op("=")
        path = c.string()
        options = self.restore_options(c)
        return lambda w: self.restore_list(w, what, path, options)

    def media_sets(self, path, statement, check_digests=False):
        """The set headers of a media file, or the errors SQL Server gives.
        With check_digests, a set this server did not write makes the whole
        media file foreign."""
        terminating = (3013, 1, 16, "%s is terminating abnormally." % statement)
        try:
            local = self.catalog.disk_path(path)
            sets = media.read_sets(local, check_digests)
        except OSError as e:
            text = media.os_error_text(e)
            if e.errno == errno.ENOENT and os.path.isdir(os.path.dirname(local) or "."):
                text = "2(The system cannot find the file specified.)"
            raise SqlError((3201, 2, 16, "Cannot open backup device '%s'. Operating system error %s."
                            % (path, text)), terminating)
        if not sets or (check_digests and any(h["intact"] is None for h in sets)):
            raise SqlError((3241, 1, 16, "The media family on device '%s' is incorrectly formed. "
                            "SQL Server cannot process this media family." % path), terminating)
        return sets

    def chosen_set(self, sets, path, options, statement):
        number = options.get("FILE") or 1
        if not isinstance(number, int) or number > len(sets):
            raise SqlError((4038, 1, 16, "Cannot find file ID %s on device '%s'." % (number, path)),
                           (3013, 1, 16, "%s is terminating abnormally." % statement))
        return sets[number - 1]

    def restore_list(self, w, what, path, options):
        statement = "RESTORE FILELIST" if what == "FILELISTONLY" else "RESTORE HEADERONLY"
        sets = self.media_sets(path, statement)
        if what == "HEADERONLY":
            rows = [self.header_row(h, i + 1) for i, h in enumerate(sets)]
            w.result(HEADER_COLUMNS, rows)
            return t.DONE_COUNT, t.CURCMD_SELECT, len(rows)
        header = self.chosen_set(sets, path, options, statement)
        rows = []
        for f in header.get("files", []):
            kind = int(f.get("type", 0))
            max_size = int(f.get("max_size", -1))
            guid = uuid.uuid5(uuid.NAMESPACE_URL, "%s/%s" % (header.get("family_guid"),
                                                                f["name"])).bytes_le
            rows.append([f["name"], f.get("physical_name", ""), "L" if kind == 1 else "D",
                         None if kind == 1 else "PRIMARY", int(f.get("size", 0)) * PAGE,
                         35184372080640 if max_size < 0 else max_size * PAGE, int(f["file_id"]),
                         0, None, guid, 0, 0, int(f.get("size", 0)) * PAGE // 4, 512,
                         0 if kind == 1 else 1, None, 0, None, 0, 1, None, None])
        w.result(FILELIST_COLUMNS, rows)
        return t.DONE_COUNT, t.CURCMD_SELECT, len(rows)

    def header_row(self, h, position):
        full = h.get("kind") == "full"
        started = parse_time(h.get("started"))
        finished = parse_time(h.get("finished"))
        family = uuid.UUID(h["family_guid"]).bytes_le if h.get("family_guid") else None
        size = int(h.get("bytes", 0)) + PAGE
        return [None, None, 1 if full else 2, None, 0, position, 2, h.get("user", "sa"),
                h.get("server", self.server_name), h.get("database", ""), 957, started, size,
                h.get("first_lsn", 0), h.get("last_lsn", 0), h.get("checkpoint_lsn", 0),
                h.get("database_backup_lsn", 0), started, finished, 0, 0, 1033, 196609, 160,
                4608, PRODUCT_VERSION[0], PRODUCT_VERSION[1], PRODUCT_VERSION[2],
                h.get("server", self.server_name), 512, family, family,
                "SQL_Latin1_General_CP1_CI_AS", family, 0, 0, 0, 0,
                1 if h.get("checksum") else 0, 0, 0, 0, 0, 0, family, None,
                h.get("recovery_model", "FULL"), None, None,
                "Database" if full else "Transaction Log", None, size, 0, None, None, None]

    # --- RESTORE DATABASE | LOG [name] FROM DISK = '...' WITH ...
    def c_restore_database(self, c, what):
        name = c.name()
        path = None
        if c.accept_keyword("FROM"):
            c.keyword("DISK")
            c.op("=")
            path = c.string()
        options = self.restore_options(c)
        if path is None and "RECOVERY" not in options:
            c.fail()
        return lambda w: self.restore(w, what, name, path, options)

    def restore(self, w, what, name, path, options):
        statement = "RESTORE " + what
        terminating = (3013, 1, 16, "%s is terminating abnormally." % statement)
        recovery = "NORECOVERY" not in options and "STANDBY" not in options
        started = time.monotonic()
        if path is not None:
            # Read and checked before the catalog is locked: a large set takes a while.
            sets = self.media_sets(path, statement, check_digests=True)
            if not all(h["intact"] for h in sets):
                raise SqlError((3241, 1, 16, "The media family on device '%s' is incorrectly "
                                "formed. SQL Server cannot process this media family." % path),
                               (3013, 1, 16, "%s is terminating abnormally." % statement))
            header = self.chosen_set(sets, path, options, statement)
        with self.catalog.lock:
            target = self.catalog.find(name)
            if path is None:
                # RESTORE DATABASE x WITH RECOVERY: ends a restore sequence.
                if target is None:
                    raise SqlError((3701, 1, 11, "Cannot find the database '%s'." % name),
                                   terminating)
                target.state = "ONLINE"
                w.info(3014, "%s successfully processed 0 pages in 0.001 seconds (0.000 MB/sec)."
                       % statement)
                return 0, 0, 0
            number = options.get("FILE") or 1
            wanted = "full" if what == "DATABASE" else "log"
            if header.get("kind") != wanted:
                raise SqlError((3135, 2, 16, "The backup set in file '%s' was created by %s and "
                                "cannot be used for this restore operation."
                                % (path, "BACKUP DATABASE" if header.get("kind") == "full"
                                   else "BACKUP LOG")), terminating)
            if what == "DATABASE":
                db = self.restore_full(target, name, header, options, terminating)
            else:
                db = self.restore_log(target, name, header, terminating)
            db.state = "ONLINE" if recovery else "RESTORING"
        pages = 0
        for f in header.get("files", []):
            is_log = int(f.get("type", 0)) == 1
            if what == "DATABASE":
                file_pages = 2 if is_log else int(f.get("size", 0))
            else:
                file_pages = max(1, int(header.get("bytes", 0)) // PAGE) if is_log else 0
            pages += file_pages
            w.info(4035, "Processed %d pages for database '%s', file '%s' on file %d."
                   % (file_pages, db.name, f["name"], number))
        stats = options.get("STATS") or (10 if "STATS" in options else None)
        if isinstance(stats, int) and stats > 0:
            for percent in range(stats, 101, stats):
                w.info(3211, "%d percent processed." % percent)
        seconds = max(time.monotonic() - started, 0.001)
        w.info(3014, "%s successfully processed %d pages in %.3f seconds (%.3f MB/sec)."
               % (statement, pages, seconds, int(header.get("bytes", 0)) / 1048576.0 / seconds))
        return 0, 0, 0

    def restore_full(self, target, name, header, options, terminating):
        same = target is not None and target.family_guid == header.get("family_guid")
        if target is not None and "REPLACE" not in options and target.state != "RESTORING":
            if not same:
                raise SqlError((3154, 4, 16, "The backup set holds a backup of a database other "
                                "than the existing '%s' database." % target.name), terminating)
            if target.recovery_model != "SIMPLE":
                raise SqlError((3159, 1, 16, "The tail of the log for the database \"%s\" has not "
                                "been backed up. Use BACKUP LOG WITH NORECOVERY to backup the log "
                                "if it contains work you do not want to lose. Use the WITH REPLACE "
                                "or WITH STOPAT clause of the RESTORE statement to just overwrite "
                                "the contents of the log." % target.name), terminating)
        files = [dict(f) for f in header.get("files", [])]
        moves = {}
        for logical, physical in options["MOVE"]:
            if not any(f["name"].lower() == logical.lower() for f in files):
                raise SqlError((3234, 2, 16, "Logical file '%s' is not part of database '%s'. Use "
                                "RESTORE FILELISTONLY to list the logical file names."
                                % (logical, name)), terminating)
            moves[logical.lower()] = physical
        problems = []
        for f in files:
            f["physical_name"] = moves.get(f["name"].lower(), f.get("physical_name", ""))
            user = self.catalog.user_of_file(f["physical_name"], besides=target)
            local = self.catalog.mapped_path(f["physical_name"])
            if local is not None and not os.path.isdir(os.path.dirname(local)):
                problems += [(5133, 1, 16, "Directory lookup for the file \"%s\" failed with the "
                              "operating system error 3(The system cannot find the path "
                              "specified.)." % f["physical_name"]),
                             (3156, 3, 16, "File '%s' cannot be restored to '%s'. Use WITH MOVE "
                              "to identify a valid location for the file."
                              % (f["name"], f["physical_name"]))]
            elif user is not None:
                problems += [(1834, 1, 16, "The file '%s' cannot be overwritten.  It is being used "
                              "by database '%s'." % (f["physical_name"], user.name)),
                             (3156, 4, 16, "File '%s' cannot be restored to '%s'. Use WITH MOVE "
                              "to identify a valid location for the file."
                              % (f["name"], f["physical_name"]))]
        if problems:
            problems.append((3119, 1, 16, "Problems were identified while planning for the "
                             "RESTORE statement. Previous messages provide details."))
            raise SqlError(*problems, terminating)
        if target is not None:
            self.catalog.remove(target)
        db = self.catalog.create(name, {"recovery_model": header.get("recovery_model", "FULL"),
                                        "files": files})
        db.family_guid = header.get("family_guid")
        db.lsn = db.log_backup_lsn = db.restored_lsn = int(header.get("last_lsn", 0))
        for f in files:
            local = self.catalog.mapped_path(f["physical_name"])
            if local is None:
                continue
            open(local, "wb").close()
            db.placeholders.append(local)
        return db

    def restore_log(self, target, name, header, terminating):
        if target is None or target.state != "RESTORING":
            raise SqlError((3117, 4, 16, "The log or differential backup cannot be restored "
                            "because no files are ready to rollforward."), terminating)
        first, last = int(header.get("first_lsn", 0)), int(header.get("last_lsn", 0))
        at = target.restored_lsn if target.restored_lsn is not None else target.lsn
        if target.family_guid != header.get("family_guid") or first > at:
            raise SqlError((4305, 1, 16, "The log in this backup set begins at LSN %d, which is "
                            "too recent to apply to the database. An earlier log backup that "
                            "includes LSN %d can be restored." % (first, at)), terminating)
        if last <= at:
            raise SqlError((4326, 1, 16, "The log in this backup set terminates at LSN %d, which "
                            "is too early to apply to the database. A more recent log backup that "
                            "includes LSN %d can be restored." % (last, at)), terminating)
        target.restored_lsn = target.lsn = target.log_backup_lsn = last
        return target

    # --- ALTER DATABASE [name] SET ...
    def c_alter(self, c):
        c.keyword("DATABASE")
        name = c.name()
        c.keyword("SET")
        words = []
        while not c.at_end():
            tok = c.next()
            if tok.kind == "word":
                words.append(tok.upper())
        if not words:
            c.fail()

        def run(w):
            with self.catalog.lock:
                db = self.catalog.find(name)
                if db is None:
                    raise SqlError((5011, 9, 14, "User does not have permission to alter database "
                                    "'%s', the database does not exist, or the database is not in "
                                    "a state that allows access checks." % name),
                                   (5069, 1, 16, "ALTER DATABASE statement failed."))
                if db.state == "RESTORING":
                    raise SqlError(in_restore(db).messages[0],
                                   (5069, 1, 16, "ALTER DATABASE statement failed."))
                if words[0] in USER_ACCESS_CODES:
                    db.user_access = words[0]
                elif words[0] == "RECOVERY" and len(words) > 1 and words[1] in RECOVERY_CODES:
                    db.recovery_model = words[1]
            if "ROLLBACK" in words:
                w.info(5060, "Nonqualified transactions are being rolled back. Estimated "
                       "rollback completion: 100%.")
            return 0, 0, 0
        return run

    # --- DROP DATABASE [IF EXISTS] [name] [, ...]
    def c_drop(self, c):
        c.keyword("DATABASE")
        if_exists = False
        if c.accept_keyword("IF"):
            c.keyword("EXISTS")
            if_exists = True
        names = [c.name()]
        while c.accept_op(","):
            names.append(c.name())
        c.end()

        def run(w):
            errors = []
            with self.catalog.lock:
                for name in names:
                    db = self.catalog.find(name)
                    if db is None:
                        if not if_exists:
                            errors.append((3701, 1, 11, "Cannot drop the database '%s', because it "
                                           "does not exist or you do not have permission." % name))
                    elif db.db_id <= 4:
                        errors.append((3708, 1, 16, "Cannot drop the database '%s' because it is "
                                       "a system database." % db.name))
                    elif db is self.database:
                        errors.append((3702, 4, 16, "Cannot drop database \"%s\" because it is "
                                       "currently in use." % db.name))
                    else:
                        self.catalog.remove(db)
            if errors:
                raise SqlError(*errors)
            return 0, 0, 0
        return run


def parse_time(text):
    try:
        return datetime.datetime.strptime(text, "%Y-%m-%d %H:%M:%S.%f")
    except (TypeError, ValueError):
        return None


RESTORE_OPTIONS = ("FILE", "MOVE", "RECOVERY", "NORECOVERY", "STANDBY", "REPLACE", "STATS",
                   "CHECKSUM", "NO_CHECKSUM", "CONTINUE_AFTER_ERROR", "STOP_ON_ERROR",
                   "RESTRICTED_USER", "KEEP_REPLICATION", "KEEP_CDC", "BUFFERCOUNT",
                   "MAXTRANSFERSIZE", "BLOCKSIZE", "NOUNLOAD", "UNLOAD", "REWIND", "NOREWIND",
                   "LOADHISTORY", "PASSWORD", "MEDIAPASSWORD", "MEDIANAME")

LSN = ("numeric", 25)
FILELIST_COLUMNS = [
    ("LogicalName", ("nvarchar", 128), True), ("PhysicalName", ("nvarchar", 260), True),
    ("Type", ("nvarchar", 1), True), ("FileGroupName", ("nvarchar", 128), True),
    ("Size", ("numeric", 20), True), ("MaxSize", ("numeric", 20), True),
    ("FileId", "bigint", True), ("CreateLSN", LSN, True), ("DropLSN", LSN, True),
    ("UniqueId", "guid", True), ("ReadOnlyLSN", LSN, True), ("ReadWriteLSN", LSN, True),
    ("BackupSizeInBytes", "bigint", True), ("SourceBlockSize", "int", True),
    ("FileGroupId", "int", True), ("LogGroupGUID", "guid", True),
    ("DifferentialBaseLSN", LSN, True), ("DifferentialBaseGUID", "guid", True),
    ("IsReadOnly", "bit", True), ("IsPresent", "bit", True),
    ("TDEThumbprint", ("nvarchar", 64), True), ("SnapshotUrl", ("nvarchar", 360), True)]

HEADER_COLUMNS = [
    ("BackupName", ("nvarchar", 128), True), ("BackupDescription", ("nvarchar", 255), True),
    ("BackupType", "smallint", True), ("ExpirationDate", "datetime", True),
    ("Compressed", "tinyint", True), ("Position", "smallint", True),
    ("DeviceType", "tinyint", True), ("UserName", ("nvarchar", 128), True),
    ("ServerName", ("nvarchar", 128), True), ("DatabaseName", ("nvarchar", 128), True),
    ("DatabaseVersion", "int", True), ("DatabaseCreationDate", "datetime", True),
    ("BackupSize", ("numeric", 20), True), ("FirstLSN", LSN, True), ("LastLSN", LSN, True),
    ("CheckpointLSN", LSN, True), ("DatabaseBackupLSN", LSN, True),
    ("BackupStartDate", "datetime", True), ("BackupFinishDate", "datetime", True),
    ("SortOrder", "smallint", True), ("CodePage", "smallint", True),
    ("UnicodeLocaleId", "int", True), ("UnicodeComparisonStyle", "int", True),
    ("CompatibilityLevel", "tinyint", True), ("SoftwareVendorId", "int", True),
    ("SoftwareVersionMajor", "int", True), ("SoftwareVersionMinor", "int", True),
    ("SoftwareVersionBuild", "int", True), ("MachineName", ("nvarchar", 128), True),
    ("Flags", "int", True), ("BindingID", "guid", True), ("RecoveryForkID", "guid", True),
    ("Collation", ("nvarchar", 128), True), ("FamilyGUID", "guid", True),
    ("HasBulkLoggedData", "bit", True), ("IsSnapshot", "bit", True), ("IsReadOnly", "bit", True),
    ("IsSingleUser", "bit", True), ("HasBackupChecksums", "bit", True), ("IsDamaged", "bit", True),
    ("BeginsLogChain", "bit", True), ("HasIncompleteMetaData", "bit", True),
    ("IsForceOffline", "bit", True), ("IsCopyOnly", "bit", True),
    ("FirstRecoveryForkID", "guid", True), ("ForkPointLSN", LSN, True),
    ("RecoveryModel", ("nvarchar", 60), True), ("DifferentialBaseLSN", LSN, True),
    ("DifferentialBaseGUID", "guid", True), ("BackupTypeDescription", ("nvarchar", 60), True),
    ("BackupSetGUID", "guid", True), ("CompressedBackupSize", "bigint", True),
    ("Containment", "tinyint", True), ("KeyAlgorithm", ("nvarchar", 32), True),
    ("EncryptorThumbprint", ("nvarchar", 64), True), ("EncryptorType", ("nvarchar", 32), True)]
