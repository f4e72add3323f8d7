#!/usr/bin/env bash
# Times ZWZipExtract against `unzip -q` on a generated package of about
# 10,000 files / 500 MB and prints wall time and peak RSS side by side.
#   bench/unzip.sh [BUILD_DIR]      (BENCH_DIR: work folder, RUNS: repetitions)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/package.sh
build=${1:-build}
work=${BENCH_DIR:-${TMPDIR:-/tmp}/vaderoru-bench-unzip}
runs=${RUNS:-3}
driver=$build/bench/zipextract_bench
[ -x "$driver" ] || { echo "build $driver first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (package time)" >&2; exit 1; }
mkdir -p "$work"
package=$work/package.zip

if [ ! -f "$package" ]; then
  echo "generating $package ..."
  make_package "$package"
fi
files=$(unzip -Z1 "$package" | grep -vc '/$' || true)
bytes=$(unzip -Zt "$package" | awk '{print $3}')
echo "package: $(du -h "$package" | cut -f1) on disk, $files files, $bytes bytes unpacked"

measure() { # label, command... -> "label  wall s  peak KiB"
  local label=$1; shift
  local report
  report=$( { /usr/bin/time -v "$@" >/dev/null; } 2>&1 )
  local wall rss
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' <<<"$report")
  rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' <<<"$report")
  printf '%-14s wall %-9s peak RSS %6s KiB\n' "$label" "$wall" "$rss"
}

ours() { measure "ZWZipExtract" "$driver" "$package" "$work/out-ours"; }
theirs() { measure "unzip -q" unzip -q "$package" -d "$work/out-unzip"; }
# Each tool starts on a settled disk (the previous output removed and synced),
# and the order alternates so neither pays for the other's deletions.
settle() { rm -rf "$work/out-ours" "$work/out-unzip"; sync; sleep 1; }
for run in $(seq "$runs"); do
  if ((run % 2)); then
    settle; ours; settle; theirs
  else
    settle; theirs; settle; ours
  fi
done
settle
"$driver" "$package" "$work/out-ours" >/dev/null
unzip -q "$package" -d "$work/out-unzip"
diff -r "$work/out-ours" "$work/out-unzip" >/dev/null && echo "outputs identical"
rm -rf "$work/out-ours" "$work/out-unzip"
