#!/usr/bin/env bash
# Installs what building, testing and running the updater need on Debian 12.
# Run as root (or through sudo).
set -euo pipefail
packages=(
  build-essential cmake pkg-config
  qtbase5-dev qtbase5-dev-tools
  postgresql libqt5sql5-sqlite libqt5sql5-psql
  libzip-dev libzstd-dev libcpp-httplib-dev libssl-dev openssl libsodium-dev python3-nacl
  iputils-ping procps psmisc zip unzip curl time
  squid nginx wrk
  fonts-wqy-microhei fonts-dejavu-core
  xvfb xauth imagemagick
)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
fi
