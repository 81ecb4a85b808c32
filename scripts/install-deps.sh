#!/usr/bin/env bash
# Brings a fresh Debian machine everything the build and the tests need. Safe to run again.
set -euo pipefail
pkgs=(wine wine64 libwine g++-mingw-w64-x86-64 g++-mingw-w64-i686 gcc-mingw-w64-x86-64
      gcc-mingw-w64-i686 libz-mingw-w64-dev xvfb xauth x11-apps imagemagick googletest
      libsqlite3-dev libpq-dev postgresql libcpp-httplib-dev nlohmann-json3-dev zlib1g-dev sqlite3
      cmake ninja-build g++ python3 pkg-config zip unzip
      chromium chromium-driver python3-selenium fonts-dejavu-core
      libssl-dev openssl dpkg-dev adduser systemd)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
