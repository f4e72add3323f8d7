#!/usr/bin/env bash
# Runs the test suites of the Windows build (scripts/windows/build.sh) under
# Wine, one after another, and prints PASS or FAIL for each; then the
# acceptance check: VaDeroru.exe in a laid-out installation whose config.ini
# points at a Linux cloudservice on 127.0.0.1 with an up-to-date answer must
# end with exit code 0 after one version check.
#
#   scripts/windows/test.sh [--build-dir DIR] [--cloudservice PROGRAM]
#                           [--no-acceptance] [SUITE...]
#
# Named suites run alone; "acceptance" names the acceptance check, which
# uses the Linux cloudservice given, or builds one in <build>/linux.
# Suites that cannot work under Wine are listed with the reason in
# scripts/windows/suites.sh and reported as NOT RUN, never skipped silently.
# The Wine prefix is kept in $VADERORU_WINEPREFIX (default
# ~/.cache/vaderoru-wine) and made on the first run. Logs go to
# <build>/test-logs.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
cd "$HERE/../.."
# shellcheck source=suites.sh
source "$HERE/suites.sh"

BUILD=build-win
ACCEPTANCE=1
LINUX_SERVICE=
ONLY=()
usage() { sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; }
while (($#)); do
  case $1 in
  --build-dir) BUILD=$2 && shift 2 ;;
  --cloudservice) LINUX_SERVICE=$(realpath "$2") && shift 2 ;;
  --no-acceptance) ACCEPTANCE=0 && shift ;;
  -h | --help) usage && exit 0 ;;
  -*) usage >&2 && exit 2 ;;
  *) ONLY+=("$1") && shift ;;
  esac
done

BUILD=$(realpath -m "$BUILD")
BIN=$BUILD/bin
LOGS=$BUILD/test-logs
# shellcheck source=wine.sh
source "$HERE/wine.sh"

check_build() {
  if [ ! -f "$BIN/VaDeroru.exe" ]; then
    echo "test: no Windows build in $BUILD; run scripts/windows/build.sh first" >&2
    exit 1
  fi
}

stop_wine() {
  stop_service
  stop_wineserver
}

# The CTest name and time limit of each suite, one "name seconds" a line.
suites() {
  ctest --test-dir "$BUILD" --show-only=json-v1 | python3 -c '
import json, sys
for test in json.load(sys.stdin)["tests"]:
    limit = next((p["value"] for p in test.get("properties", []) if p["name"] == "TIMEOUT"), 120)
    print(test["name"], int(limit))'
}

