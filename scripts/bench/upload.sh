#!/usr/bin/env bash
# Upload speed: the program's FTP/FTPS client against the curl command line, the same 512 MiB
# archive to a local vsftpd on 127.0.0.1, plain FTP and explicit TLS. Prints each run's seconds
# and the ratio curl time / our time (1.0 = as fast as curl; the goal is at least 0.95).
# Run as root: vsftpd logs in local accounts, so a throwaway one is made and removed again.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "run as root (a throwaway local account is needed)"; exit 1; }
"$root/scripts/setup.sh" bench
build=${ORVEL_BENCH_BUILD_DIR:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DORVEL_BUILD_TESTS=OFF -DORVEL_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target upload_bench
size_mib=${ORVEL_BENCH_MIB:-512}
runs=${ORVEL_BENCH_RUNS:-3}

work=$(mktemp -d /tmp/orvel-upload-bench.XXXXXX)
user=orvelbench$$
password=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')
port=$((20000 + RANDOM % 20000))
vsftpd_pid=""
cleanup() {
    [ -n "$vsftpd_pid" ] && kill "$vsftpd_pid" 2>/dev/null || true
    userdel "$user" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

chmod 755 "$work"
mkdir -p "$work/home" "$work/empty"
useradd -M -d "$work/home" -s /bin/bash "$user"
echo "$user:$password" | chpasswd
chown "$user" "$work/home"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=127.0.0.1" \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
cat > "$work/vsftpd.conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_root=$work/home
pasv_enable=YES
pasv_address=127.0.0.1
port_enable=YES
secure_chroot_dir=$work/empty
pam_service_name=vsftpd
seccomp_sandbox=NO
ssl_enable=YES
allow_anon_ssl=NO
force_local_logins_ssl=NO
force_local_data_ssl=NO
ssl_tlsv1=NO
ssl_sslv2=NO
ssl_sslv3=NO
require_ssl_reuse=NO
rsa_cert_file=$work/cert.pem
rsa_private_key_file=$work/key.pem
xferlog_enable=NO
CONF
vsftpd "$work/vsftpd.conf" &
vsftpd_pid=$!
sleep 1

head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$work/archive.zip"
printf 'machine 127.0.0.1 login %s password %s\n' "$user" "$password" > "$work/netrc"
chmod 600 "$work/netrc"

ours() { ORVEL_BENCH_PASSWORD="$password" "$build/scripts/bench/upload/upload_bench" 127.0.0.1 "$port" "$user" "ours.zip" "$work/archive.zip" "$1"; }
theirs() {
    local tls=()
    [ "$1" = ftps ] && tls=(--ssl-reqd -k --tlsv1.2)
    local start end
    start=$(date +%s.%N)
    curl -sS --netrc-file "$work/netrc" "${tls[@]}" -T "$work/archive.zip" "ftp://127.0.0.1:$port/curl.zip"
    end=$(date +%s.%N)
    printf "%.3f" "$(echo "$end - $start" | bc -l)"
}
median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }

echo "archive: $size_mib MiB of random bytes, $runs runs each, alternating"
for mode in ftp ftps; do
    our_times=()
    curl_times=()
    for _ in $(seq "$runs"); do
        our_times+=("$(ours "$mode")")
        curl_times+=("$(theirs "$mode")")
    done
    ours_median=$(printf '%s\n' "${our_times[@]}" | median)
    curl_median=$(printf '%s\n' "${curl_times[@]}" | median)
    printf '%-5s ours: %s s (median %.3f)  curl: %s s (median %.3f)  ratio curl/ours: %.2f\n' \
        "$mode" "${our_times[*]}" "$ours_median" "${curl_times[*]}" "$curl_median" \
        "$(echo "$curl_median / $ours_median" | bc -l)"
done
