#!/usr/bin/env bash
# Renders the update window and the message box kinds into docs/screenshots/
# on the offscreen platform, then shrinks the pictures to small palette PNGs.
# Needs the build (BUILD_DIR, default build/) configured with the tests, the
# WenQuanYi font for the Chinese texts and ImageMagick.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
out="$root/docs/screenshots"

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build"
fi
cmake --build "$build" --target screenshot_driver -j2

raw="$(mktemp -d)"
trap 'rm -rf "$raw"' EXIT
# The offscreen platform's chatter is shown only when the driver fails.
if ! QT_QPA_PLATFORM=offscreen "$build/tests/widgets/screenshot_driver" "$raw" \
  >/dev/null 2>"$raw/driver.log"; then
  cat "$raw/driver.log" >&2
  exit 1
fi

mkdir -p "$out"
for picture in "$raw"/*.png; do
  /usr/bin/convert "$picture" -strip +dither -colors 128 \
    -define png:exclude-chunks=date,time "PNG8:$out/$(basename "$picture")"
done
ls -l "$out"
