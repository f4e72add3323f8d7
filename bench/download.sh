#!/usr/bin/env bash
# Downloads a 1 GiB file from a server on 127.0.0.1 with DownloadFileNet,
# checking its signed length and SHA-256 while it streams as for a signed
# release, and with curl, and prints throughput and peak RSS side by side.
#   bench/download.sh [BUILD_DIR]      (BENCH_DIR: work folder, RUNS: repetitions)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/require.sh
build=${1:-build}
work=${BENCH_DIR:-${TMPDIR:-/tmp}/vaderoru-bench-download}
runs=${RUNS:-3}
driver=$build/bench/download_bench
server=$build/bench/fileserver_bench
require_built "$driver" "$server"
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (package time)" >&2; exit 1; }
mkdir -p "$work/packages"
package=$work/packages/big.bin
size=$((1024 * 1024 * 1024))
if [ "$(stat -c %s "$package" 2>/dev/null || echo 0)" != "$size" ]; then
  echo "generating $package ..."
  head -c "$size" /dev/urandom >"$package"
fi
[ "$package" -ot "$package.sha256" ] || sha256sum "$package" | cut -d' ' -f1 >"$package.sha256"
sha256=$(cat "$package.sha256")

"$server" "$work/packages" >"$work/port" &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null || true; rm -f "$work/out-ours" "$work/out-curl"' EXIT
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
url="http://127.0.0.1:$(cat "$work/port")/packages/big.bin"
cat "$package" >/dev/null # both readers start from the page cache

measure() { # label, output file, command...
  local label=$1 output=$2; shift 2
  local report wall rss seconds
  report=$( { /usr/bin/time -v "$@" >/dev/null; } 2>&1 )
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' <<<"$report")
  rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' <<<"$report")
  seconds=$(awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }' <<<"$wall")
  [ "$(stat -c %s "$output")" = "$size" ] || { echo "$label: incomplete download" >&2; exit 1; }
  printf '%-24s wall %-8s %6.0f MB/s  peak RSS %7s KiB\n' "$label" "$wall" \
    "$(awk -v b="$size" -v s="$seconds" 'BEGIN { print b / s / 1e6 }')" "$rss"
  echo "$seconds" >>"$work/$label.s"
}

rm -f "$work"/*.s
for run in $(seq "$runs"); do
  rm -f "$work/out-ours" "$work/out-curl"
  measure "DownloadFileNet+SHA-256" "$work/out-ours" "$driver" "$url" "$work/out-ours" \
    "$size" "$sha256"
  measure "curl" "$work/out-curl" curl -s -o "$work/out-curl" "$url"
done
cmp "$work/out-ours" "$package" && echo "download identical to the served file"
median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
awk -v ours="$(median "$work/DownloadFileNet+SHA-256.s")" -v curl="$(median "$work/curl.s")" \
  'BEGIN { printf "throughput with SHA-256 (median of the runs): %.2fx curl\n", curl / ours }'
