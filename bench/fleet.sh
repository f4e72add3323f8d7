#!/usr/bin/env bash
# A staged rollout across a fleet: N installations, each with its own folder
# and id, run the updater in update mode, headless (the test driver: the
# updater's own entry point with a user who presses "Update now"), with
# fake_main, a small native program, as their main program. cloudservice
# offers release 2.0.1, whose main program crashes at every start, to 10% of
# them; the vendor then raises the rollout to 50% and 100%, as in a routine
# rollout. The rollbacks the installations report halt the release. Last, a
# good release at 100% reaches everyone.
#   bench/fleet.sh [--installations N] [--database sqlite|postgresql]
#                  [--parallel P] [BUILD_DIR]
# With postgresql, two instances behind nginx answer (scripts/serve-fleet.sh).
# BENCH_DIR: work folder. The halt is set to the default 5%, after at least
# max(5, N/20) installations: a 10% stage of 200 has about 20.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/require.sh
installations=200
database=sqlite
parallel=8
build=
while (($#)); do
  case $1 in
    --installations) installations=$2; shift 2 ;;
    --database) database=$2; shift 2 ;;
    --parallel) parallel=$2; shift 2 ;;
    -*) sed -n '10,14p' "$0" >&2; exit 2 ;;
    *) build=$1; shift ;;
  esac
done
[[ $database == sqlite || $database == postgresql ]] || { echo "--database sqlite|postgresql" >&2; exit 2; }
build=$(bench_build "$build" update_driver fake_main cloudservice)
driver=$build/tests/update/update_driver
main=$build/tests/helpers/fake_main
service=$(realpath "$build/cloudservice/cloudservice")
require_built "$driver" "$main" "$service"
command -v zip >/dev/null || { echo "needs zip (scripts/install-deps.sh)" >&2; exit 1; }

work=${BENCH_DIR:-${TMPDIR:-/tmp}/vaderoru-bench-fleet}
root=FlowApp
minimum=$((installations / 20 > 5 ? installations / 20 : 5))
rm -rf "$work"
mkdir -p "$work/packages" "$work/fleet"
catalog=$work/catalog.json

stop_fleet() {
  pkill -f "^$work/fleet/" 2>/dev/null || true
  [ -n "${service_pid:-}" ] && kill "$service_pid" 2>/dev/null || true
  [ -n "${fleet_pid:-}" ] && kill "$fleet_pid" 2>/dev/null && wait "$fleet_pid" 2>/dev/null || true
}
trap stop_fleet EXIT

# A package whose main program behaves as `behaviour` and which names its
# version in version.txt, for the check that nothing was left half done.
make_package() {
  local version=$1 behaviour=$2 tree=$work/tree-$1
  mkdir -p "$tree"
  echo "$behaviour" >"$tree/FlowMain.behaviour"
  echo "$version" >"$tree/version.txt"
  (cd "$tree" && zip -q -X "$work/packages/FlowApp_$version.zip" FlowMain.behaviour version.txt)
}
make_package 2.0.1 segv
make_package 2.0.2 healthy

release() { # version [extra members]
  printf '{"version":"%s","url":"/packages/FlowApp_%s.zip","notes":{"default":"%s"}%s}' \
    "$1" "$1" "$1" "${2:-}"
}
write_catalog() {
  printf '{"softwareRoots":{"%s":{"general":{"releases":[%s]}}}}\n' "$root" "$1" >"$catalog.new"
  mv "$catalog.new" "$catalog"
}
write_catalog "$(release 2.0.1 ",\"rollout\":{\"percent\":10},\"halt\":{\"percent\":5,\"minimumInstallations\":$minimum}")"

if [ "$database" = sqlite ]; then
  database_url=sqlite:$work/reports.sqlite
  "$service" --catalog "$catalog" --packages "$work/packages" --database "$database_url" \
    --port 0 >"$work/ready" 2>"$work/service.log" &
  service_pid=$!
  pattern='s#^cloudservice listening on http://127\.0\.0\.1:\([0-9][0-9]*\)$#\1#p'
else
  port=$((20000 + RANDOM % 20000))
  CLOUDSERVICE=$service scripts/serve-fleet.sh --catalog "$catalog" --packages "$work/packages" \
    --instances 2 --port "$port" --database postgresql >"$work/ready" 2>"$work/service.log" &
  fleet_pid=$!
  pattern='s#^fleet: http://127\.0\.0\.1:\([0-9][0-9]*\) .*#\1#p'
