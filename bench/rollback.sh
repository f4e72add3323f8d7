#!/usr/bin/env bash
# How fast a bad release is taken back: an installation of about 10,000
# files / 500 MB updated by a package in which 5% of the files changed, whose
# new main program crashes at every start. The watcher starts it twice, sees
# both crashes and gives the old version back; figured is the time from the
# second crash to the old main program running again, beside the downtime
# of the same update (the installation while the main program is stopped).
# Both main programs are small scripts that write when they run.
#   bench/rollback.sh [BUILD_DIR]      (BENCH_DIR: work folder, RUNS: repetitions)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/package.sh
source bench/require.sh
build=${1:-build}
work=${BENCH_DIR:-${TMPDIR:-/tmp}/vaderoru-bench-rollback}
runs=${RUNS:-3}
driver=$build/bench/install_bench
require_built "$driver"
mkdir -p "$work"
for variant in 0 5; do
  package=$work/package-$variant.zip
  [ -f "$package" ] || { echo "generating $package ..."; make_package "$package" 100 "$variant"; }
done
old=$work/old
if [ ! -d "$old" ]; then
  unzip -q "$work/package-0.zip" -d "$old"
  printf '[Version]\nVersion=1.0\n[Update]\nHealthSeconds=10\n' >"$old/config.ini"
fi
app=$work/app
# The old main program notes when it runs; the new one when it crashes.
printf '#!/bin/sh\ndate +%%s.%%N >"%s/started"\nexec sleep 29.9\n' "$work" >"$old/main"
printf '#!/bin/sh\ndate +%%s.%%N >>"%s/crashes"\nkill -ABRT $$\n' "$work" >"$work/new-main"
chmod +x "$old/main" "$work/new-main"

restore() { pkill -f "^sleep 29.9$" || true; rm -rf "$app" "$work/started" "$work/crashes"; cp -a "$old" "$app"; sync; sleep 1; }

for run in $(seq "$runs"); do
  restore
  report=$("$driver" "$work/package-5.zip" "$app" "$app/downloads/update" main "$work/new-main" \
    2>/dev/null)
  for _ in $(seq 50); do [ -f "$work/started" ] && break; sleep 0.1; done
  [ -f "$work/started" ] || { echo "the old main program did not start again" >&2; exit 1; }
  [ "$(wc -l <"$work/crashes")" = 2 ] || { echo "expected two crashes" >&2; exit 1; }
  downtime=$(sed -E 's/.* install ([0-9.]+) s.*/\1/' <<<"$report")
  back=$(awk -v c="$(tail -n 1 "$work/crashes")" -v s="$(cat "$work/started")" \
    'BEGIN { printf "%.2f", s - c }')
  echo "rollback: $back s from the crash to the old version running (downtime of the same update: $downtime s)"
done
pkill -f "^sleep 29.9$" || true
rm -rf "$app"
