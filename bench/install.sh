#!/usr/bin/env bash
# Times the whole installation of a package of about 10,000 files / 500 MB
# over the installation of the version before, in which every file changed:
# unpacking, the preparation (comparison with the installed files, the
# unpacked files made durable) and the installation as the updater runs it
# (files set aside and renamed into place, journal, syncs, the new version),
# beside `unzip -q` plus two `cp -a` of the same tree and a `sync`. Prints
# wall time and peak RSS, then the peak RSS of our installation of a package
# a tenth the size.
#   bench/install.sh [BUILD_DIR]      (BENCH_DIR: work folder, RUNS: repetitions)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/package.sh
build=${1:-build}
work=${BENCH_DIR:-${TMPDIR:-/tmp}/vaderoru-bench-install}
runs=${RUNS:-3}
driver=$build/bench/install_bench
[ -x "$driver" ] || { echo "build $driver first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (package time)" >&2; exit 1; }
mkdir -p "$work"
base=$work/package-base.zip
package=$work/package.zip
small_base=$work/package-small-base.zip
small=$work/package-small.zip
[ -f "$base" ] || { echo "generating $base ..."; make_package "$base" 100 0; }
[ -f "$package" ] || { echo "generating $package ..."; make_package "$package" 100 100; }
[ -f "$small_base" ] || { echo "generating $small_base ..."; make_package "$small_base" 10 0; }
[ -f "$small" ] || { echo "generating $small ..."; make_package "$small" 10 100; }
files=$(unzip -Z1 "$package" | grep -vc '/$' || true)
bytes=$(unzip -Zt "$package" | awk '{print $3}')
echo "package: $(du -h "$package" | cut -f1) on disk, $files files, $bytes bytes unpacked"

old=$work/old
[ -d "$old" ] || unzip -q "$base" -d "$old"
printf '[Version]\nVersion=1.0\n' >"$old/config.ini"
app=$work/app

timed() { # command... -> "seconds peak-KiB"
  /usr/bin/time -f '%e %M' -o "$work/time" "$@" >"$work/out" || {
    cat "$work/out" >&2; exit 1; }
  cat "$work/time"
}

ours() {
  local wall rss
  read -r wall rss < <(timed "$driver" "$package" "$app" "$app/downloads/update")
  printf '%-30s %6.2f s  peak RSS %7s KiB   (%s)\n' "ours" "$wall" "$rss" "$(cat "$work/out")"
  echo "$wall" >>"$work/ours.times"
}

reference() {
  local unzip_s unzip_kib backup_s backup_kib copy_s copy_kib sync_s sync_kib
  read -r unzip_s unzip_kib < <(timed unzip -q "$package" -d "$work/temp")
  read -r backup_s backup_kib < <(timed cp -a "$app" "$work/backup")
  read -r copy_s copy_kib < <(timed cp -a "$work/temp/." "$app/")
  read -r sync_s sync_kib < <(timed sync)
  local total rss
  total=$(awk -v a="$unzip_s" -v b="$backup_s" -v c="$copy_s" -v d="$sync_s" \
    'BEGIN { print a + b + c + d }')
  rss=$(printf '%s\n' "$unzip_kib" "$backup_kib" "$copy_kib" | sort -n | tail -1)
  printf '%-30s %6.2f s  peak RSS %7s KiB   (unzip %.2f s, cp -a %.2f s, cp -a %.2f s, sync %.2f s)\n' \
    "unzip -q + cp -a + cp -a + sync" "$total" "$rss" "$unzip_s" "$backup_s" "$copy_s" "$sync_s"
  echo "$total" >>"$work/reference.times"
}

# Each side starts from the old installation on a settled disk (the previous
# work folders removed, everything synced), and the order alternates so
# neither pays for the other's deletions.
settle() { rm -rf "$work/temp" "$work/backup" "$app"; cp -a "$old" "$app"; sync; sleep 1; }
rm -f "$work/ours.times" "$work/reference.times"
for run in $(seq "$runs"); do
  if ((run % 2)); then
    settle; ours; settle; reference
  else
    settle; reference; settle; ours
  fi
done
paste "$work/ours.times" "$work/reference.times" |
  awk '{ r = $1 / $2; if (NR == 1 || r < lo) lo = r; if (NR == 1 || r > hi) hi = r }
       END { printf "ours / reference: %.2f-%.2fx over %d runs\n", lo, hi, NR }'

# The installation holds what the package holds, and the backup what the
# installation held.
settle
"$driver" "$package" "$app" "$app/downloads/update" >/dev/null
unzip -q "$package" -d "$work/temp"
diff -r -x config.ini -x downloads "$work/temp" "$app" >/dev/null &&
  diff -r -x config.ini -x downloads "$app/downloads/update/backup" "$old" >/dev/null &&
  echo "installation identical to the package, backup to the old installation"

# Memory must not grow with the package.
settle
rm -rf "$work/app-small"
unzip -q "$small_base" -d "$work/app-small"
echo "a tenth of the package: $("$driver" "$small" "$work/app-small" "$work/app-small/downloads/update")"
rm -rf "$work/temp" "$work/backup" "$app" "$work/app-small" "$work/out" "$work/time"
