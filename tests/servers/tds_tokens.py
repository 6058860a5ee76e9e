"""TDS 7.x wire encoding for the SQL Server stand-in: packets, PRELOGIN,
LOGIN7 decoding and the response tokens the server sends."""

import datetime
import struct

# Packet types
PKT_SQL_BATCH = 0x01
PKT_PRE_TDS7_LOGIN = 0x02
PKT_RPC = 0x03
PKT_REPLY = 0x04
PKT_ATTENTION = 0x06
PKT_BULK = 0x07
PKT_TRANSACTION = 0x0E
PKT_LOGIN7 = 0x10
PKT_SSPI = 0x11
PKT_PRELOGIN = 0x12

STATUS_EOM = 0x01

# PRELOGIN options and encryption values
PL_VERSION, PL_ENCRYPTION, PL_INSTOPT, PL_THREADID, PL_MARS = 0, 1, 2, 3, 4
PL_TERMINATOR = 0xFF
ENCRYPT_OFF, ENCRYPT_ON, ENCRYPT_NOT_SUP, ENCRYPT_REQ = 0, 1, 2, 3

# TDS versions as the LOGIN7 record carries them (read little-endian)
TDS70 = 0x70000000
TDS71 = 0x71000001
TDS72 = 0x72090002
TDS73 = 0x730B0003
TDS74 = 0x74000004

# Tokens
TOK_COLMETADATA = 0x81
TOK_ERROR = 0xAA
TOK_INFO = 0xAB
TOK_LOGINACK = 0xAD
TOK_ROW = 0xD1
TOK_ENVCHANGE = 0xE3
TOK_DONE = 0xFD

DONE_FINAL = 0x00
DONE_MORE = 0x01
DONE_ERROR = 0x02
DONE_COUNT = 0x10
DONE_ATTN = 0x20

CURCMD_SELECT = 0xC1

ENV_DATABASE = 1
ENV_LANGUAGE = 2
ENV_PACKETSIZE = 4
ENV_COLLATION = 7

# SQL_Latin1_General_CP1_CI_AS: LCID 0x0409, case/kana/width insensitive, sort id 52
COLLATION = bytes([0x09, 0x04, 0xD0, 0x00, 0x34])

# Column types
TYPE_INT1 = 0x30
TYPE_BIT = 0x32
TYPE_INT2 = 0x34
TYPE_INT4 = 0x38
TYPE_INTN = 0x26
TYPE_GUID = 0x24
TYPE_NVARCHAR = 0xE7
TYPE_INT8 = 0x7F
TYPE_DATETIMN = 0x6F
TYPE_NUMERICN = 0x6C
TYPE_VARIANT = 0x62

HEADER = struct.Struct(">BBHHBB")


class ProtocolError(Exception):
    pass


_DATETIME_EPOCH = datetime.datetime(1900, 1, 1)


def _numeric_size(precision):
    """Bytes of a numeric value of that precision, its sign byte included."""
    return 5 if precision <= 9 else 9 if precision <= 19 else 13 if precision <= 28 else 17


def ucs2(text):
    return text.encode("utf-16-le")


