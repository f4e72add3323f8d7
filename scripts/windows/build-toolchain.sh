#!/usr/bin/env bash
# Builds, once, everything the Windows cross-build of the updater needs into
# one folder outside the tree, from Debian's packages and source packages
# only: OpenSSL, libsodium, libzip, libzstd, the cpp-httplib header, Qt 5 (qtbase),
# SQLite with Qt's SQL module and its SQLite driver (for cloudservice), and a
# CMake toolchain file that points at all of it.
#
#   scripts/windows/build-toolchain.sh [--prefix DIR] [--jobs N]
#
# The folder defaults to /opt/vaderoru-win (or $VADERORU_WIN_PREFIX). Each
# component leaves a stamp file; a run with every stamp present does nothing.
# Builds run at the lowest CPU and I/O priority: the machine is shared.
# Run as root: it installs Debian packages and adds a deb-src entry.
set -euo pipefail

PREFIX=${VADERORU_WIN_PREFIX:-/opt/vaderoru-win}
JOBS=$(nproc)
usage() { sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; }
while (($#)); do
  case $1 in
  --prefix) PREFIX=$2 && shift 2 ;;
  --jobs) JOBS=$2 && shift 2 ;;
  -h | --help) usage && exit 0 ;;
  *) usage >&2 && exit 2 ;;
  esac
done

HOST=x86_64-w64-mingw32
SRC=$PREFIX/src
STAMPS=$PREFIX/stamps
LOGS=$PREFIX/logs
QT=$PREFIX/qt5
TOOLCHAIN_FILE=$PREFIX/toolchain.cmake
QUIET_NICE=(nice -n 19)
ionice -c3 true 2>/dev/null && QUIET_NICE+=(ionice -c3)
START=$SECONDS

log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*"; }

# Runs a build command quietly into a log file; shows its tail on failure.
run_logged() {
  local name=$1
  shift
  if ! "${QUIET_NICE[@]}" "$@" >>"$LOGS/$name.log" 2>&1; then
    tail -n 40 "$LOGS/$name.log" >&2
    log "FAILED: $name (full log: $LOGS/$name.log)" >&2
    exit 1
  fi
}

# Runs one component's build function unless its stamp says it is done.
component() {
  local name=$1 started=$SECONDS
  if [ -e "$STAMPS/$name" ]; then
    log "$name: already built"
    return
  fi
  log "$name: building (log: $LOGS/$name.log)"
  echo "--- $(date)" >>"$LOGS/$name.log"
  "build_$name"
  touch "$STAMPS/$name"
  log "$name: done in $((SECONDS - started)) s"
}

# --- Debian packages -------------------------------------------------------

PACKAGES=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools
  libz-mingw-w64-dev wine wine64 dpkg-dev cmake ninja-build pkg-config make perl
  python3 autoconf automake libtool gcc libc6-dev tcl
)

missing_packages() {
  local package
  for package in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
      grep -q 'install ok installed' || echo "$package"
  done
}

# apt-get source needs deb-src entries; derive them from the binary ones.
ensure_deb_src() {
  local list=/etc/apt/sources.list.d/vaderoru-deb-src
  grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && return 0
  grep -rqs '^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/ && return 0
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    log "adding $list.sources"
    sed -n 's/^Types:.*/Types: deb-src/; /^$/p; /^\(Types\|URIs\|Suites\|Components\|Signed-By\):/p' \
      /etc/apt/sources.list.d/debian.sources >"$list.sources"
  else
    log "adding $list.list"
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$list.list"
  fi
  APT_UPDATED=
}

APT_UPDATED=
apt_update_once() {
  [ -n "$APT_UPDATED" ] && return
  log "apt-get update"
  apt-get update -qq
  APT_UPDATED=1
}

install_packages() {
  local missing
  missing=$(missing_packages)
  [ -z "$missing" ] && return
  apt_update_once
  log "installing: $missing"
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing \
    >>"$LOGS/packages.log" 2>&1 || { tail -n 20 "$LOGS/packages.log" >&2 && exit 1; }
}

