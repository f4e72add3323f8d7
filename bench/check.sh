#!/usr/bin/env bash
# Times the run that finds the installation up to date: `VaDeroru update`
# from process start to exit against cloudservice on 127.0.0.1, beside the
# same signed version-check POST made with curl, and prints median/min/max.
# The installation pins a root and the answer carries a signed release, as in
# a signed deployment; beside it, the time the updater spends verifying a
# release when one is offered.
#   bench/check.sh [BUILD_DIR]      (BENCH_DIR: work folder, RUNS: repetitions)
# Without BUILD_DIR it builds Release into build-bench first.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/require.sh
work=${BENCH_DIR:-${TMPDIR:-/tmp}/vaderoru-bench-check}
runs=${RUNS:-20}
build=$(bench_build "${1:-}" VaDeroru cloudservice vaderoru-publish verify_bench)
updater=$build/app/VaDeroru
service=$build/cloudservice/cloudservice
publish=$build/publisher/vaderoru-publish
verifier=$build/bench/verify_bench
require_built "$updater" "$service" "$publish" "$verifier"
command -v curl >/dev/null || { echo "needs curl" >&2; exit 1; }

root=BenchApp
version=1.0.0
rm -rf "$work"
install=$work/installation
mkdir -p "$install/config/trust" "$work/tmp" "$work/keys" "$work/content" "$work/packages"
cp "$updater" "$install/VaDeroru"
printf '[BaseSetting]\nLangType=en_US\n' >"$install/config/system.ini"
"$publish" keygen "$work/keys/root" >/dev/null
"$publish" keygen "$work/keys/release" >/dev/null
"$publish" root --version 1 --expires-days 30 --root-key "$work/keys/root.key" \
  --release-pub "$work/keys/release.pub" -o "$install/config/trust/root.json" >/dev/null
echo "$version" >"$work/content/version.txt"
package=$work/packages/${root}_$version.zip
"$publish" package "$work/content" -o "$package" >/dev/null
"$publish" release --key "$work/keys/release.key" --package "$package" --software-root "$root" \
  --version-type general --version "$version" --serial 1 --expires-days 7 \
  -o "$work/release.json" >/dev/null
# The installed version is the newest release: nothing to update.
cat >"$work/catalog.json" <<JSON
{ "softwareRoots": { "$root": { "general": { "releases": [
  { "version": "$version", "url": "/packages/${root}_$version.zip",
    "release": "$work/release.json" } ] } } } }
JSON

start_cloudservice "$service" "$work/catalog.json" "$work"
printf '[Version]\nServiceIP=http://127.0.0.1\nServicePort=%s\nVersion=%s\n' "$port" "$version" \
  >"$install/config.ini"

# The client's envelope: compact JSON with sorted keys, empty token and
# language, and the fixed client version header it sends.
url="http://127.0.0.1:$port/cloudService/version/checkVersion"
body="{\"platformType\":\"2\",\"softwareRoot\":\"$root\",\"version\":\"$version\",\"versionType\":\"general\"}"
token=
post() { # timestamp -> answer on stdout
  local sign
  sign=$(printf '%s' "$token$1$body" | md5sum | cut -d' ' -f1)
  curl -s --fail -X POST "$url" -H "platform: 2" -H "langType;" -H "version: 1.0.0" \
    -H "timestamp: $1" -H "token;" -H "sign: $sign" \
    -H "Content-Type: application/json;charset=UTF-8" --data-binary "$body"
}
answer=$(post "$(date +%s%3N)")
if ! grep -q '"success":true' <<<"$answer" || ! grep -q '"needUpdate":false' <<<"$answer" ||
  ! grep -q '"release":{' <<<"$answer"; then
  echo "unexpected answer from cloudservice: $answer" >&2
  exit 1
fi

elapsed_ms() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f\n", (b - a) * 1000 }'; }
time_updater() {
  local start end status=0
  start=$EPOCHREALTIME
  # A private TMPDIR keeps its single-instance token apart from any other
  # updater running on this machine.
  TMPDIR=$work/tmp QT_QPA_PLATFORM=offscreen "$install/VaDeroru" update "$root" nomain >/dev/null 2>&1 || status=$?
  end=$EPOCHREALTIME
  [ "$status" = 0 ] || { echo "VaDeroru exited with $status" >&2; exit 1; }
  elapsed_ms "$start" "$end"
}
time_curl() {
  local stamp start end
  stamp=$(date +%s%3N)
  start=$EPOCHREALTIME
  post "$stamp" >/dev/null
  end=$EPOCHREALTIME
  elapsed_ms "$start" "$end"
}
stats() { # ms values, one a line -> "median min max"
  sort -n | awk '{ v[NR] = $1 } END {
    m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%8.1f %8.1f %8.1f\n", m, v[1], v[NR] }'
}

checks_before=$(grep -c ' checkVersion ' "$work/service.log" || true)
: >"$work/updater.ms"
: >"$work/curl.ms"
for _ in $(seq "$runs"); do
  time_updater >>"$work/updater.ms"
  time_curl >>"$work/curl.ms"
done
checks=$(($(grep -c ' checkVersion ' "$work/service.log" || true) - checks_before))

echo "up-to-date check: \`VaDeroru update $root nomain\` (offscreen), process start to exit,"
echo "beside the same signed POST with curl; $runs runs each, wall ms"
printf '%-10s %8s %8s %8s\n' "" median min max
printf '%-10s %s\n' "VaDeroru" "$(stats <"$work/updater.ms")"
printf '%-10s %s\n' "curl" "$(stats <"$work/curl.ms")"
# The same release offered to an older installation, verified as the updater
# does once per offer, against a copy of the installation's trust folder.
cp -r "$install/config/trust" "$work/verify-trust"
verify_us=$("$verifier" "$work/verify-trust" "$work/release.json" "$root" general "$version" 0.9.0)
printf '%-10s %8s µs (median of 200): root, signature, body, serial record\n' "verify" "$verify_us"
echo "cloudservice answered $((checks - runs)) version checks from VaDeroru in $runs runs"
if ((checks - runs != runs)); then
  echo "note: the updater did not ask the service on every run; its figures do not cover a whole check"
fi
