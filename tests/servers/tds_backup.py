"""Backup media files of the SQL Server stand-in: each backup set is the
magic, a one-line JSON header and a payload of the configured size, streamed
out in chunks so that sets of several GiB never sit in memory.

The header holds what RESTORE HEADERONLY and FILELISTONLY tell and what a
restore needs: database, kind (full | log), bytes (payload length), checksum
(written WITH CHECKSUM), recovery_model, family_guid, first_lsn, last_lsn,
checkpoint_lsn, database_backup_lsn, started, finished (local time,
YYYY-MM-DD HH:MM:SS.mmm), user, server, position, files (rows of
sys.database_files at backup time: file_id, type, name, physical_name, size,
max_size, growth) and digest: the SHA-256 of the header line with the digest
itself zeroed, followed by the payload. A restore accepts a set only when the
digest still matches, so any byte changed after the backup is found."""

import errno
import hashlib
import json
import os
import threading
import time

BACKUP_MAGIC = b"ORVELSIMBACKUP01"
CHUNK = 1 << 20


class Aborted(Exception):
    """The client cancelled the request or went away, or the server stops."""


# Set when the server is asked to stop: running backups cut their partial set
# off before the process ends.
stopping = threading.Event()
_writes_lock = threading.Lock()
_active_writes = 0


