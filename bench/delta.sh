#!/usr/bin/env bash
# How small a delta package is beside the full package, and how fast it is
# applied. The bench tree: about 10,000 files / 500 MB of which 5% changed
# (bench/package.sh); the delta's bytes beside the full package's, and
# applying it (delta_bench: the changed files put together from the
# installed ones) beside unzip -q of the full package, with the most
# anonymous memory seen; then the real updater (the test driver: its entry
# point with a user who presses "Update now") from the click to the restart
# of the main program on a link throttled to 100 Mbit/s (cloudservice
# --throttle-kbps), with the signed delta beside the full package. Real
# binaries: pairs of Debian packages, the release's version and the security
# update's, each unpacked and zipped with `vaderoru-publish package`, then
# `vaderoru-publish delta` from the one to the other, beside the same changed
# files patched one by one with `zstd -19 --patch-from`. A package with only
# one version in the archive is said so and left out.
#   bench/delta.sh [--quick] [BUILD_DIR]      (BENCH_DIR: work folder)
# --quick: the bench tree only.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/require.sh
source bench/package.sh
packages=(libzstd1 libssl3 openssl libsqlite3-0 libcurl4)
quick=0
if [ "${1:-}" = --quick ]; then
  quick=1
  shift
fi
build=$(bench_build "${1:-}" vaderoru-publish delta_bench update_driver fake_main cloudservice)
publish=$build/publisher/vaderoru-publish
applier=$build/bench/delta_bench
driver=$build/tests/update/update_driver
main=$build/tests/helpers/fake_main
service=$build/cloudservice/cloudservice
require_built "$publish" "$applier" "$driver" "$main" "$service"
command -v zstd >/dev/null || { echo "needs the zstd tool (package zstd)" >&2; exit 1; }
work=${BENCH_DIR:-${TMPDIR:-/tmp}/vaderoru-bench-delta}
mkdir -p "$work"

