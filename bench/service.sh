#!/usr/bin/env bash
# Loads cloudservice with wrk on 127.0.0.1: the signed version check, from a
# catalog whose release is signed as in a signed deployment, and a package
# GET, each on 1 and 50 connections, beside nginx serving the same answer
# and the same package as static files, and the check once more through
# scripts/serve-fleet.sh (nginx in front of two instances), and once while
# installations post signed outcome reports at the same time (about 1,000
# reports/s in 5-report requests, which the service stores in its SQLite
# file). Prints requests/s, median and 99th percentile latency per row, and
# how much the check loses to the reports.
#   bench/service.sh [BUILD_DIR]      (default build; BENCH_DIR: work folder,
#                                      DURATION: seconds per row, default 10)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/require.sh
build=${1:-build}
work=${BENCH_DIR:-${TMPDIR:-/tmp}/vaderoru-bench-service}
duration=${DURATION:-10}
service=$build/cloudservice/cloudservice
publish=$build/publisher/vaderoru-publish
require_built "$service" "$publish"
for tool in wrk curl; do
  command -v "$tool" >/dev/null || { echo "needs $tool (scripts/install-deps.sh)" >&2; exit 1; }
done
nginx=$(PATH=$PATH:/usr/sbin:/sbin command -v nginx) ||
  { echo "needs nginx (scripts/install-deps.sh)" >&2; exit 1; }

root=BenchApp
installed=1.0.0
version=2.0.0
rm -rf "$work"
mkdir -p "$work/keys" "$work/content" "$work/packages" "$work/static" "$work/nginx"
"$publish" keygen "$work/keys/root" >/dev/null
"$publish" keygen "$work/keys/release" >/dev/null
"$publish" root --version 1 --expires-days 30 --root-key "$work/keys/root.key" \
  --release-pub "$work/keys/release.pub" -o "$work/root.json" >/dev/null
head -c 1048576 /dev/urandom >"$work/content/app.bin"
echo "$version" >"$work/content/version.txt"
package_name=${root}_$version.zip
"$publish" package "$work/content" -o "$work/packages/$package_name" >/dev/null
"$publish" release --key "$work/keys/release.key" --package "$work/packages/$package_name" \
  --software-root "$root" --version-type general --version "$version" --serial 1 \
  --expires-days 7 -o "$work/release.json" >/dev/null
cat >"$work/catalog.json" <<JSON
{ "roots": ["root.json"], "softwareRoots": { "$root": { "general": { "releases": [
  { "version": "$version", "url": "/packages/$package_name", "release": "release.json" } ] } } } }
JSON

pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; wait || true; }
trap cleanup EXIT
free_port() { # the first port from $1 up that nothing listens on
  local port=$1
  while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done
  echo "$port"
}
wait_for() { # file, sed expression printing the address -> address
  local address=
  for _ in $(seq 100); do
    address=$(sed -n "$2" "$1")
    [ -n "$address" ] && break
    sleep 0.1
  done
  [ -n "$address" ] || { echo "did not start: $(cat "$1")" >&2; exit 1; }
  echo "$address"
}

"$service" --catalog "$work/catalog.json" --packages "$work/packages" --port 0 \
  >"$work/ready" 2>>"$work/service.log" &
pids+=($!)
ours=$(wait_for "$work/ready" 's#^cloudservice listening on \(http://.*\)$#\1#p')

# The updater's envelope: compact JSON with sorted keys, the fixed client
# version header, an empty token. The service checks the signature, not the
# timestamp's age, so one signed request serves the whole run.
body="{\"platformType\":\"2\",\"softwareRoot\":\"$root\",\"version\":\"$installed\",\"versionType\":\"general\"}"
timestamp=$(date +%s%3N)
sign=$(printf '%s' "$timestamp$body" | md5sum | cut -d' ' -f1)
cat >"$work/check.lua" <<LUA
wrk.method = "POST"
wrk.body = '$body'
wrk.headers["Content-Type"] = "application/json;charset=UTF-8"
wrk.headers["platform"] = "2"
wrk.headers["langType"] = "en_US"
wrk.headers["version"] = "1.0.0"
wrk.headers["timestamp"] = "$timestamp"
wrk.headers["sign"] = "$sign"
LUA
check_path=/cloudService/version/checkVersion
curl -s --fail -X POST "$ours$check_path" -H "platform: 2" -H "langType: en_US" \
  -H "version: 1.0.0" -H "timestamp: $timestamp" -H "sign: $sign" \
  -H "Content-Type: application/json;charset=UTF-8" --data-binary "$body" >"$work/static/answer.json"
if ! grep -q '"needUpdate":true' "$work/static/answer.json" ||
  ! grep -q '"release":{' "$work/static/answer.json"; then
  echo "unexpected answer from cloudservice: $(cat "$work/static/answer.json")" >&2
  exit 1
fi

nginx_port=$(free_port 18080)
cat >"$work/nginx/nginx.conf" <<CONF
$([ "$(id -u)" != 0 ] || echo "user $(id -un) $(id -gn);")
worker_processes auto;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 4096; }
http {
    access_log $work/nginx/access.log combined buffer=64k flush=1s;
    client_body_temp_path $work/nginx/client_body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    types { application/json json; application/zip zip; }
    sendfile on;
    tcp_nopush on;
    keepalive_requests 10000;
    server {
        listen 127.0.0.1:$nginx_port;
        root $work/static;
        location /packages/ { alias $work/packages/; }
    }
}
CONF
"$nginx" -e "$work/nginx/error.log" -p "$work/nginx" -c "$work/nginx/nginx.conf" -g 'daemon off;' &
pids+=($!)
reference="http://127.0.0.1:$nginx_port"
for _ in $(seq 100); do curl -s -o /dev/null "$reference/answer.json" && break; sleep 0.1; done