# Qt's win32-g++ mkspec calls the unsuffixed compiler names; threads need the
# posix flavour (std::thread, std::mutex).
select_posix_compilers() {
  local tool
  for tool in gcc g++; do
    if [ "$(readlink -f "/usr/bin/$HOST-$tool")" != "/usr/bin/$HOST-$tool-posix" ]; then
      update-alternatives --set "$HOST-$tool" "/usr/bin/$HOST-$tool-posix"
    fi
  done
}

# Debian source package of each component built from source.
declare -A SOURCE_PACKAGES=(
  [openssl]=openssl [libsodium]=libsodium [libzip]=libzip [zstd]=libzstd
  [httplib]=cpp-httplib [qt]=qtbase-opensource-src [sqlite]=sqlite3
)

# Prints the unpacked folder (patches applied) of source package `package`.
source_dir() {
  find "$SRC" -maxdepth 1 -mindepth 1 -type d -name "$1-*" | sort | tail -n 1
}

# Fetches a source package, newest version first; an older one when the
# mirror no longer holds the newest.
fetch_source() {
  local package=$1 version
  for version in $(apt-cache showsrc "$package" | sed -n 's/^Version: //p' | sort -rV | uniq); do
    if (cd "$SRC" && apt-get source -qq "$package=$version" >>"$LOGS/sources.log" 2>&1); then
      return 0
    fi
    log "$package $version not available, trying an older one"
  done
  tail -n 20 "$LOGS/sources.log" >&2
  exit 1
}

# Fetches the source packages of the components still to build.
fetch_sources() {
  local component package
  for component in "${!SOURCE_PACKAGES[@]}"; do
    package=${SOURCE_PACKAGES[$component]}
    [ -e "$STAMPS/$component" ] && continue
    [ -n "$(source_dir "$package")" ] && continue
    ensure_deb_src
    apt_update_once
    log "fetching source package $package"
    fetch_source "$package"
  done
}

# --- components ------------------------------------------------------------

