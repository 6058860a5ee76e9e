#!/usr/bin/python3
"""OpenSSH's sshd on 127.0.0.1 with its own configuration, host key and port, for the SFTP
interoperability test and the SFTP benchmark.

Usage: openssh_server.py --dir <work folder> --port-file <file> [--rsa-host-key]
                         [--config <sshd_config line>]...

Makes in the work folder (which must exist): host keys, the client keys "client_key" (no
passphrase) and "client_key_pass" (passphrase "geheimwort"), the only authorized keys, the configuration, and a folder
"upload" where the client may write. Logins: public key only, SFTP only (internal-sftp).
The server has an ed25519 and an ECDSA host key, and an RSA one with --rsa-host-key; each
--config line is added to the configuration (to limit the algorithms the server offers). sshd runs as the user that starts this script;
when that is root it runs as "nobody" instead (an unprivileged sshd needs no privilege
separation folder, and root logins stay out); PAM does the account check then. The
login user name is written to <work folder>/user.

Writes "<port>\\n" to the port file once sshd accepts connections; stops sshd on SIGTERM or
when the process that started it is gone.
"""

import argparse
import os
import pwd
import signal
import socket
import subprocess
import sys
import time

from server_process import write_port


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--rsa-host-key", action="store_true")
    parser.add_argument("--config", action="append", default=[])
    args = parser.parse_args()
    work = os.path.abspath(args.dir)
    run_as = "nobody" if os.getuid() == 0 else pwd.getpwuid(os.getuid()).pw_name
    entry = pwd.getpwnam(run_as)

    keys = [("host_key", "ed25519"), ("host_key_ecdsa", "ecdsa"), ("client_key", "ed25519")]
    if args.rsa_host_key:
        keys.append(("host_key_rsa", "rsa"))
    for name, kind in keys:
        path = os.path.join(work, name)
        if not os.path.exists(path):
            subprocess.run(["ssh-keygen", "-q", "-t", kind, "-N", "", "-f", path], check=True)
    path = os.path.join(work, "client_key_pass")
    if not os.path.exists(path):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "geheimwort", "-f", path],
                       check=True)
    with open(os.path.join(work, "authorized_keys"), "w") as out:
        for name in ("client_key.pub", "client_key_pass.pub"):
            with open(os.path.join(work, name)) as f:
                out.write(f.read())
    os.makedirs(os.path.join(work, "upload"), exist_ok=True)
    with open(os.path.join(work, "user"), "w") as f:
        f.write(run_as + "\n")

    port = free_port()
    config = os.path.join(work, "sshd_config")
    with open(config, "w") as f:
        f.write(f"""Port {port}
ListenAddress 127.0.0.1
HostKey {work}/host_key
HostKey {work}/host_key_ecdsa
PidFile {work}/sshd.pid
AuthorizedKeysFile {work}/authorized_keys
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM yes
StrictModes no
AllowTcpForwarding no
X11Forwarding no
Subsystem sftp internal-sftp
LogLevel ERROR
""")
        if args.rsa_host_key:
            f.write(f"HostKey {work}/host_key_rsa\n")
        for line in args.config:
            f.write(line + "\n")
    if os.getuid() == 0:
        os.chmod(work, 0o755)
        for name in os.listdir(work):
            os.chown(os.path.join(work, name), entry.pw_uid, entry.pw_gid)
        os.chown(work, entry.pw_uid, entry.pw_gid)
        # The client (this user) keeps its key; sshd only reads the public half.
        os.chown(os.path.join(work, "client_key"), 0, 0)
        os.chown(os.path.join(work, "client_key_pass"), 0, 0)

    def as_user():
        if os.getuid() == 0:
            os.setgid(entry.pw_gid)
            os.setgroups([])
            os.setuid(entry.pw_uid)

    sshd = subprocess.Popen(["/usr/sbin/sshd", "-D", "-e", "-f", config], preexec_fn=as_user)

    def leave(*_):
        sshd.terminate()
        try:
            sshd.wait(5)
        except subprocess.TimeoutExpired:
            sshd.kill()
        os._exit(0)

    signal.signal(signal.SIGTERM, leave)
    deadline = time.time() + 10
    while time.time() < deadline:
        if sshd.poll() is not None:
            sys.exit("sshd ended: %s" % sshd.returncode)
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            break
        except OSError:
            time.sleep(0.05)
    write_port(args.port_file, port)

    parent = os.getppid()
    while True:
        time.sleep(0.5)
        if os.getppid() != parent or sshd.poll() is not None:
            leave()


if __name__ == "__main__":
    main()
