#!/usr/bin/env bash
# Serves a fleet from this machine: N cloudservice instances on 127.0.0.1
# behind nginx, configured from cloudservice/deploy/nginx.conf.in. nginx ends
# TLS, serves the packages itself and balances the version checks; a check
# that meets a stopped instance goes to another one. Runs until Ctrl-C or
# TERM, then stops everything and removes its work folder.
#
#   scripts/serve-fleet.sh --catalog FILE --packages DIR [options]
#
#   --catalog FILE       the release catalog (see cloudservice/README.md)
#   --packages DIR       the folder nginx serves below /packages/
#   --instances N        cloudservice instances (default 2)
#   --port N             nginx's port on 127.0.0.1 (default 8080)
#   --cert FILE --key FILE  PEM certificate and key: nginx serves HTTPS
#   --cloudservice PATH  the executable (default build/cloudservice/cloudservice)
#   --database WHERE     where the instances keep outcome reports and halts:
#                        postgresql (default): one throwaway PostgreSQL cluster
#                        shared by all, so they agree on halts; sqlite: a file
#                        per instance, each halting on its own reports only;
#                        or a URL (sqlite:PATH, postgresql://...) for all
#   -- OPTION...         the rest goes to every instance, e.g. -- --metrics
#
# Prints one line per instance ("cloudservice I: URL (pid P, log FILE)"), then
# "fleet: URL (nginx pid P, work folder DIR)" once nginx accepts connections.
# /metrics is not served through nginx: scrape each instance at its own URL.
set -euo pipefail
cd "$(dirname "$0")/.."
template=$PWD/cloudservice/deploy/nginx.conf.in

catalog=
packages=
instances=2
port=8080
cert=
key=
service=${CLOUDSERVICE:-build/cloudservice/cloudservice}
instance_options=()
database=postgresql
usage() { sed -n '9,22p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
fail() { echo "serve-fleet: $*" >&2; exit 1; }
while (($#)); do
  case $1 in
    --catalog) catalog=${2:-}; shift 2 || usage ;;
    --packages) packages=${2:-}; shift 2 || usage ;;
    --instances) instances=${2:-}; shift 2 || usage ;;
    --port) port=${2:-}; shift 2 || usage ;;
    --cert) cert=${2:-}; shift 2 || usage ;;
    --key) key=${2:-}; shift 2 || usage ;;
    --cloudservice) service=${2:-}; shift 2 || usage ;;
    --database) database=${2:-}; shift 2 || usage ;;
    --) shift; instance_options=("$@"); break ;;
    -h | --help) usage ;;
    *) echo "serve-fleet: unknown option $1" >&2; usage ;;
  esac
done
[ -f "$catalog" ] || fail "--catalog FILE is required and must exist"
[ -d "$packages" ] || fail "--packages DIR is required and must be a folder"
[[ $instances =~ ^[1-9][0-9]*$ ]] || fail "--instances must be a whole number >= 1"
if ! [[ $port =~ ^[0-9]+$ ]] || ((port < 1 || port > 65535)); then
  fail "--port must be 1 to 65535"
fi
[[ -n $cert && -z $key || -z $cert && -n $key ]] && fail "HTTPS needs both --cert and --key"
case $database in
  postgresql | sqlite | sqlite:?* | postgresql://?* | postgres://?*) ;;
  *) fail "--database must be postgresql, sqlite or a URL" ;;
esac
[ -x "$service" ] || fail "no cloudservice at $service (build it, or give --cloudservice)"
nginx=$(PATH=$PATH:/usr/sbin:/sbin command -v nginx) ||
  fail "nginx is not installed (scripts/install-deps.sh installs it)"