build_toolchainfile() {
  cat >"$TOOLCHAIN_FILE" <<EOF
# Cross-compiles for 64-bit Windows against the libraries in this folder.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER $HOST-gcc-posix)
set(CMAKE_CXX_COMPILER $HOST-g++-posix)
set(CMAKE_RC_COMPILER $HOST-windres)
set(VADERORU_WIN_PREFIX "$PREFIX")
set(CMAKE_FIND_ROOT_PATH "$PREFIX" "$QT" /usr/$HOST)
set(CMAKE_PREFIX_PATH "$QT" "$PREFIX")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config must see this folder's .pc files and never the Linux ones.
set(ENV{PKG_CONFIG_LIBDIR} "$PREFIX/lib/pkgconfig:/usr/$HOST/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(OPENSSL_ROOT_DIR "$PREFIX")
EOF
}

build_openssl() {
  local dir
  dir=$(source_dir openssl)
  cd "$dir"
  [ -f Makefile ] && run_logged openssl make clean
  run_logged openssl ./Configure mingw64 "--cross-compile-prefix=$HOST-" shared \
    no-tests "--prefix=$PREFIX" --libdir=lib "--openssldir=$PREFIX/ssl"
  run_logged openssl make -j"$JOBS" build_sw
  run_logged openssl make install_sw
}

build_libsodium() {
  local dir
  dir=$(source_dir libsodium)
  cd "$dir"
  # The source package carries no generated configure script.
  [ -x configure ] || run_logged libsodium autoreconf -fi
  [ -f Makefile ] && run_logged libsodium make distclean
  run_logged libsodium ./configure "--host=$HOST" "--prefix=$PREFIX" \
    --disable-static --enable-shared
  run_logged libsodium make -j"$JOBS"
  run_logged libsodium make install
}

build_libzip() {
  local dir
  dir=$(source_dir libzip)
  rm -rf "$PREFIX/build/libzip"
  run_logged libzip cmake -S "$dir" -B "$PREFIX/build/libzip" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN_FILE" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" -DBUILD_SHARED_LIBS=ON \
    -DZLIB_INCLUDE_DIR="/usr/$HOST/include" -DZLIB_LIBRARY="/usr/$HOST/lib/libz.dll.a" \
    -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF -DENABLE_GNUTLS=OFF \
    -DENABLE_MBEDTLS=OFF -DENABLE_COMMONCRYPTO=OFF -DENABLE_WINDOWS_CRYPTO=OFF \
    -DENABLE_OPENSSL=ON -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF \
    -DBUILD_DOC=OFF
  run_logged libzip cmake --build "$PREFIX/build/libzip" -j "$JOBS"
  run_logged libzip cmake --install "$PREFIX/build/libzip"
}

# The library only, shared like the others; its CMake build lives below
# build/cmake. The command-line tool, the tests and the legacy formats, which
# delta patches never use, are left out.
build_zstd() {
  local dir
  dir=$(source_dir libzstd)
  rm -rf "$PREFIX/build/zstd"
  run_logged zstd cmake -S "$dir/build/cmake" -B "$PREFIX/build/zstd" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN_FILE" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" -DZSTD_BUILD_SHARED=ON -DZSTD_BUILD_STATIC=OFF \
    -DZSTD_BUILD_PROGRAMS=OFF -DZSTD_BUILD_TESTS=OFF -DZSTD_BUILD_CONTRIB=OFF \
    -DZSTD_LEGACY_SUPPORT=OFF -DZSTD_MULTITHREAD_SUPPORT=OFF
  run_logged zstd cmake --build "$PREFIX/build/zstd" -j "$JOBS"
  run_logged zstd cmake --install "$PREFIX/build/zstd"
}

# Debian ships cpp-httplib split into a header and a Linux shared library;
# its source package holds the original single header, used as it is.
build_httplib() {
  local dir version
  dir=$(source_dir cpp-httplib)
  install -D -m 644 "$dir/httplib.h" "$PREFIX/include/httplib.h"
  version=$(sed -n 's/^#define CPPHTTPLIB_VERSION "\(.*\)"/\1/p' "$dir/httplib.h")
  cat >"$PREFIX/lib/pkgconfig/cpp-httplib.pc" <<EOF
prefix=$PREFIX
includedir=\${prefix}/include
libdir=\${prefix}/lib

Name: cpp-httplib
Description: A C++ HTTP/HTTPS server and client library (header only)
Version: $version
Requires: openssl >= 1.1.1
Libs: -lws2_32 -lcrypt32
Cflags: -I\${includedir} -DCPPHTTPLIB_OPENSSL_SUPPORT
EOF
}

# Only what the updater and its tests link, and the plugins they load: a
# real window, no window for the tests, the native widget style.
QT_TARGETS=(sub-corelib sub-winmain sub-gui sub-widgets sub-network sub-testlib sub-platformsupport)
QT_PLUGINS=(platforms/windows platforms/offscreen styles/windowsvista)

# CMake's Qt packages announce every plugin qmake has seen and fail on one
# that was not built; only the built ones stay announced.
forget_unbuilt_plugins() {
  local file dll
  for file in "$QT"/lib/cmake/*/*Plugin.cmake; do
    dll=$(sed -n 's/.*_populate_[A-Za-z0-9]*_plugin_properties([A-Za-z0-9]* RELEASE "\([^"]*\)".*/\1/p' "$file")
    [ -n "$dll" ] && [ ! -f "$QT/plugins/$dll" ] && rm "$file"
  done
  return 0
}

build_qt() {
  local dir plugin
  dir=$(source_dir qtbase-opensource-src)
  mkdir -p "$QT"
  cd "$QT"
  # Built where it is installed: a non-prefix build needs no install step.
  # Its headers stay in the source folder, which must therefore stay too.
  local options=(-prefix "$QT" -opensource -confirm-license \
    -xplatform win32-g++ -device-option CROSS_COMPILE="$HOST-" -release \
    -no-opengl -no-icu -no-dbus -qt-zlib -qt-libpng -qt-libjpeg -qt-pcre \
    -qt-freetype -qt-harfbuzz -no-feature-tabletevent -nomake examples -nomake tests \
    -no-sql-sqlite -no-sql-odbc -no-sql-psql -no-sql-mysql \
    -openssl-linked OPENSSL_INCDIR="$PREFIX/include" OPENSSL_LIBDIR="$PREFIX/lib" \
    OPENSSL_LIBS="-lssl -lcrypto -lws2_32 -lgdi32 -lcrypt32 -luser32 -ladvapi32")
  # A rerun after a failed make keeps the configured tree and what it built.
  if [ "$(cat "$STAMPS/qt-configure" 2>/dev/null)" != "${options[*]}" ]; then
    run_logged qt "$dir/configure" "${options[@]}"
    echo "${options[*]}" >"$STAMPS/qt-configure"
  fi
  # Makefiles for the whole source tree first: the module targets below are
  # defined in them.
  run_logged qt make sub-src-qmake_all
  run_logged qt make -j"$JOBS" -C src "${QT_TARGETS[@]}"
  for plugin in "${QT_PLUGINS[@]}"; do
    run_logged qt make -j"$JOBS" -C "src/plugins/$plugin"
  done
  forget_unbuilt_plugins
}

# The source package holds SQLite's sources as its authors keep them; the
# single-file amalgamation is made from them with the host's compiler and
# tclsh, and compiled alone into one DLL, with the column metadata Qt's
# driver asks for. No shell, no extension loading.
build_sqlite() {
  local dir build=$PREFIX/build/sqlite
  dir=$(source_dir sqlite3)
  rm -rf "$build"
  mkdir -p "$build"
  cd "$build"
  run_logged sqlite "$dir/configure" --disable-tcl --disable-readline
  run_logged sqlite make sqlite3.c
  run_logged sqlite "$HOST-gcc-posix" -O2 -shared -DSQLITE_API='__declspec(dllexport)' \
    -DSQLITE_THREADSAFE=1 -DSQLITE_ENABLE_COLUMN_METADATA -DSQLITE_OMIT_LOAD_EXTENSION sqlite3.c \
    -o "$PREFIX/bin/libsqlite3-0.dll" -Wl,--out-implib,"$PREFIX/lib/libsqlite3.dll.a"
  install -m 644 sqlite3.h sqlite3ext.h "$PREFIX/include/"
}

# Qt's SQL module and its SQLite driver, added to the Qt built above without
# configuring it again. The drivers are configured on their own, with SQLite
# from this folder, in a folder outside Qt's tree (inside it, qmake would
# take the drivers' configuration from Qt's); the plugin lands in Qt's.
build_qtsql() {
  local dir build=$PREFIX/build/sqldrivers
  dir=$(source_dir qtbase-opensource-src)
  cd "$QT"
  run_logged qtsql make -j"$JOBS" -C src sub-sql
  rm -rf "$build"
  mkdir -p "$build"
  cd "$build"
  run_logged qtsql "$QT/bin/qmake" "$dir/src/plugins/sqldrivers/sqldrivers.pro" -- \
    -sql-sqlite -system-sqlite -no-sql-odbc -no-sql-psql -no-sql-mysql \
    SQLITE_INCDIR="$PREFIX/include" SQLITE_LIBDIR="$PREFIX/lib"
  run_logged qtsql make -j"$JOBS" sub-sqlite
}

main() {
  log "prefix: $PREFIX, jobs: $JOBS"
  mkdir -p "$SRC" "$STAMPS" "$LOGS"
  install_packages
  select_posix_compilers
  fetch_sources
  component toolchainfile
  component openssl
  component libsodium
  component libzip
  component zstd
  component httplib
  component qt
  component sqlite
  component qtsql
  log "toolchain ready in $PREFIX (CMake: -DCMAKE_TOOLCHAIN_FILE=$TOOLCHAIN_FILE)"
  log "total time: $((SECONDS - START)) s"
}

# One line: bash has read it whole before the build starts.
main "$@"; exit