def wait_for_writes(seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        with _writes_lock:
            if _active_writes == 0:
                return
        time.sleep(0.02)


_path_locks = {}
_path_locks_guard = threading.Lock()


def _path_lock(path):
    with _path_locks_guard:
        return _path_locks.setdefault(os.path.abspath(path), threading.Lock())


WORDS = ("lager artikel bestand menge preis kunde lieferant rechnung datum konto buchung "
         "posten lieferung auftrag nummer seite zeile wert summe netto brutto steuer").split()


def _pattern_pool():
    """A fixed 1 MiB of lower-case text; slices of it make compressible payload."""
    state = 12345
    words = []
    size = 0
    while size < CHUNK + 8192:
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        word = WORDS[(state >> 16) % len(WORDS)]
        words.append(word)
        size += len(word) + 1
    return " ".join(words).encode("ascii")


_POOL = _pattern_pool()


def payload_chunk(offset, length, kind):
    """Payload bytes [offset, offset+length) of a backup set. Each 4 KiB page
    starts with its own number, so no page repeats; only lower-case text and
    digits occur, so the magic never does."""
    out = []
    first_page = offset // 4096
    last_page = (offset + length + 4095) // 4096
    tag = b"log" if kind == "log" else b"dat"
    for page in range(first_page, last_page):
        head = b"\n%s page %012d " % (tag, page)
        start = (page * 7919) % CHUNK
        out.append(head + _POOL[start:start + 4096 - len(head)])
    data = b"".join(out)
    skip = offset - first_page * 4096
    return data[skip:skip + length]


def existing_sets(f):
    """Counts the backup sets of an open media file; None if it is not one."""
    f.seek(0, os.SEEK_END)
    size = f.tell()
    pos, count = 0, 0
    while pos < size:
        f.seek(pos)
        if f.read(len(BACKUP_MAGIC)) != BACKUP_MAGIC:
            return None
        header = f.readline(HEADER_LIMIT)
        try:
            length = int(json.loads(header.decode("utf-8"))["bytes"])
        except (ValueError, KeyError, TypeError):
            return None
        pos = f.tell() + length
        if pos > size:
            return None
        count += 1
    return count


OS_ERRORS = {errno.ENOENT: (3, "The system cannot find the path specified."),
             errno.ENOTDIR: (3, "The system cannot find the path specified."),
             errno.EACCES: (5, "Access is denied."),
             errno.EPERM: (5, "Access is denied."),
             errno.EISDIR: (5, "Access is denied."),
             errno.EROFS: (19, "The media is write protected."),
             errno.ENOSPC: (112, "There is not enough space on the disk.")}


def os_error_text(exc):
    code, text = OS_ERRORS.get(exc.errno, (exc.errno or 0, exc.strerror or str(exc)))
    return "%d(%s)" % (code, text)



class MediaError(Exception):
    """The file at the device path holds something other than backup sets."""


class DeviceError(Exception):
    def __init__(self, os_error, opening):
        super().__init__(str(os_error))
        self.os_error = os_error
        self.opening = opening


DIGEST_FIELD = b'"digest": "'
DIGEST_LENGTH = 64
HEADER_LIMIT = 1 << 20


def _zeroed_digest(line):
    """The header line with the digest's value zeroed, and where that value
    starts; None when the line has no digest of the expected form."""
    at = line.rfind(DIGEST_FIELD)
    if at < 0:
        return None, None
    start = at + len(DIGEST_FIELD)
    if line[start + DIGEST_LENGTH:start + DIGEST_LENGTH + 1] != b'"':
        return None, None
    return line[:start] + b"0" * DIGEST_LENGTH + line[start + DIGEST_LENGTH:], start


def read_sets(path, check_digests=False):
    """The headers of a media file's backup sets, in order; None if it is not one.
    With check_digests, each header also gets "intact": None when the set has no
    digest (this server did not write it), else whether its bytes still match
    it. Raises OSError when the file cannot be opened."""
    with _path_lock(path), open(path, "rb") as f:
        f.seek(0, os.SEEK_END)
        size = f.tell()
        pos, headers = 0, []
        while pos < size:
            f.seek(pos)
            if f.read(len(BACKUP_MAGIC)) != BACKUP_MAGIC:
                return None
            line = f.readline(HEADER_LIMIT)
            try:
                header = json.loads(line.decode("utf-8"))
                length = int(header["bytes"])
            except (ValueError, KeyError, TypeError):
                return None
            pos = f.tell() + length
            if length < 0 or pos > size:
                return None
            if check_digests:
                header["intact"] = _digest_matches(f, line, length)
            headers.append(header)
        return headers


def _digest_matches(f, line, length):
    zeroed, start = _zeroed_digest(line)
    if zeroed is None:
        return None
    digest = hashlib.sha256(zeroed)
    left = length
    while left > 0:
        chunk = f.read(min(CHUNK, left))
        if not chunk:
            return False
        digest.update(chunk)
        left -= len(chunk)
    return digest.hexdigest().encode("ascii") == line[start:start + DIGEST_LENGTH]


def write_set(path, database, kind, length, overwrite, check, sleep, rate=0, checksum=False,
              details=None):
    """Writes one backup set and returns its position in the media file.
    `details` are further header fields. `check` raises Aborted when the
    request is cancelled; `sleep` waits while checking. A set that cannot be
    finished is cut off again, so the file never holds a partial set."""
    global _active_writes
    with _writes_lock:
        _active_writes += 1
    try:
        with _path_lock(path):
            return _write_set(path, database, kind, length, overwrite, check, sleep, rate,
                              checksum, details or {})
    finally:
        with _writes_lock:
            _active_writes -= 1


def _write_set(path, database, kind, length, overwrite, check, sleep, rate, checksum, details):
    existed = os.path.exists(path)
    try:
        f = open(path, "r+b" if existed and not overwrite else "w+b")
    except OSError as exc:
        raise DeviceError(exc, True)
    with f:
        number = 0
        if not overwrite:
            number = existing_sets(f)
            if number is None:
                raise MediaError(path)
        f.seek(0, os.SEEK_END)
        start = f.tell()
        try:
            fields = {"database": database, "kind": kind, "bytes": length}
            if checksum:
                fields["checksum"] = True
            fields.update(details)
            fields["position"] = number + 1
            # The digest comes last; it is filled in once the payload is written.
            fields.pop("digest", None)
            fields["digest"] = "0" * DIGEST_LENGTH
            line = json.dumps(fields).encode("utf-8") + b"\n"
            f.write(BACKUP_MAGIC + line)
            digest = hashlib.sha256(line)
            done = 0
            begin = time.monotonic()
            while done < length:
                check()
                n = min(CHUNK, length - done)
                chunk = payload_chunk(done, n, kind)
                f.write(chunk)
                digest.update(chunk)
                done += n
                if rate > 0:
                    sleep(begin + done / rate - time.monotonic())
            _, at = _zeroed_digest(line)
            f.seek(start + len(BACKUP_MAGIC) + at)
            f.write(digest.hexdigest().encode("ascii"))
            f.flush()
        except (Aborted, OSError) as exc:
            f.truncate(start)
            f.close()
            if start == 0 and not existed:
                os.unlink(path)
            if isinstance(exc, OSError):
                raise DeviceError(exc, False)
            raise
    return number + 1
