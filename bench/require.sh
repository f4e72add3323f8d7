# Sourced by the benchmarks: the build they time and the cloudservice they
# ask.

# Stops with a hint when a program the benchmark runs has not been built.
require_built() {
  local program
  for program in "$@"; do
    [ -x "$program" ] || { echo "build $program first" >&2; exit 1; }
  done
}

# Prints the build folder: BUILD_DIR when given, else build-bench, built in
# Release first with the targets named after it.
#   build=$(bench_build "${1:-}" VaDeroru cloudservice)
bench_build() {
  local build=$1
  shift
  if [ -z "$build" ]; then
    build="build-bench"
    echo "building Release into $build ..." >&2
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" -j"$(nproc)" --target "$@" >/dev/null
  fi
  echo "$build"
}

# Starts `service` (cloudservice) on a free port of 127.0.0.1 with
# `catalog`, its log in `work`/service.log, and sets port; it is stopped when
# the script exits.
start_cloudservice() {
  local service=$1 catalog=$2 work=$3
  "$service" --catalog "$catalog" --port 0 >"$work/ready" 2>"$work/service.log" &
  service_pid=$!
  trap 'kill "$service_pid" 2>/dev/null || true' EXIT
  port=
  for _ in $(seq 100); do
    port=$(sed -n 's#^cloudservice listening on http://127\.0\.0\.1:\([0-9][0-9]*\)$#\1#p' "$work/ready")
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  echo "cloudservice did not start:" >&2
  cat "$work/service.log" >&2
  exit 1
}
