#!/usr/bin/env bash
# SFTP upload speed: our SFTP session against OpenSSH's sftp command line, the same archive
# (512 MiB of random bytes) to the same local OpenSSH sshd (own configuration, keys and port,
# started here), directly and through a proxy that adds 20 ms and 50 ms round trip. Both are timed
# with their connection and login. Prints each run's seconds and the ratio sftp time / our time
# (1.0 = as fast as OpenSSH; the goal is at least 1.0 at every delay).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
"$root/scripts/setup.sh"
build=${ORVEL_BENCH_BUILD_DIR:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DORVEL_BUILD_TESTS=OFF -DORVEL_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j"${ORVEL_BENCH_JOBS:-2}" --target sftp_bench tgputtylib
size_mib=${ORVEL_BENCH_MIB:-512}
runs=${ORVEL_BENCH_RUNS:-1}
delays=${ORVEL_BENCH_DELAYS:-0 20 50}

# In memory where there is some: a disk writing back the uploads of the previous run only adds
# noise, to both tools alike.
tmp=/tmp
[ -d /dev/shm ] && [ -w /dev/shm ] && tmp=/dev/shm
work=$(mktemp -d "$tmp/orvel-sftp-bench.XXXXXX")
chmod 755 "$work"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/sshd"
/usr/bin/python3 "$root/tests/servers/openssh_server.py" --dir "$work/sshd" \
    --port-file "$work/sshd.port" 2>"$work/sshd.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/sshd.port" ] && break; sleep 0.1; done
[ -s "$work/sshd.port" ] || { cat "$work/sshd.log"; echo "sshd did not start"; exit 1; }
sshd_port=$(cat "$work/sshd.port")
user=$(cat "$work/sshd/user")
key="$work/sshd/client_key"
upload="$work/sshd/upload"

head -c "$((size_mib * 1024 * 1024))" /dev/urandom >"$work/archive.zip"

seconds() { # command... : wall seconds of the command
    local t0 t1
    t0=$(date +%s.%N)
    "$@" >/dev/null
    t1=$(date +%s.%N)
    echo "$t1 - $t0" | bc -l
}

ours() {
    "$build/scripts/bench/sftp/sftp_bench" 127.0.0.1 "$1" "$user" "$key" "$work/archive.zip" \
        "$upload/ours.zip"
}

theirs() {
    printf 'put %s %s\n' "$work/archive.zip" "$upload/theirs.zip" >"$work/batch"
    seconds sftp -q -b "$work/batch" -i "$key" -P "$1" -o BatchMode=yes \
        -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR \
        "$user@127.0.0.1"
}

printf '%-8s %-5s %10s %10s %8s\n' "rtt" "run" "ours s" "sftp s" "ratio"
for delay in $delays; do
    port=$sshd_port
    if [ "$delay" != 0 ]; then
        rm -f "$work/proxy.port"
        /usr/bin/python3 "$root/scripts/bench/sftp/delay_proxy.py" --target-port "$sshd_port" \
            --rtt-ms "$delay" --port-file "$work/proxy.port" 2>/dev/null &
        proxy=$!
        pids+=($proxy)
        for _ in $(seq 100); do [ -s "$work/proxy.port" ] && break; sleep 0.1; done
        port=$(cat "$work/proxy.port")
    fi
    for run in $(seq "$runs"); do
        o=$(ours "$port")
        t=$(theirs "$port")
        cmp -s "$work/archive.zip" "$upload/ours.zip" || { echo "our upload differs"; exit 1; }
        cmp -s "$work/archive.zip" "$upload/theirs.zip" || { echo "sftp's upload differs"; exit 1; }
        rm -f "$upload/ours.zip" "$upload/theirs.zip"
        printf '%-8s %-5s %10.2f %10.2f %8.2f\n' "${delay}ms" "$run" "$o" "$t" "$(echo "$t / $o" | bc -l)"
    done
    if [ "$delay" != 0 ]; then kill "$proxy" 2>/dev/null || true; fi
done