fi
port=
for _ in $(seq 300); do
  port=$(sed -n "$pattern" "$work/ready")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "the service did not start:" >&2; cat "$work/service.log" >&2; exit 1; }
[ "$database" = postgresql ] &&
  database_url=$(sed -n 's#^serve-fleet: reports and halts in \(postgresql://[^ ]*\) .*#\1#p' \
    "$work/service.log")

echo "setting up $installations installations in $work/fleet ..."
for i in $(seq "$installations"); do
  folder=$work/fleet/$i
  mkdir -p "$folder"
  cp "$driver" "$folder/VaDeroru"
  cp "$main" "$folder/FlowMain"
  echo run >"$folder/FlowMain.behaviour"
  echo 2.0.0 >"$folder/version.txt"
  printf '[Version]\nServiceIP=http://127.0.0.1\nServicePort=%s\nVersion=2.0.0\n[Update]\nHealthSeconds=2\n' \
    "$port" >"$folder/config.ini"
done

# One start of the updater in every installation, P at a time, then the
# watches of the installations that took the offer.
round() {
  seq "$installations" | xargs -P "$parallel" -I{} env QT_QPA_PLATFORM=offscreen \
    UPDATE_DRIVER_SCRIPT='window;click:update' UPDATE_DRIVER_WATCH_SCRIPT=box \
    UPDATE_DRIVER_WATCH_REPORT=/dev/null timeout 120 "$work/fleet/{}/VaDeroru" update "$root" FlowMain \
    >/dev/null 2>&1 || true
  for _ in $(seq 600); do
    compgen -G "$work/fleet/*/downloads/update/journal" >/dev/null || return 0
    sleep 0.2
  done
  echo "some watches did not end" >&2
}

count_outcome() { # to-version outcome
  grep -l "\"to\": \"$1\"" "$work"/fleet/*/downloads/outcomes.json 2>/dev/null |
    xargs -r grep -l "\"outcome\": \"$2\"" | wc -l
}
reached() {
  grep -l '"to": "2.0.1"' "$work"/fleet/*/downloads/outcomes.json 2>/dev/null | wc -l
}
# Broken: files of one version, config.ini of another, or an update left half done.
broken() {
  local folder count=0
  for folder in "$work"/fleet/*; do
    if [ "$(cat "$folder/version.txt")" != "$(sed -n 's/^Version=//p' "$folder/config.ini")" ] ||
      [ -e "$folder/downloads/update/journal" ]; then
      count=$((count + 1))
    fi
  done
  echo "$count"
}
show() { "$service" release show --catalog "$catalog" --database "$database_url" \
  --root "$root" --type general --version 2.0.1; }

start=$(date +%s.%N)
for percent in 10 50 100; do
  [ "$percent" = 10 ] ||
    "$service" release rollout --catalog "$catalog" --root "$root" --type general \
      --version 2.0.1 --percent "$percent" >/dev/null
  round
  sleep 3 # the last reports written and the halt seen by every instance
  printf 'bad release at %3s%%: reached %s, rolled back %s, broken %s (%.0f s)\n' "$percent" \
    "$(reached)" "$(count_outcome 2.0.1 rolledBack)" "$(broken)" \
    "$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { print e - s }')"
done
show | tee "$work/show.txt"
halted_after=$(sed -n 's/^halted: yes.*: [0-9][0-9]* of \([0-9][0-9]*\) installations.*/\1/p' \
  "$work/show.txt")

pkill -f "^$work/fleet/" 2>/dev/null || true
write_catalog "$(release 2.0.1 ",\"rollout\":{\"percent\":100}"),$(release 2.0.2)"
sleep 1.5 # the catalog is looked at once a second
round
good=$(count_outcome 2.0.2 confirmed)
bad=$(reached)
rolled=$(count_outcome 2.0.1 rolledBack)
broke=$(broken)
echo "fleet: bad release reached $bad of $installations ($(awk -v a="$bad" -v n="$installations" \
  'BEGIN { printf "%.1f", 100 * a / n }')%), rolled back $rolled, broken $broke, halted after \
${halted_after:-no} reports; good release reached $good of $installations"