def b_varchar(text):
    data = ucs2(text)
    return bytes([len(data) // 2]) + data


def us_varchar(text):
    data = ucs2(text)
    return struct.pack("<H", len(data) // 2) + data


def packets(msg_type, payload, packet_size, spid, first_id=1):
    """Splits one message into TDS packets of at most packet_size bytes."""
    body = packet_size - HEADER.size
    out = []
    pos = 0
    packet_id = first_id
    while True:
        chunk = payload[pos:pos + body]
        pos += len(chunk)
        last = pos >= len(payload)
        out.append(HEADER.pack(msg_type, STATUS_EOM if last else 0, len(chunk) + HEADER.size,
                               spid, packet_id & 0xFF, 0) + chunk)
        packet_id += 1
        if last:
            return b"".join(out)


# --- PRELOGIN ---------------------------------------------------------------

def parse_prelogin(payload):
    """Returns {option: bytes} of a PRELOGIN message."""
    options = {}
    pos = 0
    while pos < len(payload) and payload[pos] != PL_TERMINATOR:
        if pos + 5 > len(payload):
            raise ProtocolError("truncated PRELOGIN option table")
        token, offset, length = struct.unpack_from(">BHH", payload, pos)
        if offset + length > len(payload):
            raise ProtocolError("PRELOGIN option %d points outside the message" % token)
        options[token] = payload[offset:offset + length]
        pos += 5
    return options


def build_prelogin(version, encryption):
    """Server PRELOGIN answer: VERSION, ENCRYPTION, INSTOPT, THREADID, MARS."""
    major, minor, build = version
    entries = [
        (PL_VERSION, struct.pack(">BBHH", major, minor, build, 0)),
        (PL_ENCRYPTION, bytes([encryption])),
        (PL_INSTOPT, b"\x00"),
        (PL_THREADID, b""),
        (PL_MARS, b"\x00"),
    ]
    table_len = 5 * len(entries) + 1
    table = b""
    data = b""
    for token, value in entries:
        table += struct.pack(">BHH", token, table_len + len(data), len(value))
        data += value
    return table + bytes([PL_TERMINATOR]) + data


# --- LOGIN7 -----------------------------------------------------------------

def decode_password(raw):
    """Undoes the LOGIN7 password scrambling (nibble swap, then XOR 0xA5)."""
    plain = bytearray()
    for b in raw:
        b ^= 0xA5
        plain.append(((b & 0x0F) << 4) | (b >> 4))
    return bytes(plain).decode("utf-16-le", errors="replace")


def parse_login7(payload):
    if len(payload) < 94 - 8:
        raise ProtocolError("LOGIN7 record too short")
    (length, tds_version, packet_size) = struct.unpack_from("<III", payload, 0)

    def text(offset_pos, scrambled=False):
        off, chars = struct.unpack_from("<HH", payload, offset_pos)
        raw = payload[off:off + chars * 2]
        if len(raw) != chars * 2:
            raise ProtocolError("LOGIN7 field outside the record")
        if scrambled:
            return decode_password(raw)
        return raw.decode("utf-16-le", errors="replace")

    return {
        "length": length,
        "tds_version": tds_version,
        "packet_size": packet_size,
        "host": text(36),
        "user": text(40),
        "password": text(44, scrambled=True),
        "app": text(48),
        "server": text(52),
        "library": text(60),
        "language": text(64),
        "database": text(68),
    }


# --- response tokens ----------------------------------------------------------

class TokenWriter:
    """Collects the token stream of one response."""

    def __init__(self, tds_version, server_name):
        self.tds_version = tds_version
        self.server_name = server_name
        self.parts = []

    def data(self):
        return b"".join(self.parts)

    def clear(self):
        self.parts = []

    def _token_with_length(self, token, body):
        self.parts.append(bytes([token]) + struct.pack("<H", len(body)) + body)

    def envchange(self, kind, new, old):
        if kind == ENV_COLLATION:
            body = bytes([kind, len(new)]) + new + bytes([len(old)]) + old
        else:
            body = bytes([kind]) + b_varchar(new) + b_varchar(old)
        self._token_with_length(TOK_ENVCHANGE, body)

    def message(self, error, number, state, severity, text, line=1):
        line_field = struct.pack("<I" if self.tds_version >= TDS72 else "<H", line)
        body = (struct.pack("<iBB", number, state, severity) + us_varchar(text)
                + b_varchar(self.server_name) + b_varchar("") + line_field)
        self._token_with_length(TOK_ERROR if error else TOK_INFO, body)

    def error(self, number, state, severity, text):
        self.message(True, number, state, severity, text)

    def info(self, number, text, state=1, severity=0):
        self.message(False, number, state, severity, text)

    def loginack(self, prog_name, prog_version):
        major, minor, build = prog_version
        body = (bytes([1]) + struct.pack(">I", self.tds_version) + b_varchar(prog_name)
                + struct.pack(">BBH", major, minor, build))
        self._token_with_length(TOK_LOGINACK, body)

    def done(self, status=DONE_FINAL, curcmd=0, rowcount=0):
        fmt = "<HHQ" if self.tds_version >= TDS72 else "<HHI"
        self.parts.append(bytes([TOK_DONE]) + struct.pack(fmt, status, curcmd, rowcount))

    def result(self, columns, rows):
        """One result set: columns are (name, kind, nullable) with kind one of
        'int', 'smallint', 'tinyint', 'bigint', 'bit', 'guid', 'datetime' (a
        datetime.datetime), ('numeric', precision) (an int, scale 0),
        'sql_variant' (a str, sent as nvarchar inside) or ('nvarchar', max_chars)."""
        out = [bytes([TOK_COLMETADATA]), struct.pack("<H", len(columns))]
        for name, kind, nullable in columns:
            user_type = struct.pack("<I" if self.tds_version >= TDS72 else "<H", 0)
            flags = struct.pack("<H", 0x01 if nullable else 0x00)
            out.append(user_type + flags + self._type_info(kind, nullable) + b_varchar(name))
        for row in rows:
            out.append(bytes([TOK_ROW]))
            for (name, kind, nullable), value in zip(columns, row):
                out.append(self._value(kind, nullable, value))
        self.parts.append(b"".join(out))

    _FIXED = {"int": (TYPE_INT4, 4), "smallint": (TYPE_INT2, 2), "tinyint": (TYPE_INT1, 1),
              "bit": (TYPE_BIT, 1), "bigint": (TYPE_INT8, 8)}

    def _type_info(self, kind, nullable):
        if isinstance(kind, tuple) and kind[0] == "numeric":
            return bytes([TYPE_NUMERICN, _numeric_size(kind[1]), kind[1], 0])
        if kind == "datetime":
            return bytes([TYPE_DATETIMN, 8])
        if kind == "sql_variant":
            return bytes([TYPE_VARIANT]) + struct.pack("<I", 8016)
        if isinstance(kind, tuple):
            max_bytes = kind[1] * 2
            info = bytes([TYPE_NVARCHAR]) + struct.pack("<H", max_bytes)
            if self.tds_version >= TDS71:
                info += COLLATION
            return info
        if kind == "guid":
            return bytes([TYPE_GUID, 16])
        type_id, size = self._FIXED[kind]
        if nullable:
            return bytes([0x68 if kind == "bit" else TYPE_INTN, size])
        return bytes([type_id])

    def _value(self, kind, nullable, value):
        if isinstance(kind, tuple) and kind[0] == "numeric":
            if value is None:
                return b"\x00"
            size = _numeric_size(kind[1])
            value = int(value)
            return (bytes([size, 1 if value >= 0 else 0])
                    + abs(value).to_bytes(size - 1, "little"))
        if kind == "datetime":
            if value is None:
                return b"\x00"
            since = value - _DATETIME_EPOCH
            ticks = round((since.seconds + since.microseconds / 1e6) * 300)
            return b"\x08" + struct.pack("<iI", since.days, ticks)
        if kind == "sql_variant":
            if value is None:
                return struct.pack("<I", 0)
            data = ucs2(str(value))
            inner = bytes([TYPE_NVARCHAR, 7]) + COLLATION + struct.pack("<H", 8000) + data
            return struct.pack("<I", len(inner)) + inner
        if isinstance(kind, tuple):
            if value is None:
                return b"\xff\xff"
            data = ucs2(str(value))
            return struct.pack("<H", len(data)) + data
        if kind == "guid":
            return b"\x00" if value is None else b"\x10" + value
        _, size = self._FIXED[kind]
        fmt = {1: "<B", 2: "<h", 4: "<i", 8: "<q"}[size]
        if nullable:
            if value is None:
                return b"\x00"
            return bytes([size]) + struct.pack(fmt, int(value))
        return struct.pack(fmt, int(value or 0))
