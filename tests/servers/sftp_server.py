#!/usr/bin/python3
"""An SSH / SFTP server on 127.0.0.1 for the SFTP tests (asyncssh).

Usage: sftp_server.py --scenario <scenario.json> --port-file <file>

Listens on a port the system picks and writes "<port>\\n" to the port file once it
accepts connections (written under another name and renamed). Serves until SIGTERM,
until the process that started it is gone, or until the time limit has passed.

Scenario (JSON), every key optional:
  user, password      the one account; default backup / geheim.
  home                the folder the SFTP session sees as "/" (must exist).
  host_key            file of the server's private host key; made (ed25519) when it
                      does not exist, with its public line in <host_key>.pub (an ECDSA
                      key when the file name contains "ecdsa").
  auth                "password" (default), "kbdint" or "none".
  kbdint_prompts      the questions of keyboard-interactive login: [[prompt, echo], ...];
                      default [["Code: ", true]]. The login succeeds when every answer is "".
  refuse_setstat      true: every attribute change is answered "permission denied".
  refuse_remove       true: every removal of a file is answered "permission denied".
  drop_after_bytes    n: the connection is cut once more than n bytes were written.
  lose_after_bytes    n: writes past the first n bytes of a file are acknowledged but
                      not stored (a broken disk or a quota that lies).
  stall_reads_after   n: read requests past the first n bytes of a file are never answered.
  stall_writes_after  n: write requests past the first n bytes of a file are never answered.
  cut_after_session   n: the files a session wrote are cut to their first n bytes once the
                      session has ended (a server disk that loses what it had confirmed).
  time_limit          seconds after which the server ends by itself (300).

Log lines (stderr): logins, refusals, faults injected.
"""

import argparse
import asyncio
import json
import logging
import os
import signal
import sys

import asyncssh
from server_process import end_with_parent, write_port

log = logging.getLogger("sftp_server")


def load_scenario(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def host_key(path):
    if not os.path.exists(path):
        kind = "ecdsa-sha2-nistp256" if "ecdsa" in os.path.basename(path) else "ssh-ed25519"
        key = asyncssh.generate_private_key(kind)
        key.write_private_key(path)
        key.write_public_key(path + ".pub")
    return asyncssh.read_private_key(path)


def make_server_class(scenario):
    user = scenario.get("user", "backup")
    password = scenario.get("password", "geheim")
    auth = scenario.get("auth", "password")
    prompts = [tuple(p) for p in scenario.get("kbdint_prompts", [["Code: ", True]])]

    class Server(asyncssh.SSHServer):
        def begin_auth(self, username):
            return auth != "none"

        def password_auth_supported(self):
            return auth == "password"

        def validate_password(self, username, pw):
            ok = username == user and pw == password
            log.info("password login %s: %s", username, "accepted" if ok else "refused")
            return ok

        def kbdint_auth_supported(self):
            return auth == "kbdint"

        def get_kbdint_challenge(self, username, lang, submethods):
            return "", "", "", prompts

        def validate_kbdint_response(self, username, responses):
            ok = username == user and all(r == "" for r in responses)
            log.info("keyboard-interactive login %s: %s %r", username,
                     "accepted" if ok else "refused", responses)
            return ok

    return Server


def make_sftp_class(scenario):
    home = scenario["home"].encode()
    refuse_setstat = scenario.get("refuse_setstat", False)
    drop_after = scenario.get("drop_after_bytes")
    lose_after = scenario.get("lose_after_bytes")
    stall_after = scenario.get("stall_reads_after")
    stall_writes_after = scenario.get("stall_writes_after")
    cut_after_session = scenario.get("cut_after_session")

    class Sftp(asyncssh.SFTPServer):
        def __init__(self, chan):
            super().__init__(chan, chroot=home)
            self.written = 0
            self.written_files = set()
            log.info("sftp channel opened")

        def exit(self):
            super().exit()
            if cut_after_session is None:
                return
            for path in self.written_files:
                if os.path.exists(path) and os.path.getsize(path) > cut_after_session:
                    os.truncate(path, cut_after_session)
                    log.info("%r cut to %d bytes", path, cut_after_session)

        def setstat(self, path, attrs):
            if refuse_setstat:
                log.info("setstat refused: %r", path)
                raise asyncssh.SFTPError(asyncssh.FX_PERMISSION_DENIED, "setstat refused")
            return super().setstat(path, attrs)

        def fsetstat(self, file_obj, attrs):
            if refuse_setstat:
                raise asyncssh.SFTPError(asyncssh.FX_PERMISSION_DENIED, "setstat refused")
            return super().fsetstat(file_obj, attrs)

        async def write(self, file_obj, offset, data):
            if stall_writes_after is not None and offset + len(data) > stall_writes_after:
                log.info("write at %d left unanswered", offset)
                await asyncio.sleep(3600)
            self.written += len(data)
            self.written_files.add(file_obj.name)
            if drop_after is not None and self.written > drop_after:
                log.info("connection cut after %d bytes", self.written)
                self.connection.abort()
                return len(data)
            if lose_after is not None and offset + len(data) > lose_after:
                keep = max(0, lose_after - offset)
                if keep:
                    super().write(file_obj, offset, data[:keep])
                return len(data)
            return super().write(file_obj, offset, data)

        async def read(self, file_obj, offset, size):
            if stall_after is not None and offset >= stall_after:
                log.info("read at %d left unanswered", offset)
                await asyncio.sleep(3600)
            return super().read(file_obj, offset, size)

        def remove(self, path):
            if scenario.get("refuse_remove", False):
                log.info("remove refused: %r", path)
                raise asyncssh.SFTPError(asyncssh.FX_PERMISSION_DENIED, "remove refused")
            return super().remove(path)

    return Sftp


async def serve(scenario, port_file):
    key = host_key(scenario["host_key"])
    server = await asyncssh.create_server(
        make_server_class(scenario), "127.0.0.1", 0,
        server_host_keys=[key],
        sftp_factory=make_sftp_class(scenario),
        allow_scp=False)
    port = server.sockets[0].getsockname()[1]
    write_port(port_file, port)
    log.info("listening on %d", port)
    await asyncio.Event().wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scenario", required=True)
    parser.add_argument("--port-file", required=True)
    args = parser.parse_args()
    logging.basicConfig(stream=sys.stderr, level=logging.INFO,
                        format="%(asctime)s %(name)s %(message)s")
    logging.getLogger("asyncssh").setLevel(logging.WARNING)
    scenario = load_scenario(args.scenario)
    scenario.setdefault("home", os.getcwd())
    scenario.setdefault("host_key", os.path.join(os.path.dirname(args.scenario), "host_key"))

    def leave(*_):
        os._exit(0)

    signal.signal(signal.SIGTERM, leave)
    signal.signal(signal.SIGALRM, leave)
    signal.alarm(int(scenario.get("time_limit", 300)))
    end_with_parent()
    asyncio.run(serve(scenario, args.port_file))


if __name__ == "__main__":
    main()
