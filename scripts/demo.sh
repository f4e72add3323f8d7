#!/usr/bin/env bash
# Shows one whole update on this machine: DemoApp 1.0.0 starts the updater,
# a local cloudservice offers 2.0.0, published and signed with
# vaderoru-publish, the updater verifies it against the root the installation
# pins, "Update now" downloads the signed delta from 1.0.0 (only what
# changed; the full package is the fallback) with a progress bar, checks its
# signed hash, installs it (WHATSNEW.txt) and DemoApp comes back as 2.0.0. Installs what is missing, builds, lays out a
# throw-away installation and removes it again when DemoApp is closed.
#
#   scripts/demo.sh [--lang zh_CN|en_US] [--throttle-kbps N] [--quit-after S] [--keep]
#   xvfb-run -a scripts/demo.sh --quit-after 10     (headless, e.g. over ssh)
#
#   --lang           language of the updater's texts (default: the system's)
#   --throttle-kbps  package download speed in KiB/s, so the progress bar can
#                    be watched (default 1536: about 3 s); 0 = unlimited
#   --quit-after     close DemoApp and the updater after S seconds (for runs
#                    where nobody is there to close the window)
#   --keep           keep the installation folder (logs, config) at the end
set -euo pipefail
cd "$(dirname "$0")/.."

lang=
throttle=1536
quit_after=
keep=0
usage() { sed -n '10,18p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while (($#)); do
  case $1 in
    --lang) lang=${2:-}; shift 2 || usage ;;
    --throttle-kbps) throttle=${2:-}; shift 2 || usage ;;
    --quit-after) quit_after=${2:-}; shift 2 || usage ;;
    --keep) keep=1; shift ;;
    -h | --help) usage ;;
    *) echo "demo: unknown option $1" >&2; usage ;;
  esac
done
case $lang in '' | zh_CN | en_US) ;; *) echo "demo: --lang must be zh_CN or en_US" >&2; exit 2 ;; esac
[[ $throttle =~ ^[0-9]+$ ]] || { echo "demo: --throttle-kbps must be a whole number" >&2; exit 2; }
[[ -z $quit_after || $quit_after =~ ^[0-9]+$ ]] ||
  { echo "demo: --quit-after must be a whole number of seconds" >&2; exit 2; }
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ]; then
  echo "demo: no display; run it as: xvfb-run -a $0 --quit-after 10" >&2
  exit 1
fi

step() { echo "demo: $*"; }

step "installing what is missing (scripts/install-deps.sh)"
scripts/install-deps.sh
build="build-demo"
step "building Release into $build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target VaDeroru DemoApp cloudservice vaderoru-publish \
  >/dev/null
publish=$build/publisher/vaderoru-publish

