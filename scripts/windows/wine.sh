# What the Windows programs need to run under Wine, shared by
# scripts/windows/test.sh and scripts/windows/demo-check.sh: the prefix,
# one Wine server for the whole run, the search path to <build>/bin, fonts,
# and the Linux programs that stand beside them. Sourced after BUILD, BIN
# and LOGS are set.
# shellcheck shell=bash

export WINEPREFIX=${VADERORU_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/vaderoru-wine}
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their installers would ask.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Wine keeps the host's QT_* variables from Windows programs and hands
# them WINEQT_* as QT_* instead.
export WINEQT_QPA_PLATFORM=offscreen
# Without a console Qt logs through OutputDebugString, which Wine drops.
export WINEQT_FORCE_STDERR_LOGGING=1
QUIET_NICE=(nice -n 19)
ionice -c3 true 2>/dev/null && QUIET_NICE+=(ionice -c3)

log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*"; }

WINESERVER_STARTED=
start_wine() {
  mkdir -p "$(dirname "$WINEPREFIX")" "$LOGS"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    log "making the Wine prefix $WINEPREFIX"
    wineboot --init >"$LOGS/wineboot.log" 2>&1
    # wineboot returns while its server is still setting up the prefix;
    # starting another one then fails.
    wineserver --wait
  fi
  # One server for the whole run: each program then starts in a moment.
  wineserver --persistent
  WINESERVER_STARTED=1
  # Copies of the executables outside bin (temporary installations) find
  # their DLLs and platform plugins through the search path.
  local windows_bin
  windows_bin=$(winepath -w "$BIN")
  export WINEPATH="$windows_bin"
  export WINEQT_PLUGIN_PATH="$windows_bin"
  # The offscreen platform finds no fonts on Windows but in its font folder:
  # the host's, as the Linux suites see them.
  export WINEQT_QPA_FONTDIR
  WINEQT_QPA_FONTDIR=$(winepath -w "$(host_fonts)")
  # The tests that make certificates call openssl; the Windows one of the
  # toolchain is in bin, its configuration beside the toolchain.
  export OPENSSL_CONF
  OPENSSL_CONF=$(winepath -w "$BIN/openssl.cnf")
}

# One folder with links to the host's TrueType fonts.
host_fonts() {
  local folder=$BUILD/test-fonts font
  mkdir -p "$folder"
  find /usr/share/fonts -type f \( -name '*.ttf' -o -name '*.ttc' -o -name '*.otf' \) |
    while read -r font; do ln -sf "$font" "$folder/"; done
  echo "$folder"
}

# Ends every program of the prefix and its server.
stop_wineserver() {
  if [ -n "$WINESERVER_STARTED" ]; then wineserver --kill 2>/dev/null || true; fi
  WINESERVER_STARTED=
}

# The Linux build of `target` at `path` below it, made in <build>/linux
# beside the Windows build; prints its path.
LINUX_BUILD=$BUILD/linux
linux_program() {
  local target=$1 path=$2
  if [ ! -f "$LINUX_BUILD/CMakeCache.txt" ]; then
    log "configuring the Linux build in $LINUX_BUILD" >&2
    cmake -S . -B "$LINUX_BUILD" -DCMAKE_BUILD_TYPE=Release -DVADERORU_BUILD_TESTS=OFF \
      -DVADERORU_BUILD_BENCH=OFF >"$LOGS/linux-configure.log" 2>&1
  fi
  "${QUIET_NICE[@]}" cmake --build "$LINUX_BUILD" -j "$(nproc)" --target "$target" \
    >"$LOGS/linux-build.log" 2>&1 || { tail -n 20 "$LOGS/linux-build.log" >&2 && return 1; }
  echo "$LINUX_BUILD/$path"
}

# Prints the port that a Linux cloudservice, started in the background as
# `pid`, reports in its output file `output`; fails when it has said none
# within 10 s, or ended first.
service_port() {
  local output=$1 pid=$2 port
  for _ in $(seq 100); do
    port=$(sed -n 's#^cloudservice listening on http://127\.0\.0\.1:\([0-9]*\)$#\1#p' "$output")
    [ -n "$port" ] && echo "$port" && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
