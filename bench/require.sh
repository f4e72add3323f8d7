# Sourced by the benchmarks: stops with a hint when a program they run has
# not been built.
require_built() {
  local program
  for program in "$@"; do
    [ -x "$program" ] || { echo "build $program first" >&2; exit 1; }
  done
}
