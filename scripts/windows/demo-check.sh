#!/usr/bin/env bash
# The demo (scripts/demo.sh) under Wine with nobody at the keyboard:
# DemoApp.exe 1.0.0 starts VaDeroru.exe, a Linux cloudservice on 127.0.0.1
# offers 2.0.0, signed with the Linux vaderoru-publish against the root the
# installation pins, the update is installed from the delta, DemoApp.exe
# comes back as 2.0.0 and puts VaDeroru_temp.exe in place of VaDeroru.exe.
# Then it starts the new VaDeroru.exe once more, which finds 2.0.0 up to date
# and clears what the watcher could not remove while it ran (its own copy),
# and checks the installation's files and config.ini.
#
#   scripts/windows/demo-check.sh [--build-dir DIR] [--cloudservice PROGRAM]
#                                 [--publish PROGRAM]
#
# The installation's VaDeroru.exe is update_driver.exe (tests/update), the
# updater with a scripted user who presses "Update now"
# (UPDATE_DRIVER_SCRIPT). The 2.0.0 package carries copies of it and of
# DemoApp.exe marked as another build: the link time in their PE header
# differs, which is what a rebuild changes and what Windows loads as before,
# so that the delta carries both and a new updater is really left as
# VaDeroru_temp.exe. DemoApp reads its version from config.ini, as in the
# demo. Linux programs not given are built in <build>/linux; the Wine prefix
# is test.sh's. Every wait has a time limit; the last line says what was
# seen, or which check failed and where the logs (<build>/demo-check-logs)
# are. Exits 0 only when every check held.
set -Eeuo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
cd "$HERE/../.."

BUILD=build-win
SERVICE=
PUBLISH=
usage() { sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'; }
while (($#)); do
  case $1 in
  --build-dir) BUILD=$2 && shift 2 ;;
  --cloudservice) SERVICE=$(realpath "$2") && shift 2 ;;
  --publish) PUBLISH=$(realpath "$2") && shift 2 ;;
  -h | --help) usage && exit 0 ;;
  *) usage >&2 && exit 2 ;;
  esac
done

BUILD=$(realpath -m "$BUILD")
BIN=$BUILD/bin
DIST=$BUILD/dist
LOGS=$BUILD/demo-check-logs
# shellcheck source=wine.sh
source "$HERE/wine.sh"

HOST=x86_64-w64-mingw32
# From DemoApp's start to the watch's end: a download, an installation and
# HEALTH_SECONDS of watching, each a few seconds.
UPDATE_LIMIT=300
HEALTH_SECONDS=5
WORK=
INSTALL=
SERVICE_PID=
PORT=
STARTED=$SECONDS
RESULT=

# The last line: what failed, and where to look.
fail() {
  RESULT="demo-check: FAILED: $*; logs in $LOGS"
  exit 1
}
trap 'fail "the step at line $LINENO ($BASH_COMMAND) failed"' ERR

