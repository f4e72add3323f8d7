#!/usr/bin/env bash
# How long the main program is stopped by the update of an installation of
# about 10,000 files / 500 MB: (a) a package in which 5% of the files
# changed, (b) one in which all did. Ours is the installation step that
# runs between the stop and the restart (install_bench times it apart from
# the unpacking and the preparation before the stop): setting the changed
# files aside, renaming the unpacked ones into place, the journal and the
# syncs. Beside it, with the package unpacked and on disk the same way,
# `cp -a` of the changed files to a backup and from the unpacked package,
# then `sync`. Prints the figures only.
#   bench/downtime.sh [BUILD_DIR]      (BENCH_DIR: work folder, RUNS: repetitions)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/package.sh
build=${1:-build}
work=${BENCH_DIR:-${TMPDIR:-/tmp}/vaderoru-bench-downtime}
runs=${RUNS:-3}
driver=$build/bench/install_bench
[ -x "$driver" ] || { echo "build $driver first" >&2; exit 1; }
mkdir -p "$work"
for variant in 0 5 100; do
  package=$work/package-$variant.zip
  [ -f "$package" ] || { echo "generating $package ..."; make_package "$package" 100 "$variant"; }
done
old=$work/old
[ -d "$old" ] || unzip -q "$work/package-0.zip" -d "$old"
printf '[Version]\nVersion=1.0\n' >"$old/config.ini"
app=$work/app
update=$app/downloads/update

now() { date +%s.%N; }
since() { awk -v s="$1" -v e="$(now)" 'BEGIN { printf "%.2f", e - s }'; }
# Every side starts from the old installation on a settled disk.
restore() { rm -rf "$app"; cp -a "$old" "$app"; sync; sleep 1; }

ours() { # package -> "downtime prepare changed"
  local report
  report=$("$driver" "$1" "$app" "$update")
  sed -E 's/^[0-9]+ files, ([0-9]+) changed: .* prepare ([0-9.]+) s, install ([0-9.]+) s.*/\3 \2 \1/' \
    <<<"$report"
}

reference() { # package -> seconds
  mkdir -p "$update/backup"
  unzip -q "$1" -d "$update/temp"
  (cd "$update/temp" && diff -rq -x downloads . "$app" | awk '/^Files .* differ$/ { print $2 }') \
    >"$work/changed"
  sync
  local start; start=$(now)
  (cd "$app" && xargs -a "$work/changed" cp -a --parents -t "$update/backup")
  (cd "$update/temp" && xargs -a "$work/changed" cp -a --parents -t "$app")
  sync
  since "$start"
}

printf '%-18s %8s  %-34s %s\n' "package" "changed" "ours: stopped (prepared before)" \
  "cp -a changed to backup + cp -a from package + sync"
for variant in 5 100; do
  package=$work/package-$variant.zip
  label=$([ "$variant" = 100 ] && echo "(b) all changed" || echo "(a) $variant% changed")
  for run in $(seq "$runs"); do
    restore; read -r stopped prepared changed < <(ours "$package")
    restore; copied=$(reference "$package")
    printf '%-18s %8s  %6.2f s (%5.2f s)                    %6.2f s\n' \
      "$label" "$changed" "$stopped" "$prepared" "$copied"
  done
done
rm -rf "$app" "$work/changed"
