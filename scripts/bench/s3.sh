#!/usr/bin/env bash
# Upload speed to S3: the program's S3 destination against awscli (`aws s3 cp`, its defaults)
# and `s3cmd put`, the same archive (512 MiB) to a local Ceph RADOS Gateway on 127.0.0.1 over
# HTTPS, in one run. Prints each run's seconds, the ratio awscli time / our time (the goal is at
# least 1.3) and the most memory our store took above the program at rest (the goal: 64 MiB).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
"$root/scripts/setup.sh" bench
build=${ORVEL_BENCH_BUILD_DIR:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DORVEL_BUILD_TESTS=OFF -DORVEL_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target s3_bench
size_mib=${ORVEL_BENCH_MIB:-512}

work=$(mktemp -d /tmp/orvel-s3-bench.XXXXXX)
gateway=$work/gateway
cleanup() {
    /usr/bin/python3 "$root/tests/servers/ceph_gateway.py" stop --folder "$gateway" || true
    rm -rf "$work"
}
trap cleanup EXIT

/usr/bin/python3 "$root/tests/servers/ceph_gateway.py" start --folder "$gateway"
read -r port access secret ca < <(/usr/bin/python3 -c "
import json; g = json.load(open('$gateway/gateway.json'))
print(g['port'], g['access_key'], g['secret_key'], g['ca'])")
export AWS_ACCESS_KEY_ID=$access AWS_SECRET_ACCESS_KEY=$secret AWS_DEFAULT_REGION=us-east-1
export AWS_CONFIG_FILE=/dev/null AWS_SHARED_CREDENTIALS_FILE=/dev/null AWS_EC2_METADATA_DISABLED=true
aws=(/usr/bin/aws --endpoint-url "https://127.0.0.1:$port" --ca-bundle "$ca")
"${aws[@]}" s3api create-bucket --bucket bench >/dev/null
head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$work/archive.ZIP"
# The first object written into a fresh cluster makes its data pool (several seconds); a warm-up
# object is written first, so that none of the timed runs pays for it.
head -c $((64 * 1024 * 1024)) "$work/archive.ZIP" > "$work/warm-up"
"${aws[@]}" s3 cp --only-show-errors "$work/warm-up" s3://bench/warm-up
mkdir -p "$work/keys"

cat > "$work/s3cfg" <<CONF
[default]
access_key = $access
secret_key = $secret
host_base = 127.0.0.1:$port
host_bucket = 127.0.0.1:$port
use_https = True
ca_certs_file = $ca
check_ssl_certificate = True
signature_v2 = False
CONF

seconds() { /usr/bin/python3 -c "import sys; print(f'{float(sys.argv[2]) - float(sys.argv[1]):.3f}')" "$@"; }

# Ours, with its peak memory; the program at rest: the same binary's usage message.
idle_kib=$({ /usr/bin/time -f %M "$build/scripts/bench/s3/s3_bench" 2>&1 >/dev/null || true; } | tail -1)
ours=$(ORVEL_BENCH_SECRET=$secret /usr/bin/time -f %M -o "$work/ours.mem" \
    "$build/scripts/bench/s3/s3_bench" 127.0.0.1 "$port" "$access" bench/ours/ archive.ZIP \
    "$work/archive.ZIP" "$work/keys/")
peak_kib=$(tail -1 "$work/ours.mem")

start=$(date +%s.%N)
"${aws[@]}" s3 cp --only-show-errors "$work/archive.ZIP" s3://bench/aws/archive.ZIP
awscli=$(seconds "$start" "$(date +%s.%N)")

start=$(date +%s.%N)
s3cmd -c "$work/s3cfg" --no-progress put "$work/archive.ZIP" s3://bench/s3cmd/archive.ZIP >/dev/null
s3cmd_s=$(seconds "$start" "$(date +%s.%N)")

echo "archive:  $size_mib MiB to Ceph RADOS Gateway (HTTPS, 127.0.0.1)"
echo "ours:     $ours s   (peak $(( (peak_kib - idle_kib) / 1024 )) MiB above idle)"
echo "awscli:   $awscli s"
echo "s3cmd:    $s3cmd_s s"
/usr/bin/python3 -c "import sys; a, o, c = map(float, sys.argv[1:]); print(f'awscli/ours: {a / o:.2f} (goal >= 1.3)   s3cmd/ours: {c / o:.2f}')" "$awscli" "$ours" "$s3cmd_s"