# The version in the release and the one in its security updates, older
# first: a point release can be newer than the last security update.
versions_of() {
  local pair first second
  pair=$(apt-cache madison "$1" | awk -F' *\\| *' '
    $3 ~ /-security/ { security = $2 }
    $3 ~ /\/main .*Packages/ && $3 !~ /-(security|updates)/ { release = $2 }
    END { if (release != "" && security != "" && release != security) print release, security }')
  [ -n "$pair" ] || return 0
  read -r first second <<<"$pair"
  if dpkg --compare-versions "$first" lt "$second"; then echo "$first $second"; else echo "$second $first"; fi
}

# Unpacks `deb` into a tree without links (packages hold none) and zips it.
package_of() {
  local deb=$1 zip=$2 tree=$work/tree-$(basename "$1" .deb)
  rm -rf "$tree"
  dpkg-deb -x "$deb" "$tree"
  find "$tree" -type l -delete
  "$publish" package "$tree" -o "$zip" >/dev/null
  echo "$tree"
}

percent() { awk -v part="$1" -v whole="$2" 'BEGIN { print 100 * part / whole }'; }

# The changed files patched one by one with the zstd tool, in bytes.
zstd_tool_bytes() {
  local old=$1 new=$2 total=0 file size
  while IFS= read -r file; do
    cmp -s "$old/$file" "$new/$file" 2>/dev/null && continue
    if [ -f "$old/$file" ]; then
      size=$(zstd -q -19 --long=31 --patch-from="$old/$file" -c "$new/$file" 2>/dev/null | wc -c)
    else
      size=$(zstd -q -19 -c "$new/$file" 2>/dev/null | wc -c)
    fi
    total=$((total + size))
  done < <(cd "$new" && find . -type f)
  echo "$total"
}

bench_tree() {
  local variant package
  for variant in 0 5; do
    package=$work/package-$variant.zip
    [ -f "$package" ] || { echo "generating $package ..."; make_package "$package" 100 "$variant" >/dev/null; }
  done
  rm -rf "$work/tree-out" "$work/tree-delta" "$work/tree-target" "$work/tree-unzip"
  "$publish" delta --package "$work/package-5.zip" --version 2 --from "1=$work/package-0.zip" \
    --output-dir "$work/tree-out" 2>"$work/summary" >/dev/null
  sed 's/^/  /' "$work/summary"
  local delta=$work/tree-out/package-5-from-1.delta.zip
  [ -d "$work/installed" ] || unzip -q "$work/package-0.zip" -d "$work/installed"
  unzip -q "$delta" -d "$work/tree-delta"
  mkdir -p "$work/tree-target"
  sync
  local applied unzipped
  applied=$("$applier" "$work/tree-delta" "$work/installed" "$work/tree-target")
  unzipped=$( { /usr/bin/time -f %e unzip -q "$work/package-5.zip" -d "$work/tree-unzip"; } 2>&1)
  printf 'delta bench tree: %.2f%% of the full package, apply %.2f s vs unzip %.2f s, anonymous %s MiB\n' \
    "$(percent "$(stat -c %s "$delta")" "$(stat -c %s "$work/package-5.zip")")" \
    "$(sed -E 's/apply ([0-9.]+) s.*/\1/' <<<"$applied")" "$unzipped" \
    "$(sed -E 's/.*anonymous ([0-9]+) MiB.*/\1/' <<<"$applied")" >"$work/tree-line"
  rm -rf "$work/tree-unzip" "$work/tree-target"
}

# Seconds of the day at a log line's "hh:mm:ss:zzz".
log_time() { # log-folder text
  grep -rh -- "$2" "$1" | head -n 1 |
    sed -E 's/^([0-9]+):([0-9]+):([0-9]+):([0-9]+).*/\1 \2 \3 \4/' |
    awk '{ printf "%.3f", $1 * 3600 + $2 * 60 + $3 + $4 / 1000 }'
}

# The real updater (the test driver: its entry point with a user who presses
# "Update now") updates a copy of the installed bench tree from 1 to 2; the
# seconds from the click (the download's start) to the restart of the main
# program, by the updater's log. `release` is the signed release to offer.
click_to_restart() { # release
  local app=$work/app port
  rm -rf "$app" "$work/ready"
  cp -a "$work/installed" "$app"
  mkdir -p "$app/config/trust"
  cp "$work/keys/root.json" "$app/config/trust/"
  cp "$driver" "$app/VaDeroru"
  cp "$main" "$app/FlowMain"
  echo run >"$app/FlowMain.behaviour"
  printf '{"softwareRoots":{"FlowApp":{"general":{"releases":[{"version":"2","url":"/packages/package-5.zip","release":"%s"}]}}}}\n' \
    "$1" >"$work/catalog.json"
  "$service" --catalog "$work/catalog.json" --packages "$work/served" --port 0 \
    --throttle-kbps $((100000000 / 8 / 1024)) >"$work/ready" 2>"$work/service.log" &
  local service_pid=$!
  for _ in $(seq 100); do
    port=$(sed -n 's#^cloudservice listening on http://127\.0\.0\.1:\([0-9][0-9]*\)$#\1#p' "$work/ready")
    [ -n "$port" ] && break
    sleep 0.1
  done
  printf '[Version]\nVersion=1\nServiceIP=http://127.0.0.1\nServicePort=%s\n[Update]\nHealthSeconds=0\n' \
    "$port" >"$app/config.ini"
  sync
  QT_QPA_PLATFORM=offscreen UPDATE_DRIVER_SCRIPT='window;click:update' timeout 900 \
    "$app/VaDeroru" update FlowApp FlowMain >"$work/updater.log" 2>&1 || true
  kill "$service_pid" 2>/dev/null || true
  pkill -f "^$app/FlowMain" 2>/dev/null || true
  if ! grep -qx 'Version=2' "$app/config.ini"; then
    echo "the update with $1 did not install; see $app/log" >&2
    exit 1
  fi
  awk -v s="$(log_time "$app/log" '开始下载更新包')" -v e="$(log_time "$app/log" '启动主程序')" \
    'BEGIN { printf "%.2f", e - s }'
}

# Click to restart on a link throttled to 100 Mbit/s, with the bench tree's
# delta and with its full package, each signed into a release.
restart_line() {
  local delta=$work/tree-out/package-5-from-1.delta.zip with_delta full
  rm -rf "$work/keys" "$work/served"
  mkdir -p "$work/keys" "$work/served"
  "$publish" keygen "$work/keys/root" >/dev/null
  "$publish" keygen "$work/keys/release" >/dev/null
  "$publish" root --version 1 --expires-days 1 --root-key "$work/keys/root.key" \
    --release-pub "$work/keys/release.pub" -o "$work/keys/root.json" >/dev/null
  ln -f "$work/package-5.zip" "$delta" "$work/served/"
  local signing=(--key "$work/keys/release.key" --package "$work/package-5.zip" --software-root FlowApp
    --version-type general --version 2 --serial 1 --expires-days 1)
  "$publish" release "${signing[@]}" --delta "1=$delta" -o "$work/release-delta.json" >/dev/null
  "$publish" release "${signing[@]}" -o "$work/release-full.json" >/dev/null
  with_delta=$(click_to_restart release-delta.json)
  full=$(click_to_restart release-full.json)
  rm -rf "$work/app"
  printf 'delta bench tree at 100 Mbit/s: click to restart %.2f s with the delta vs %.2f s with the full package (%.2fx)\n' \
    "$with_delta" "$full" "$(awk -v a="$with_delta" -v b="$full" 'BEGIN { print a / b }')" \
    >"$work/restart-line"
}

real_binaries() {
  local package old new old_tree new_tree full delta tool
  local all_full=0 all_delta=0 all_tool=0
  for package in "${packages[@]}"; do
    read -r old new <<<"$(versions_of "$package")" || true
    if [ -z "${new:-}" ]; then
      echo "$package: one version only in the archive, left out"
      continue
    fi
    if ! (cd "$work" && apt-get download -qq "$package=$old" "$package=$new" 2>/dev/null); then
      echo "$package: apt-get download cannot fetch $old and $new here, left out"
      continue
    fi
    old_tree=$(package_of "$work/${package}_${old//:/%3a}_"*.deb "$work/old.zip")
    new_tree=$(package_of "$work/${package}_${new//:/%3a}_"*.deb "$work/new.zip")
    rm -rf "$work/out"
    "$publish" delta --package "$work/new.zip" --version 2 --from "1=$work/old.zip" \
      --output-dir "$work/out" 2>"$work/summary" >/dev/null
    full=$(stat -c %s "$work/new.zip")
    delta=$(stat -c %s "$work/out/new-from-1.delta.zip")
    tool=$(zstd_tool_bytes "$old_tree" "$new_tree")
    printf '%s %s -> %s: full zip %d bytes; delta %d bytes (%.1f%%); zstd -19 --patch-from per file %d bytes (%.1f%%)\n' \
      "$package" "$old" "$new" "$full" "$delta" "$(percent "$delta" "$full")" \
      "$tool" "$(percent "$tool" "$full")"
    sed 's/^/  /' "$work/summary"
    all_full=$((all_full + full)) all_delta=$((all_delta + delta)) all_tool=$((all_tool + tool))
  done
  if ((all_full)); then
    printf 'delta real binaries: %.1f%% of the full zip (zstd -19 per file: %.1f%%)\n' \
      "$(percent "$all_delta" "$all_full")" "$(percent "$all_tool" "$all_full")" >"$work/real-line"
  else
    echo "delta real binaries: none could be fetched (apt-get download)" >"$work/real-line"
  fi
}

bench_tree
restart_line
((quick)) || real_binaries
cat "$work/restart-line" "$work/tree-line"
((quick)) || cat "$work/real-line"
