#!/usr/bin/env bash
# What making the installation crash-proof costs: the whole journaled
# installation (comparison, backup, journal, renames into place, the syncs,
# the version in config.ini, clean-up) of the 10,000-file / 500 MB package
# over the installation of the version before, in which every file changed,
# once as shipped and once with syncfs/fsync/fdatasync made no-ops, beside
# two `cp -a` with and without a final `sync`. The package is unpacked and on
# disk before each timed run, for every side alike.
#   bench/journal.sh [BUILD_DIR]      (BENCH_DIR: work folder, RUNS: repetitions)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/package.sh
build=${1:-build}
work=${BENCH_DIR:-${TMPDIR:-/tmp}/vaderoru-bench-journal}
runs=${RUNS:-3}
driver=$build/tests/install/install_driver
[ -x "$driver" ] || { echo "build $driver first" >&2; exit 1; }
mkdir -p "$work"
base=$work/package-base.zip
package=$work/package.zip
[ -f "$base" ] || { echo "generating $base ..."; make_package "$base" 100 0; }
[ -f "$package" ] || { echo "generating $package ..."; make_package "$package" 100 100; }
old=$work/old
rm -rf "$old"
unzip -q "$base" -d "$old"
printf '[Version]\nVersion=1.0\n' >"$old/config.ini"
app=$work/app

printf 'int syncfs(int f){(void)f;return 0;}\nint fsync(int f){(void)f;return 0;}\n'\
'int fdatasync(int f){(void)f;return 0;}\n' >"$work/nosync.c"
cc -shared -fPIC -o "$work/nosync.so" "$work/nosync.c"

now() { date +%s.%N; }
since() { awk -v s="$1" -v e="$(now)" 'BEGIN { printf "%.2f", e - s }'; }
settle() { rm -rf "$app" "$work/temp" "$work/backup"; cp -a "$old" "$app"; sync; sleep 1; }

ours() { # label [LD_PRELOAD]
  mkdir -p "$app/downloads/update"
  unzip -q "$package" -d "$app/downloads/update/temp"
  sync
  local start; start=$(now)
  LD_PRELOAD=${2:-} "$driver" install "$app" 2.0
  printf '%-34s %6s s\n' "$1" "$(since "$start")"
}

reference() { # label sync|nosync
  unzip -q "$package" -d "$work/temp"
  sync
  local start; start=$(now)
  cp -a "$app" "$work/backup"
  cp -a "$work/temp/." "$app/"
  [ "$2" = sync ] && sync
  printf '%-34s %6s s\n' "$1" "$(since "$start")"
}

for run in $(seq "$runs"); do
  settle; ours "journaled installation"
  settle; ours "  the same without syncs" "$work/nosync.so"
  settle; reference "two cp -a + sync" sync
  settle; reference "two cp -a" nosync
done
rm -rf "$app" "$old" "$work/temp" "$work/backup"
