#!/usr/bin/env bash
# Downloads a 256 MiB package from cloudservice with DownloadFileNet while the
# connection is cut at CUTS random offsets: each cut is one run of
# download_bench against a service that drops the transfer there, and the
# next run resumes from the part the last one kept. Prints the bytes the
# service sent in all (from its request log) beside what restarting from
# byte 0 after every cut would have fetched, and checks the final SHA-256.
#   bench/resume.sh [BUILD_DIR]      (BENCH_DIR: work folder, CUTS: cuts, SEED: offsets)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/require.sh
build=${1:-build}
work=${BENCH_DIR:-${TMPDIR:-/tmp}/vaderoru-bench-resume}
cuts=${CUTS:-20}
seed=${SEED:-$RANDOM}
driver=$build/bench/download_bench
service=$build/cloudservice/cloudservice
require_built "$driver" "$service"
mkdir -p "$work/packages"
package=$work/packages/big.bin
size=$((256 * 1024 * 1024))
if [ "$(stat -c %s "$package" 2>/dev/null || echo 0)" != "$size" ]; then
  echo "generating $package ..."
  head -c "$size" /dev/urandom >"$package"
fi
[ "$package" -ot "$package.sha256" ] || sha256sum "$package" | cut -d' ' -f1 >"$package.sha256"
sha256=$(cat "$package.sha256")
echo '{"softwareRoots": {}}' >"$work/catalog.json"
output=$work/out/big.bin
rm -rf "$work/out" "$work"/service-*.log

service_pid=
trap 'kill "$service_pid" 2>/dev/null || true' EXIT
start_service() { # log file, port, extra options...
  local log=$1 port=$2; shift 2
  : >"$work/ready"
  "$service" --catalog "$work/catalog.json" --packages "$work/packages" --port "$port" "$@" \
    >"$work/ready" 2>"$log" &
  service_pid=$!
  for _ in $(seq 100); do [ -s "$work/ready" ] && break; sleep 0.05; done
  [ -s "$work/ready" ] || { echo "cloudservice did not start, see $log" >&2; exit 1; }
}
stop_service() { kill "$service_pid"; wait "$service_pid" 2>/dev/null || true; }

# One port for every run: the address is part of what a kept part is resumed by.
start_service "$work/service-probe.log" 0
port=$(sed -n 's/.*:\([0-9]*\)$/\1/p' "$work/ready")
stop_service
url="http://127.0.0.1:$port/packages/big.bin"

mapfile -t offsets < <(awk -v n="$cuts" -v size="$size" -v seed="$seed" \
  'BEGIN { srand(seed); for (i = 0; i < n; i++) print 1 + int(rand() * (size - 1)) }' | sort -n -u)
previous=0
run=0
short=0 # sent before a cut, but not in the part the run kept
for offset in "${offsets[@]}"; do
  run=$((run + 1))
  # The service cuts each transfer this many bytes after the start of its range.
  start_service "$work/service-$run.log" "$port" --fail-package-after $((offset - previous))
  if "$driver" --retries 0 "$url" "$output" "$size" "$sha256" >/dev/null 2>"$work/driver-$run.log"; then
    echo "run $run: complete although cut at $offset" >&2; exit 1
  fi
  stop_service
  kept=$(stat -c %s "$output.part" 2>/dev/null || echo 0)
  short=$((short + offset - kept))
  previous=$kept
done
start_service "$work/service-final.log" "$port"
"$driver" --retries 0 "$url" "$output" "$size" "$sha256" 2>"$work/driver-final.log"
stop_service

# Every request line gives the length its answer announced; a transfer that
# ended early has a line of its own with what was sent of it.
served=$(cat "$work"/service-[0-9]*.log "$work/service-final.log" | awk '
  / after [0-9]+ of [0-9]+ bytes$/ { short += $(NF - 1) - $(NF - 3) }
  / GET \/packages\// { announced += $(NF - 1); requests++ }
  END { printf "%.0f %d\n", announced - short, requests }')
read -r bytes requests <<<"$served"
restart=$(printf '%s\n' "${offsets[@]}" | awk -v size="$size" '{ s += $1 } END { print s + size }')
[ "$(sha256sum "$output" | cut -d' ' -f1)" = "$sha256" ] \
  && echo "SHA-256 of the download matches the package" \
  || { echo "SHA-256 of the download differs from the package" >&2; exit 1; }
awk -v b="$bytes" -v r="$restart" -v s="$size" -v c="${#offsets[@]}" -v q="$requests" \
  -v seed="$seed" -v short="$short" 'BEGIN {
  printf "package %d bytes, %d cuts (SEED=%s), %d requests\n", s, c, seed, q
  printf "sent before a cut but not kept: %.0f KiB per cut on average\n", short / c / 1024
  printf "served with resume:       %12.0f bytes  %.3fx the package\n", b, b / s
  printf "restarting from byte 0:   %12.0f bytes  %.3fx the package\n", r, r / s
}'