fleet_port=$(free_port $((nginx_port + 1)))
scripts/serve-fleet.sh --catalog "$work/catalog.json" --packages "$work/packages" \
  --port "$fleet_port" --cloudservice "$service" >"$work/fleet" 2>&1 &
pids+=($!)
fleet=$(wait_for "$work/fleet" 's#^fleet: \(http://[^ ]*\) .*#\1#p')

# Signed report requests, each from its own installation with 5 reports of
# their own; wrk goes through them in turn at a steady pace.
python3 - "$work/reports.lua" "$root" "$version" <<'PY'
import hashlib, json, sys
out, root, version = sys.argv[1:4]
timestamp = "1765150000123"
with open(out, "w") as lua:
    lua.write('wrk.method = "POST"\nwrk.headers["Content-Type"] = "application/json;charset=UTF-8"\n'
              'wrk.headers["platform"] = "2"\nwrk.headers["version"] = "1.0.0"\n'
              'wrk.headers["timestamp"] = "%s"\nlocal bodies, signs, ids = {}, {}, {}\n' % timestamp)
    for n in range(2000):
        reports = [{"id": "%016x" % (n * 5 + i), "outcome": "confirmed", "fromVersion": "1.0.0",
                    "toVersion": version, "at": "2026-12-09T08:00:00Z"} for i in range(5)]
        body = json.dumps({"platformType": "2", "softwareRoot": root, "versionType": "general",
                           "reports": reports}, separators=(",", ":"))
        sign = hashlib.md5((timestamp + body).encode()).hexdigest()
        lua.write("bodies[%d] = '%s'\nsigns[%d] = '%s'\nids[%d] = '%032x'\n"
                  % (n + 1, body, n + 1, sign, n + 1, n + 1))
    lua.write("""local n = 0
function request()
  n = n % #bodies + 1
  wrk.headers["sign"] = signs[n]
  wrk.headers["X-Installation-Id"] = ids[n]
  return wrk.format(nil, nil, nil, bodies[n])
end
function delay() return 5 end
""")
PY

to_ms() { awk '{ v = $1 + 0; if ($1 ~ /us$/) v /= 1000; else if ($1 ~ /[0-9]s$/) v *= 1000; printf "%.3f", v }'; }
row() { # label, connections, url, [wrk script]
  local label=$1 connections=$2 url=$3 script=${4:-} report rps p50 p99 errors
  local threads=$((connections < 2 ? 1 : 2))
  report=$(wrk -t"$threads" -c"$connections" -d"${duration}s" --latency \
    ${script:+-s "$script"} "$url")
  rps=$(awk '/^Requests\/sec:/ { printf "%.0f", $2 }' <<<"$report")
  p50=$(awk '$1 == "50%" { print $2 }' <<<"$report" | to_ms)
  p99=$(awk '$1 == "99%" { print $2 }' <<<"$report" | to_ms)
  errors=$(grep -E 'Non-2xx|Socket errors' <<<"$report" | tr -s ' ' | paste -sd';' || true)
  printf '%-34s %5s %12s %9s %9s  %s%s\n' "$label" "$connections" "$rps" "$p50" "$p99" \
    "${row_note:-}" "$errors"
  last_rps=$rps
}

echo "wrk, ${duration} s per row; answer $(stat -c %s "$work/static/answer.json") bytes" \
  "(with the signed release and root), package $(stat -c %s "$work/packages/$package_name") bytes"
printf '%-34s %5s %12s %9s %9s\n' "" conns "requests/s" "p50 ms" "p99 ms"
for connections in 1 50; do
  row "check: cloudservice" "$connections" "$ours$check_path" "$work/check.lua"
  plain_rps=$last_rps
  wrk -t1 -c1 -d"$((duration + 1))s" -s "$work/reports.lua" "$ours/cloudService/update/report" \
    >"$work/reports-$connections.txt" &
  reports_pid=$!
  sleep 0.5
  reports_before=$(grep -c 'POST /cloudService/update/report 200' "$work/service.log" || true)
  row_note="(reports: busy) " row "check, while reports arrive" "$connections" "$ours$check_path" \
    "$work/check.lua" >"$work/row"
  reports_after=$(grep -c 'POST /cloudService/update/report 200' "$work/service.log" || true)
  wait "$reports_pid"
  drop=$(awk -v a="$plain_rps" -v b="$last_rps" 'BEGIN { printf "%.1f", a ? (a - b) * 100 / a : 0 }')
  sed "s/(reports: busy) /($(((reports_after - reports_before) * 5 / duration)) reports\/s, check -$drop%) /" \
    "$work/row"
  row "check: nginx, static answer (GET)" "$connections" "$reference/answer.json"
  row "check: nginx -> 2 cloudservice" "$connections" "$fleet$check_path" "$work/check.lua"
  row "package: cloudservice" "$connections" "$ours/packages/$package_name"
  row "package: nginx" "$connections" "$reference/packages/$package_name"
done
refused=$(grep -c 'checkVersion refused' "$work/service.log" || true)
if ((refused > 0)) || grep -q 'report refused' "$work/service.log"; then
  echo "cloudservice refused $refused of the checks: the figures above are not of signed checks" >&2
  exit 1
fi
