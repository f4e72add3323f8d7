#!/usr/bin/env bash
# Cross-builds the updater for 64-bit Windows with the toolchain made by
# scripts/windows/build-toolchain.sh, warnings as errors, and lays out what
# it built the way windeployqt would: every executable, test and helper in
# <build>/bin next to the DLLs and Qt plugins they need, and the updater as
# shipped (VaDeroru.exe, ZLibWrap.dll, its DLLs and plugins) in <build>/dist.
#
#   scripts/windows/build.sh [--build-dir DIR] [--prefix DIR] [--jobs N]
#
# The build folder defaults to build-win (git-ignored), the toolchain folder
# to /opt/vaderoru-win (or $VADERORU_WIN_PREFIX). Compiles at the lowest CPU
# and I/O priority: the machine is shared.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
cd "$HERE/../.."
# shellcheck source=suites.sh
source "$HERE/suites.sh"

PREFIX=${VADERORU_WIN_PREFIX:-/opt/vaderoru-win}
BUILD=build-win
JOBS=$(nproc)
usage() { sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; }
while (($#)); do
  case $1 in
  --build-dir) BUILD=$2 && shift 2 ;;
  --prefix) PREFIX=$2 && shift 2 ;;
  --jobs) JOBS=$2 && shift 2 ;;
  -h | --help) usage && exit 0 ;;
  *) usage >&2 && exit 2 ;;
  esac
done

BUILD=$(realpath -m "$BUILD")
HOST=x86_64-w64-mingw32
QT=$PREFIX/qt5
BIN=$BUILD/bin
DIST=$BUILD/dist
QUIET_NICE=(nice -n 19)
ionice -c3 true 2>/dev/null && QUIET_NICE+=(ionice -c3)
START=$SECONDS

log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*"; }

# Everything else that the tests start or that ships.
EXTRA_TARGETS=(VaDeroru ZLibWrap vaderoru-publish cloudservice DemoApp screenshot_driver fake_main
  token_holder install_driver update_driver sharedcontext_helper)

# The DLLs next to the executables: Qt's, the libraries built into the
# toolchain folder, zlib and the compiler's runtime from Debian's packages.
# Qt's plugins are loaded, not linked, so they are named here; the offscreen
# platform lets the updater run where no display is. cloudservice, which
# does not ship, keeps its reports through the SQLite driver.
QT_PLUGINS=(platforms/qwindows platforms/qoffscreen styles/qwindowsvistastyle)
SERVICE_PLUGINS=(sqldrivers/qsqlite)
RUNTIME_DIRS=("$PREFIX/bin" "$QT/bin" "/usr/$HOST/lib"
  "$(dirname "$("$HOST-g++-posix" -print-file-name=libstdc++-6.dll)")")

check_toolchain() {
  if [ ! -e "$PREFIX/stamps/qtsql" ] || [ ! -f "$PREFIX/toolchain.cmake" ]; then
    echo "build: no toolchain in $PREFIX; run scripts/windows/build-toolchain.sh first" >&2
    exit 1
  fi
}

configure() {
  log "configuring $BUILD"
  mkdir -p "$BUILD"
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PREFIX/toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DVADERORU_WERROR=ON -DVADERORU_BUILD_BENCH=OFF \
    -DCMAKE_RUNTIME_OUTPUT_DIRECTORY="$BIN" >"$BUILD/configure.log" 2>&1 ||
    { cat "$BUILD/configure.log" >&2 && exit 1; }
}

# The tests CTest knows, less those that cannot be built for Windows.
test_targets() {
  local name
  for name in $(ctest --test-dir "$BUILD" --show-only=json-v1 |
    python3 -c 'import json,sys; print("\n".join(t["name"] for t in json.load(sys.stdin)["tests"]))'); do
    [ -n "${NOT_BUILT[$name]:-}" ] || echo "$name"
  done
}

compile() {
  local targets
  mapfile -t targets < <(test_targets)
  targets+=("${EXTRA_TARGETS[@]}")
  log "building ${#targets[@]} targets with $JOBS jobs"
  "${QUIET_NICE[@]}" cmake --build "$BUILD" -j "$JOBS" --target "${targets[@]}"
  local name
  for name in "${!NOT_BUILT[@]}"; do
    log "not built for Windows: $name (${NOT_BUILT[$name]})"
  done
}

# The runtime folder holding `file`, if any.
runtime_dir_of() {
  local dir
  for dir in "${RUNTIME_DIRS[@]}"; do
    [ -f "$dir/$1" ] && echo "$dir" && return
  done
  return 0
}

copy_runtime() {
  local file=$1 target=$2 dir
  dir=$(runtime_dir_of "$file")
  [ -n "$dir" ] || { echo "build: $file not found in: ${RUNTIME_DIRS[*]}" >&2 && exit 1; }
  cp -u "$dir/$file" "$target/"
}

# The DLL names `binary` imports.
imports_of() {
  "$HOST-objdump" -p "$1" | sed -n 's/^\s*DLL Name: //p'
}

# Wine's own DLLs stand for the system's; a DLL of ours ships even where
# Wine has one of that name (zlib1.dll).
WINE_DLLS=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
is_system_dll() {
  local lower=${1,,}
  [ -f "$WINE_DLLS/$lower" ] || [[ $lower == api-ms-win-* ]]
}

# Copies every DLL that the binaries in `folder` import, recursively, and
# that the system does not provide.
deploy_imports() {
  local folder=$1 changed=1 binary dll
  while ((changed)); do
    changed=0
    for binary in "$folder"/*.exe "$folder"/*.dll "$folder"/*/*.dll; do
      [ -f "$binary" ] || continue
      for dll in $(imports_of "$binary"); do
        [ -f "$folder/$dll" ] && continue
        if [ -n "$(runtime_dir_of "$dll")" ]; then
          copy_runtime "$dll" "$folder"
          changed=1
        elif ! is_system_dll "$dll"; then
          echo "build: $binary needs $dll, which neither Windows nor the toolchain has" >&2
          exit 1
        fi
      done
    done
  done
}

# Lays out `folder` for its executables to run: the plugins named after
# it, then every DLL imported.
deploy() {
  local folder=$1 plugin
  shift
  for plugin in "$@"; do
    mkdir -p "$folder/$(dirname "$plugin")"
    cp -u "$QT/plugins/$plugin.dll" "$folder/$plugin.dll"
  done
  deploy_imports "$folder"
}

lay_out_dist() {
  rm -rf "$DIST"
  mkdir -p "$DIST"
  cp "$BIN/VaDeroru.exe" "$BIN/ZLibWrap.dll" "$DIST/"
  deploy "$DIST" "${QT_PLUGINS[@]}"
}

# The suites that make test certificates call openssl: the toolchain's
# Windows one, with its configuration, stands in for the Linux tool.
add_openssl_tool() {
  cp -u "$PREFIX/bin/openssl.exe" "$BIN/"
  cp -u "$(find "$PREFIX/src" -maxdepth 3 -path '*/apps/openssl.cnf' | head -n 1)" "$BIN/"
}

main() {
  check_toolchain
  configure
  compile
  log "laying out $BIN and $DIST"
  add_openssl_tool
  deploy "$BIN" "${QT_PLUGINS[@]}" "${SERVICE_PLUGINS[@]}"
  lay_out_dist
  log "built in $((SECONDS - START)) s: $(find "$BIN" -maxdepth 1 -name '*.exe' | wc -l) executables in $BIN"
}

# One line: bash has read it whole before the build starts.
main "$@"; exit