work=$(mktemp -d)
install=$work/installation
service_pid=
# Our installation's programs, found by the path they were started from.
ours="^${install//./\\.}/(DemoApp|VaDeroru)( |\$)"
cleanup() {
  pkill -f "$ours" 2>/dev/null || true
  [ -z "$service_pid" ] || kill "$service_pid" 2>/dev/null || true
  if ((keep)); then
    echo "demo: kept $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step "laying out an installation of DemoApp 1.0.0 in $install"
mkdir -p "$install/config/trust" "$work/packages" "$work/package/assets" "$work/keys"
cp "$build/app/VaDeroru" "$build/demo/DemoApp" "$install/"
printf '[BaseSetting]\nLangType=%s\n' "$lang" >"$install/config/system.ini"

step "making the vendor's keys (kept offline in real life) and pinning root 1 in the installation"
"$publish" keygen "$work/keys/root" >/dev/null
"$publish" keygen "$work/keys/release" >/dev/null
"$publish" root --version 1 --expires-days 365 --root-key "$work/keys/root.key" \
  --release-pub "$work/keys/release.pub" -o "$install/config/trust/root.json" >/dev/null

step "packing DemoApp 2.0.0 (a new file, the updater and a few MB of assets)"
cp "$build/demo/DemoApp" "$build/app/VaDeroru" "$work/package/"
printf 'What is new in 2.0.0\n- This file, installed by the update.\n- A new copy of the updater, put in place by DemoApp after the restart.\n' \
  >"$work/package/WHATSNEW.txt"
head -c $((4 * 1024 * 1024)) /dev/urandom >"$work/package/assets/sample.bin"
"$publish" package "$work/package" -o "$work/packages/DemoApp_2.0.0.zip" >/dev/null

step "making the delta from 1.0.0, whose assets are the same: only what changed is downloaded"
mkdir -p "$install/assets" "$work/package-1.0.0/assets"
cp "$work/package/assets/sample.bin" "$install/assets/"
cp -a "$install/DemoApp" "$install/VaDeroru" "$install/assets" "$work/package-1.0.0/"
"$publish" package "$work/package-1.0.0" -o "$work/DemoApp_1.0.0.zip" >/dev/null
"$publish" delta --package "$work/packages/DemoApp_2.0.0.zip" --version 2.0.0 \
  --from "1.0.0=$work/DemoApp_1.0.0.zip" --output-dir "$work/packages" >/dev/null
delta=$work/packages/DemoApp_2.0.0-from-1.0.0.delta.zip
echo "delta: $(stat -c %s "$delta") bytes, full package: $(stat -c %s "$work/packages/DemoApp_2.0.0.zip") bytes"
"$publish" release --key "$work/keys/release.key" --package "$work/packages/DemoApp_2.0.0.zip" \
  --software-root DemoApp --version-type general --version 2.0.0 --serial 1 --expires-days 30 \
  --delta "1.0.0=$delta" -o "$work/DemoApp_2.0.0.release.json" >/dev/null
"$publish" verify --root "$install/config/trust/root.json" "$work/DemoApp_2.0.0.release.json" \
  --package "$work/packages/DemoApp_2.0.0.zip"
cat >"$work/catalog.json" <<'JSON'
{
  "softwareRoots": {
    "DemoApp": {
      "general": {
        "releases": [
          {
            "version": "2.0.0",
            "url": "/packages/DemoApp_2.0.0.zip",
            "release": "DemoApp_2.0.0.release.json",
            "notes": {
              "en_US": "DemoApp 2.0.0\n1. What is new is listed on the start window.\n2. The updater updates itself as well.",
              "zh_CN": "DemoApp 2.0.0\n1. 开始窗口列出了新功能。\n2. 更新程序也会自我更新。",
              "default": "DemoApp 2.0.0: new start window, the updater updates itself as well."
            }
          }
        ]
      }
    }
  }
}
JSON

step "starting cloudservice (packages at ${throttle} KiB/s)"
"$build/cloudservice/cloudservice" --catalog "$work/catalog.json" --packages "$work/packages" \
  --port 0 --throttle-kbps "$throttle" >"$work/cloudservice.out" 2>"$work/cloudservice.log" &
service_pid=$!
port=
for _ in $(seq 50); do
  port=$(sed -n 's#^cloudservice listening on http://127\.0\.0\.1:\([0-9][0-9]*\)$#\1#p' \
    "$work/cloudservice.out")
  [ -n "$port" ] && break
  kill -0 "$service_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "demo: cloudservice did not report its port within 5 s:" >&2
  cat "$work/cloudservice.log" >&2
  exit 1
fi
step "cloudservice listening on port $port"
cat >"$install/config.ini" <<INI
[Version]
Version=1.0.0
ServiceIP=http://127.0.0.1
ServicePort=$port

[Demo]
SoftwareRoot=DemoApp
VersionType=general
INI

step "starting DemoApp 1.0.0; it starts the updater, which offers 2.0.0"
step "click \"Update now\"; close DemoApp to end the demo"
"$install/DemoApp" 2>>"$work/DemoApp.log" &
disown
started=$SECONDS
# DemoApp is stopped and started again by the updater, so the demo lasts
# until neither it nor the updater runs from our installation any more.
idle=0
while ((idle < 2)); do
  sleep 0.5
  if pgrep -f "$ours" >/dev/null; then
    idle=0
  else
    idle=$((idle + 1))
  fi
  if [ -n "$quit_after" ] && ((SECONDS - started >= quit_after)); then
    step "closing DemoApp after ${quit_after} s"
    pkill -f "$ours" || true
    quit_after=
  fi
done

if ((SECONDS - started < 3)); then
  echo "demo: DemoApp ended at once; what it said:" >&2
  grep -v XDG_RUNTIME_DIR "$work/DemoApp.log" >&2 || true
  exit 1
fi
version=$(sed -n 's/^Version=//p' "$install/config.ini")
step "DemoApp closed; the installation is at version ${version}"
if [ -f "$install/VaDeroru_temp" ]; then
  step "the new updater is still waiting beside the old one as VaDeroru_temp"
fi
