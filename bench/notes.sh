#!/usr/bin/env bash
# Times how long the updater takes from the version check's answer to the
# shown offer when the answer is 15 MiB and carries 1 MB of release notes on
# one line (the notes are not signed, so any server may send this), beside
# curl receiving the same answer. Both figures come from one run: the
# updater's from the two lines of its own log, curl's from its transfer.
#   bench/notes.sh [BUILD_DIR]      (BENCH_DIR: work folder, RUNS: repetitions)
# Without BUILD_DIR it builds Release into build-bench first.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/require.sh
work=${BENCH_DIR:-${TMPDIR:-/tmp}/vaderoru-bench-notes}
runs=${RUNS:-5}
build=$(bench_build "${1:-}" VaDeroru cloudservice)
updater=$build/app/VaDeroru
service=$build/cloudservice/cloudservice
require_built "$updater" "$service"
command -v curl >/dev/null || { echo "needs curl" >&2; exit 1; }

root=BenchApp
rm -rf "$work"
install=$work/installation
mkdir -p "$install/config" "$work/tmp"
cp "$updater" "$install/VaDeroru"
printf '[BaseSetting]\nLangType=en_US\n' >"$install/config/system.ini"
# 1 MB without a space for the window's language, and 14.7 MB in another one
# to make up the 15 MiB answer.
notes=$(head -c 1000000 /dev/zero | tr '\0' 'x')
filler=$(head -c 14700000 /dev/zero | tr '\0' 'y')
printf '{"softwareRoots":{"%s":{"general":{"releases":[{"version":"2.0.0","url":"/p.zip",' "$root" \
  >"$work/catalog.json"
printf '"notes":{"en_US":"%s","de_DE":"%s"}}]}}}}' "$notes" "$filler" >>"$work/catalog.json"

start_cloudservice "$service" "$work/catalog.json" "$work"
printf '[Version]\nServiceIP=http://127.0.0.1\nServicePort=%s\nVersion=1.0.0\n' "$port" \
  >"$install/config.ini"

url="http://127.0.0.1:$port/cloudService/version/checkVersion"
body="{\"platformType\":\"2\",\"softwareRoot\":\"$root\",\"version\":\"1.0.0\",\"versionType\":\"general\"}"
post() { # timestamp -> answer on stdout
  local sign
  sign=$(printf '%s' "$1$body" | md5sum | cut -d' ' -f1)
  curl -s --fail -X POST "$url" -H "platform: 2" -H "langType;" -H "version: 1.0.0" \
    -H "timestamp: $1" -H "token;" -H "sign: $sign" \
    -H "Content-Type: application/json;charset=UTF-8" --data-binary "$body" -o "$work/answer" \
    -w '%{time_total}\n'
}

ms_of() { # hh:mm:ss:zzz -> ms since midnight
  awk -F: '{ printf "%d\n", (($1 * 60 + $2) * 60 + $3) * 1000 + $4 }' <<<"$1"
}
# The updater stays on its offer; it is ended once the log says it is shown.
time_offer() {
  local log
  rm -rf "$install/log"
  TMPDIR=$work/tmp QT_QPA_PLATFORM=offscreen "$install/VaDeroru" check "$root" nomain \
    >/dev/null 2>&1 &
  local pid=$!
  for _ in $(seq 600); do
    log=$(find "$install/log" -name '*Info*' 2>/dev/null | head -n 1 || true)
    [ -n "$log" ] && grep -q 'the offer of 2.0.0 is shown' "$log" && break
    sleep 0.1
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  [ -n "$log" ] && grep -q 'the offer of 2.0.0 is shown' "$log" ||
    { echo "the updater showed no offer within 60 s" >&2; exit 1; }
  local answered shown
  answered=$(grep -a 'HttpCode:' "$log" | head -n 1 | cut -c1-12)
  shown=$(grep -a 'the offer of 2.0.0 is shown' "$log" | head -n 1 | cut -c1-12)
  echo $(($(ms_of "$shown") - $(ms_of "$answered")))
}
stats() { # ms values, one a line -> "median min max"
  sort -n | awk '{ v[NR] = $1 } END {
    m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%8.1f %8.1f %8.1f\n", m, v[1], v[NR] }'
}

: >"$work/offer.ms"
: >"$work/curl.ms"
for _ in $(seq "$runs"); do
  time_offer >>"$work/offer.ms"
  post "$(date +%s%3N)" | awk '{ printf "%.1f\n", $1 * 1000 }' >>"$work/curl.ms"
done
size=$(stat -c %s "$work/answer")

mib=$(awk -v s="$size" 'BEGIN { printf "%.1f", s / 1048576 }')
echo "a $mib MiB answer with 1 MB of notes on one line: $runs runs each, wall ms"
printf '%-28s %8s %8s %8s\n' "" median min max
printf '%-28s %s\n' "VaDeroru, answer to offer" "$(stats <"$work/offer.ms")"
printf '%-28s %s\n' "curl, whole answer" "$(stats <"$work/curl.ms")"
echo "goal: the offer within 1000 ms of the answer"
