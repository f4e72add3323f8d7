#!/usr/bin/env bash
# How small a delta package is beside the full package, on real pairs of
# Debian packages: the release's version and the security update's, each
# unpacked and zipped with `vaderoru-publish package`, then
# `vaderoru-publish delta` from the one to the other. Beside it, the same
# changed files patched one by one with `zstd -19 --patch-from`. A package
# with only one version in the archive is said so and left out.
#   bench/delta.sh [--quick] [BUILD_DIR]      (BENCH_DIR: work folder)
# --quick: libzstd1 only (a small library); otherwise libssl3 too.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/require.sh
packages=(libzstd1 libssl3)
if [ "${1:-}" = --quick ]; then
  packages=(libzstd1)
  shift
fi
build=$(bench_build "${1:-}" vaderoru-publish)
publish=$build/publisher/vaderoru-publish
require_built "$publish"
command -v zstd >/dev/null || { echo "needs the zstd tool (package zstd)" >&2; exit 1; }
work=${BENCH_DIR:-${TMPDIR:-/tmp}/vaderoru-bench-delta}
mkdir -p "$work"

# The version in the release and the one in its security updates.
versions_of() {
  apt-cache madison "$1" | awk -F' *\\| *' '
    $3 ~ /-security/ { security = $2 }
    $3 ~ /\/main .*Packages/ && $3 !~ /-(security|updates)/ { release = $2 }
    END { if (release != "" && security != "" && release != security) print release, security }'
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

for package in "${packages[@]}"; do
  read -r old new <<<"$(versions_of "$package")" || true
  if [ -z "${new:-}" ]; then
    echo "$package: one version only in the archive, left out"
    continue
  fi
  (cd "$work" && apt-get download -qq "$package=$old" "$package=$new" 2>/dev/null)
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
done