absolute() { (cd "$(dirname "$1")" && echo "$PWD/$(basename "$1")"); }
catalog=$(absolute "$catalog")
packages=$(cd "$packages" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/vaderoru-fleet.XXXXXX")
pids=()
nginx_pid=
pg_dir=
pg_bin=
as_postgres=()
# shellcheck disable=SC2317 # both run from the traps
running() { local pid; for pid; do kill -0 "$pid" 2>/dev/null && return 0; done; return 1; }
# shellcheck disable=SC2317
cleanup() {
  trap - EXIT INT TERM
  local all=(${nginx_pid:+"$nginx_pid"} "${pids[@]}")
  if ((${#all[@]})); then
    kill "${all[@]}" 2>/dev/null || true
    # A signal that reaches a child between fork and exec is lost.
    for _ in $(seq 50); do running "${all[@]}" || break; sleep 0.1; done
    kill -KILL "${all[@]}" 2>/dev/null || true
  fi
  wait 2>/dev/null || true
  if [ -n "$pg_dir" ]; then
    "${as_postgres[@]}" "$pg_bin/pg_ctl" -D "$pg_dir/data" -m immediate -w stop >/dev/null 2>&1 || true
    rm -rf "$pg_dir"
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A cluster of our own, as tests/support/PostgresCluster makes it: initdb
# refuses to run as root, so there the server runs as the user postgres,
# in a folder of its own that it can reach.
start_postgres() {
  local port=15432
  pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  [ -x "$pg_bin/initdb" ] ||
    fail "PostgreSQL server binaries not found: install postgresql, or give --database sqlite"
  pg_dir=$(mktemp -d "${TMPDIR:-/tmp}/vaderoru-fleet-pg.XXXXXX")
  if [ "$(id -u)" = 0 ]; then
    chown postgres: "$pg_dir"
    as_postgres=(runuser -u postgres --)
  fi
  while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done
  "${as_postgres[@]}" "$pg_bin/initdb" -D "$pg_dir/data" -A trust -U postgres -E UTF8 --no-sync \
    >"$pg_dir/initdb.log" 2>&1 || fail "initdb failed: $(tail -n 5 "$pg_dir/initdb.log")"
  "${as_postgres[@]}" "$pg_bin/pg_ctl" -D "$pg_dir/data" -l "$pg_dir/server.log" -w \
    -o "-c listen_addresses=127.0.0.1 -p $port -k ''" start >/dev/null ||
    fail "PostgreSQL did not start: $(tail -n 5 "$pg_dir/server.log")"
  "${as_postgres[@]}" "$pg_bin/createdb" -h 127.0.0.1 -p "$port" -U postgres cloudservice ||
    fail "createdb failed"
  database=postgresql://postgres@127.0.0.1:$port/cloudservice
  echo "serve-fleet: reports and halts in $database (cluster in $pg_dir)" >&2
}
[ "$database" != postgresql ] || start_postgres

servers=
for i in $(seq "$instances"); do
  where=$database
  [ "$database" != sqlite ] || where=sqlite:$work/reports-$i.sqlite
  : >"$work/ready-$i" # before the instance opens it, so it is there to read
  "$service" --catalog "$catalog" --database "$where" --port 0 "${instance_options[@]}" \
    >"$work/ready-$i" 2>"$work/cloudservice-$i.log" &
  pids+=($!)
  address=
  for _ in $(seq 100); do
    address=$(sed -n 's#^cloudservice listening on http://\(.*\)$#\1#p' "$work/ready-$i")
    [ -n "$address" ] && break
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$address" ] || fail "cloudservice $i did not start: $(cat "$work/cloudservice-$i.log")"
  echo "cloudservice $i: http://$address (pid ${pids[-1]}, log $work/cloudservice-$i.log)"
  servers+="        server $address max_fails=1 fail_timeout=10s;"$'\n'
done

scheme=http
listen="127.0.0.1:$port"
tls=
if [ -n "$cert" ]; then
  scheme=https
  listen+=" ssl"
  tls="        ssl_certificate $(absolute "$cert");"$'\n'"        ssl_certificate_key $(absolute "$key");"
fi
# A master started as root hands its workers to an unprivileged user, who
# could not read the work folder or, often, the packages: keep ours.
user=
[ "$(id -u)" != 0 ] || user="user $(id -un) $(id -gn);"
while IFS= read -r line; do
  line=${line//@WORK@/"$work"}
  line=${line//@USER@/"$user"}
  line=${line//@LISTEN@/"$listen"}
  line=${line//@TLS@/"$tls"}
  line=${line//@PACKAGES@/"$packages"}
  line=${line//@INSTANCES@/"${servers%$'\n'}"}
  printf '%s\n' "$line"
done <"$template" >"$work/nginx.conf"

"$nginx" -e "$work/error.log" -p "$work" -c "$work/nginx.conf" -g 'daemon off;' &
nginx_pid=$!
listening=0
for _ in $(seq 100); do
  kill -0 "$nginx_pid" 2>/dev/null || break
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && listening=1 && break
  sleep 0.1
done
((listening)) || fail "nginx did not start: $(cat "$work/error.log")"
echo "fleet: $scheme://127.0.0.1:$port (nginx pid $nginx_pid, work folder $work)"
status=0
wait "$nginx_pid" || status=$?
nginx_pid=
echo "serve-fleet: nginx ended with status $status: $(tail -n 5 "$work/error.log")" >&2
exit 1
