"""A real S3 server for the tests: Ceph's RADOS Gateway from Debian's packages, with one
monitor and one OSD on a sparse file, on 127.0.0.1 only, speaking HTTPS with a certificate of
the tests' own authority.

    ceph_gateway.py start --folder <folder>
    ceph_gateway.py stop --folder <folder>

start builds the cluster in <folder> the first time (about 20 s) and starts it again from the
same folder later (a few seconds). Once the gateway answers, it writes <folder>/gateway.json:

    {"port": <https port>, "access_key": ..., "secret_key": ..., "ca": <folder>/ca.crt,
     "conf": <folder>/ceph.conf}

(under another name first, then renamed). stop ends every daemon of the folder and waits for
them. Authentication inside the cluster is off (it is a test's own cluster on one machine); the
gateway checks the S3 signatures of its users like any S3 server."""

import argparse
import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import time
import urllib.request
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

ACCESS_KEY = "ORVELTESTACCESSKEY01"
SECRET_KEY = "OrvelTestSecretKey0123456789abcdefghijKL"
USER = "orvel"
DAEMONS = ("client.rgw.orvel", "osd.0", "mon.a")  # in the order they stop


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_free(port):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


def write_conf(folder, fsid, mon_port, rgw_port):
    f = folder
    conf = f"""[global]
fsid = {fsid}
mon host = v2:127.0.0.1:{mon_port}
public addr = 127.0.0.1
auth cluster required = none
auth service required = none
auth client required = none
auth supported = none
ms mon client mode = crc
ms bind ipv6 = false
osd pool default size = 1
osd pool default min size = 1
osd pool default pg num = 8
osd pool default pgp num = 8
osd crush chooseleaf type = 0
mon allow pool size one = true
mon allow pool delete = true
mon warn on pool no redundancy = false
mon max pg per osd = 1000
mon data avail warn = 1
mon data avail crit = 1
run dir = {f}/run
admin socket = {f}/run/$name.asok
pid file = {f}/run/$name.pid
log file = {f}/log/$name.log
keyring = /dev/null
mon data = {f}/mon/$name
osd data = {f}/osd/$name
osd objectstore = bluestore
bluestore block path = {f}/osd/block
bluestore block create = true
bluestore block size = 8589934592
bluestore fsck on mount = false
osd memory target = 1073741824
bluestore cache autotune = false
bluestore cache size = 134217728
rgw frontends = beast ssl_endpoint=127.0.0.1:{rgw_port} ssl_certificate={f}/server.crt ssl_private_key={f}/server.key
rgw data = {f}/rgw
rgw dns name = localhost
rgw enable usage log = false
rgw lc debug interval = 10
"""
    tmp = os.path.join(folder, "ceph.conf.tmp")
    with open(tmp, "w") as out:
        out.write(conf)
    os.replace(tmp, os.path.join(folder, "ceph.conf"))


def run(folder, *args, check=True, timeout=120):
    cmd = list(args) + ["-c", os.path.join(folder, "ceph.conf")]
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout,
                       text=True)
    if check and r.returncode != 0:
        raise RuntimeError(f"{' '.join(args)} failed ({r.returncode}): {r.stdout[-2000:]}")
    return r.stdout


def wait_https(port, ca, limit_s):
    context = ssl.create_default_context(cafile=ca)
    end = time.time() + limit_s
    while time.time() < end:
        try:
            urllib.request.urlopen(f"https://127.0.0.1:{port}/", context=context, timeout=3)
            return True
        except urllib.error.HTTPError:
            return True
        except Exception:
            time.sleep(0.3)
    return False


def pid_of(folder, name):
    try:
        with open(os.path.join(folder, "run", f"{name}.pid")) as f:
            return int(f.read().strip())
    except (OSError, ValueError):
        return None


def alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except OSError:
        return False


def stop(folder):
    for name in DAEMONS:
        pid = pid_of(folder, name)
        if pid and alive(pid):
            os.kill(pid, signal.SIGTERM)
            end = time.time() + 20
            while alive(pid) and time.time() < end:
                time.sleep(0.1)
            if alive(pid):
                os.kill(pid, signal.SIGKILL)
    try:
        os.remove(os.path.join(folder, "gateway.json"))
    except OSError:
        pass


def start(folder):
    import test_certificates

    folder = os.path.abspath(folder)
    os.makedirs(folder, exist_ok=True)
    stop(folder)  # whatever an earlier run left
    for sub in ("run", "log", "mon", "osd", "rgw"):
        os.makedirs(os.path.join(folder, sub), exist_ok=True)
    state_file = os.path.join(folder, "state.json")
    fresh = not os.path.exists(state_file)
    if fresh:
        state = {"fsid": str(uuid.uuid4()), "mon_port": free_port(), "rgw_port": free_port()}
    else:
        with open(state_file) as f:
            state = json.load(f)
        for key in ("mon_port", "rgw_port"):
            if not port_free(state[key]):
                if key == "mon_port":
                    raise RuntimeError("the monitor's port is taken; remove " + folder)
                state[key] = free_port()
    test_certificates.make_certificates(folder)
    write_conf(folder, state["fsid"], state["mon_port"], state["rgw_port"])
    ca = os.path.join(folder, "ca.crt")

    if fresh:
        monmap = os.path.join(folder, "monmap")
        subprocess.run(["monmaptool", "--create", "--clobber", "--fsid", state["fsid"],
                        "--addv", "a", f"[v2:127.0.0.1:{state['mon_port']}]", monmap],
                       check=True, stdout=subprocess.DEVNULL)
        run(folder, "ceph-mon", "--mkfs", "-i", "a", "--monmap", monmap)
    run(folder, "ceph-mon", "-i", "a")
    if fresh:
        run(folder, "ceph", "osd", "create", timeout=60)
        os.makedirs(os.path.join(folder, "osd", "osd.0"), exist_ok=True)
        run(folder, "ceph-osd", "-i", "0", "--mkfs", timeout=180)
    run(folder, "ceph-osd", "-i", "0")
    if fresh:
        run(folder, "ceph", "osd", "crush", "add", "osd.0", "1", "root=default",
            "host=localhost", timeout=60)
    run(folder, "radosgw", "-n", "client.rgw.orvel")
    if not wait_https(state["rgw_port"], ca, 120):
        raise RuntimeError("the gateway does not answer; see " + os.path.join(folder, "log"))
    if fresh:
        run(folder, "radosgw-admin", "user", "create", "--uid", USER, "--display-name", USER,
            "--access-key", ACCESS_KEY, "--secret", SECRET_KEY, timeout=60)
    with open(state_file + ".tmp", "w") as f:
        json.dump(state, f)
    os.replace(state_file + ".tmp", state_file)
    info = {"port": state["rgw_port"], "access_key": ACCESS_KEY, "secret_key": SECRET_KEY,
            "ca": ca, "conf": os.path.join(folder, "ceph.conf")}
    with open(os.path.join(folder, "gateway.json.tmp"), "w") as f:
        json.dump(info, f)
    os.replace(os.path.join(folder, "gateway.json.tmp"), os.path.join(folder, "gateway.json"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("command", choices=("start", "stop"))
    parser.add_argument("--folder", required=True)
    args = parser.parse_args()
    if args.command == "start":
        try:
            start(args.folder)
        except Exception as e:
            print(f"ceph_gateway: {e}", file=sys.stderr)
            stop(os.path.abspath(args.folder))
            return 1
    else:
        stop(os.path.abspath(args.folder))
    return 0


if __name__ == "__main__":
    sys.exit(main())