wanted() {
  ((${#ONLY[@]} == 0)) && return 0
  local name
  for name in "${ONLY[@]}"; do [ "$name" = "$1" ] && return 0; done
  return 1
}

PASSED=()
FAILED=()
NOT_RUN=()

# Sets SELECTION to what suite `name` is told to run: nothing (all of it)
# unless parts of it are listed as not run under Wine; those are reported
# here, and every other function and row is named.
SELECTION=()
choose_selection() {
  local name=$1 function row part reason
  SELECTION=()
  [[ " ${!PARTS_NOT_RUN[*]} " == *" $name:"* ]] || return 0
  while read -r _ function row; do
    part=$function${row:+:$row}
    reason=${PARTS_NOT_RUN[$name:$part]:-${PARTS_NOT_RUN[$name:$function]:-}}
    if [ -n "$reason" ]; then
      NOT_RUN+=("$name:$part")
      log "NOT RUN $name:$part: $reason"
    else
      SELECTION+=("$part")
    fi
  done < <(cd "$BIN" && wine "$name.exe" -datatags | tr -d '\r')
}

# Wine starts programs more slowly and its file system is slower: each suite
# gets twice its CTest limit, and none of its functions less (Qt Test ends
# one after 300 s; installjournal's random kills take about that under Wine).
run_suite() {
  local name=$1 limit=$2 started status=0
  choose_selection "$name"
  started=$SECONDS
  (cd "$BIN" && QTEST_FUNCTION_TIMEOUT=$((limit * 2000)) timeout -k 10 $((limit * 2)) \
    "${QUIET_NICE[@]}" wine "$name.exe" "${SELECTION[@]}" >"$LOGS/$name.log" 2>&1) || status=$?
  local took=$((SECONDS - started))
  if ((status == 0)); then
    PASSED+=("$name")
    log "PASS    $name (${took} s)"
  else
    FAILED+=("$name")
    log "FAIL    $name (exit $status, ${took} s, log: $LOGS/$name.log)"
    grep -E '^(FAIL!|   Loc:)' "$LOGS/$name.log" | head -n 6 | sed 's/^/          /' || true
  fi
}

run_suites() {
  local name limit reason
  while read -r name limit; do
    wanted "$name" || continue
    reason=$(why_not_run "$name")
    if [ -n "$reason" ]; then
      NOT_RUN+=("$name")
      log "NOT RUN $name: $reason"
      continue
    fi
    run_suite "$name" "$limit"
  done < <(suites)
}

# --- acceptance check ------------------------------------------------------

ACCEPTANCE_DIR=
SERVICE_PID=
SERVICE_PORT=

# The Linux cloudservice: the one given, or one built beside the Windows
# build.
linux_cloudservice() {
  if [ -n "$LINUX_SERVICE" ]; then
    echo "$LINUX_SERVICE"
    return
  fi
  linux_program cloudservice cloudservice/cloudservice
}

# Starts the service with a catalog whose newest release is `version`; sets
# SERVICE_PID and SERVICE_PORT. Not in a subshell: the caller stops it.
start_service() {
  local version=$1 service port=
  service=$(linux_cloudservice)
  cat >"$ACCEPTANCE_DIR/catalog.json" <<JSON
{"softwareRoots": {"DemoApp": {"general": {"releases": [
  {"version": "$version", "url": "/packages/DemoApp_$version.zip"}]}}}}
JSON
  mkdir -p "$ACCEPTANCE_DIR/packages"
  "$service" --catalog "$ACCEPTANCE_DIR/catalog.json" --packages "$ACCEPTANCE_DIR/packages" \
    --port 0 >"$ACCEPTANCE_DIR/service.out" 2>"$ACCEPTANCE_DIR/service.log" &
  SERVICE_PID=$!
  port=$(service_port "$ACCEPTANCE_DIR/service.out" "$SERVICE_PID") ||
    { cat "$ACCEPTANCE_DIR/service.log" >&2 && return 1; }
  SERVICE_PORT=$port
}

stop_service() {
  [ -n "$SERVICE_PID" ] || return 0
  kill "$SERVICE_PID" 2>/dev/null || true
  wait "$SERVICE_PID" 2>/dev/null || true
  SERVICE_PID=
}

# An installation of DemoApp as a Windows setup leaves it: the updater as
# shipped, the main program and config.ini.
lay_out_installation() {
  local install=$1 port=$2 version=$3
  mkdir -p "$install/config"
  cp -r "$BUILD/dist/." "$install/"
  cp "$BIN/DemoApp.exe" "$install/"
  printf '[Version]\r\nVersion=%s\r\nServiceIP=http://127.0.0.1\r\nServicePort=%s\r\n' \
    "$version" "$port" >"$install/config.ini"
  printf '[BaseSetting]\r\nLangType=en_US\r\n' >"$install/config/system.ini"
}

acceptance() {
  ACCEPTANCE_DIR=$(mktemp -d)
  local install=$ACCEPTANCE_DIR/installation status=0 checks
  start_service 2.0.0
  lay_out_installation "$install" "$SERVICE_PORT" 2.0.0
  log "acceptance: wine VaDeroru.exe update DemoApp DemoApp.exe (service on port $SERVICE_PORT)"
  # Without the search path of the tests: the installation must be complete.
  (cd "$install" && WINEPATH='' WINEQT_PLUGIN_PATH='' timeout -k 10 120 wine VaDeroru.exe update DemoApp \
    DemoApp.exe >"$LOGS/acceptance.log" 2>&1) || status=$?
  checks=$(grep -c 'POST /cloudService/version/checkVersion' "$ACCEPTANCE_DIR/service.log" || true)
  cp "$ACCEPTANCE_DIR/service.log" "$LOGS/acceptance-service.log"
  rm -rf "$LOGS/acceptance-updater-log"
  cp -r "$install/log" "$LOGS/acceptance-updater-log" 2>/dev/null || true
  stop_service
  if ((status == 0 && checks == 1)); then
    log "PASS    acceptance (exit 0 after $checks version check)"
    PASSED+=(acceptance)
  else
    log "FAIL    acceptance (exit $status, $checks version checks; logs: $LOGS/acceptance*.log)"
    FAILED+=(acceptance)
  fi
  rm -rf "$ACCEPTANCE_DIR"
}

main() {
  check_build
  trap stop_wine EXIT
  start_wine
  run_suites
  if ((ACCEPTANCE)) && wanted acceptance; then acceptance; fi
  echo
  echo "not run under Wine: ${#NOT_RUN[@]} (${NOT_RUN[*]:-none})"
  echo "failed: ${FAILED[*]:-none}"
  echo "${#PASSED[@]} passed, ${#FAILED[@]} failed"
  ((${#FAILED[@]} == 0))
}

# One line: bash has read it whole before the tests start.
main "$@"; exit