# Keeps what tells the run's story, stops what it started, removes its
# folder, and prints the last line.
finish() {
  local status=$?
  trap - ERR
  if [ -n "$INSTALL" ] && [ -d "$INSTALL" ]; then
    cp -r "$INSTALL/log" "$LOGS/updater-log" 2>/dev/null || true
    cp "$INSTALL/config.ini" "$LOGS/" 2>/dev/null || true
    (cd "$INSTALL" && find . | sort) >"$LOGS/installation.txt" || true
  fi
  [ -z "$WORK" ] || cp "$WORK"/*.log "$LOGS/" 2>/dev/null || true
  if [ -n "$SERVICE_PID" ]; then
    kill "$SERVICE_PID" 2>/dev/null || true
    wait "$SERVICE_PID" 2>/dev/null || true
  fi
  # DemoApp 2.0.0 runs on until here, as a user would leave it.
  stop_wineserver
  [ -z "$WORK" ] || rm -rf "$WORK"
  [ -n "$RESULT" ] || RESULT="demo-check: FAILED: ended early (exit $status); logs in $LOGS"
  echo "$RESULT"
}
trap finish EXIT
trap 'fail "interrupted"' INT TERM

check_build() {
  local file
  for file in "$BIN/update_driver.exe" "$BIN/DemoApp.exe" "$DIST/VaDeroru.exe"; do
    [ -f "$file" ] || fail "no $file; run scripts/windows/build.sh --build-dir $BUILD first"
  done
}

linux_tools() {
  [ -n "$SERVICE" ] || SERVICE=$(linux_program cloudservice cloudservice/cloudservice)
  [ -n "$PUBLISH" ] || PUBLISH=$(linux_program vaderoru-publish publisher/vaderoru-publish)
}

# Copies into `folder` every DLL its programs import that the Windows
# build has and the folder lacks, until none is missing.
add_missing_dlls() {
  local folder=$1 changed=1 binary dll
  while ((changed)); do
    changed=0
    for binary in "$folder"/*.exe "$folder"/*.dll; do
      for dll in $("$HOST-objdump" -p "$binary" | sed -n 's/^\s*DLL Name: //p'); do
        if [ ! -f "$folder/$dll" ] && [ -f "$BIN/$dll" ]; then
          cp "$BIN/$dll" "$folder/"
          changed=1
        fi
      done
    done
  done
}

# A copy of the program `from` as another build would be: its PE header's
# link time (COFF TimeDateStamp) set to `stamp`.
mark_build() {
  local from=$1 to=$2 stamp=$3
  python3 - "$from" "$to" "$stamp" <<'PY'
import struct, sys
source, target, stamp = sys.argv[1], sys.argv[2], int(sys.argv[3])
image = bytearray(open(source, "rb").read())
header = struct.unpack_from("<I", image, 0x3C)[0]
if image[header:header + 4] != b"PE\0\0":
    sys.exit(f"{source} is not a PE image")
struct.pack_into("<I", image, header + 8, stamp)
open(target, "wb").write(image)
PY
}

publish() { "$PUBLISH" "$@" >>"$WORK/publish.log" 2>&1 || fail "vaderoru-publish $1 failed"; }

# DemoApp 1.0.0 as its setup leaves it: the shipped updater's DLLs and
# plugins, the scripted updater as VaDeroru.exe, DemoApp.exe, a few assets
# and the pinned root.
lay_out_installation() {
  mkdir -p "$INSTALL/config/trust" "$INSTALL/assets" "$WORK/keys"
  cp -r "$DIST/." "$INSTALL/"
  cp "$BIN/update_driver.exe" "$INSTALL/VaDeroru.exe"
  cp "$BIN/DemoApp.exe" "$INSTALL/"
  add_missing_dlls "$INSTALL"
  head -c $((1024 * 1024)) /dev/urandom >"$INSTALL/assets/sample.bin"
  printf '[BaseSetting]\r\nLangType=en_US\r\n' >"$INSTALL/config/system.ini"
  publish keygen "$WORK/keys/root"
  publish keygen "$WORK/keys/release"
  publish root --version 1 --expires-days 365 --root-key "$WORK/keys/root.key" \
    --release-pub "$WORK/keys/release.pub" -o "$INSTALL/config/trust/root.json"
}

# 2.0.0: both programs marked as a new build, WHATSNEW.txt and the same
# assets; published as a full package, a delta from 1.0.0 and the signed
# release naming both, as scripts/demo.sh does.
publish_release() {
  local old=$WORK/package-1.0.0 new=$WORK/package-2.0.0 packages=$WORK/packages
  mkdir -p "$old" "$new/assets" "$packages"
  cp -r "$INSTALL/DemoApp.exe" "$INSTALL/VaDeroru.exe" "$INSTALL/assets" "$old/"
  mark_build "$INSTALL/DemoApp.exe" "$new/DemoApp.exe" 2000000000
  mark_build "$INSTALL/VaDeroru.exe" "$new/VaDeroru.exe" 2000000000
  cp "$INSTALL/assets/sample.bin" "$new/assets/"
  printf 'What is new in 2.0.0\r\n' >"$new/WHATSNEW.txt"
  publish package "$new" -o "$packages/DemoApp_2.0.0.zip"
  publish package "$old" -o "$WORK/DemoApp_1.0.0.zip"
  publish delta --package "$packages/DemoApp_2.0.0.zip" --version 2.0.0 \
    --from "1.0.0=$WORK/DemoApp_1.0.0.zip" --output-dir "$packages"
  publish release --key "$WORK/keys/release.key" --package "$packages/DemoApp_2.0.0.zip" \
    --software-root DemoApp --version-type general --version 2.0.0 --serial 1 --expires-days 30 \
    --delta "1.0.0=$packages/DemoApp_2.0.0-from-1.0.0.delta.zip" \
    -o "$WORK/DemoApp_2.0.0.release.json"
  publish verify --root "$INSTALL/config/trust/root.json" "$WORK/DemoApp_2.0.0.release.json" \
    --package "$packages/DemoApp_2.0.0.zip"
  cat >"$WORK/catalog.json" <<'JSON'
{"softwareRoots": {"DemoApp": {"general": {"releases": [
  {"version": "2.0.0", "url": "/packages/DemoApp_2.0.0.zip",
   "release": "DemoApp_2.0.0.release.json", "notes": {"default": "DemoApp 2.0.0"}}]}}}}
JSON
}

start_service() {
  "$SERVICE" --catalog "$WORK/catalog.json" --packages "$WORK/packages" --port 0 \
    >"$WORK/service.out" 2>"$WORK/cloudservice.log" &
  SERVICE_PID=$!
  PORT=$(service_port "$WORK/service.out" "$SERVICE_PID") ||
    fail "cloudservice did not report its port within 10 s"
}

write_config() {
  printf '[Version]\r\nVersion=1.0.0\r\nServiceIP=http://127.0.0.1\r\nServicePort=%s\r\n' "$PORT" \
    >"$INSTALL/config.ini"
  printf '[Update]\r\nHealthSeconds=%s\r\n[Demo]\r\nSoftwareRoot=DemoApp\r\nVersionType=general\r\n' \
    "$HEALTH_SECONDS" >>"$INSTALL/config.ini"
}

installed_version() { tr -d '\r' <"$INSTALL/config.ini" | sed -n 's/^Version=//p'; }

# The end the demo shows: 2.0.0 recorded, the new updater in place and the
# watch over.
update_ended() {
  [ "$(installed_version)" = 2.0.0 ] && [ ! -e "$INSTALL/VaDeroru_temp.exe" ] &&
    cmp -s "$INSTALL/VaDeroru.exe" "$WORK/package-2.0.0/VaDeroru.exe" && watch_confirmed
}
watch_confirmed() { grep -q '"outcome": "confirmed"' "$INSTALL/downloads/outcomes.json" 2>/dev/null; }

# DemoApp 1.0.0 is ended by the updater, which the watcher follows; the
# wine command ends with DemoApp 1.0.0, the rest is watched on disk.
run_demo() {
  log "starting DemoApp.exe 1.0.0 (service on port $PORT)"
  (cd "$INSTALL" && WINEPATH='' WINEQT_PLUGIN_PATH='' UPDATE_DRIVER_SCRIPT='window;click:update' \
    timeout -k 5 "$UPDATE_LIMIT" wine DemoApp.exe >"$WORK/DemoApp.log" 2>&1) &
  local demo=$! deadline=$((SECONDS + UPDATE_LIMIT))
  until update_ended || ((SECONDS >= deadline)); do sleep 0.5; done
  wait "$demo" 2>/dev/null || true
}

# Windows lets no program remove its own file while it runs, so the watcher
# leaves its copy for the next start of the updater (install/WorkFolder.h),
# which here is the new VaDeroru.exe finding 2.0.0 up to date. While the
# watcher still holds the installation, the updater ends with -1 (255).
start_updater_again() {
  local deadline=$((SECONDS + 60)) status=255
  while ((status == 255 && SECONDS < deadline)); do
    status=0
    (cd "$INSTALL" && WINEPATH='' WINEQT_PLUGIN_PATH='' timeout -k 5 60 wine VaDeroru.exe update \
      DemoApp DemoApp.exe general >>"$WORK/updater-again.log" 2>&1) || status=$?
    ((status != 255)) || sleep 1
  done
  ((status == 0)) || fail "the new VaDeroru.exe ended with exit code $status at its next start"
}

# Each check in turn; the first that does not hold is the failure.
check() {
  local what=$1
  shift
  "$@" || fail "$what"
}
same_file() { cmp -s "$1" "$2"; }
absent() { [ ! -e "$1" ]; }
version_is_2() { [ "$(installed_version)" = 2.0.0 ]; }

check_installation() {
  check "config.ini says Version=$(installed_version), not 2.0.0" version_is_2
  check "DemoApp.exe is not 2.0.0's" same_file "$INSTALL/DemoApp.exe" "$WORK/package-2.0.0/DemoApp.exe"
  check "WHATSNEW.txt was not installed" same_file "$INSTALL/WHATSNEW.txt" "$WORK/package-2.0.0/WHATSNEW.txt"
  check "VaDeroru_temp.exe is still there: DemoApp 2.0.0 did not put it in place" \
    absent "$INSTALL/VaDeroru_temp.exe"
  check "VaDeroru.exe is not 2.0.0's" same_file "$INSTALL/VaDeroru.exe" "$WORK/package-2.0.0/VaDeroru.exe"
  check "the watch did not record DemoApp 2.0.0 as confirmed" watch_confirmed
  start_updater_again
  check "the work folder downloads/update is still there after the updater's next start" \
    absent "$INSTALL/downloads/update"
  check "the delta was not downloaded" grep -q 'DemoApp_2.0.0-from-1.0.0.delta.zip' "$WORK/cloudservice.log"
}

main() {
  rm -rf "$LOGS"
  mkdir -p "$LOGS"
  check_build
  linux_tools
  start_wine
  WORK=$(mktemp -d)
  INSTALL=$WORK/installation
  log "laying out DemoApp 1.0.0 in $INSTALL and publishing 2.0.0"
  lay_out_installation
  publish_release
  start_service
  write_config
  run_demo
  check_installation
  RESULT="demo-check: DemoApp 1.0.0 -> 2.0.0 under Wine, VaDeroru_temp.exe put in place, config.ini Version=2.0.0 ($((SECONDS - STARTED)) s)"
}

# One line: bash has read it whole before the demo starts.
main "$@"; exit
