#!/usr/bin/env bash
# Installs what the Windows build and its tests under wine need on Debian 12
# (as root): the mingw-w64 cross compiler (posix threads), GoogleTest's
# sources, the JSON headers, wine, Xvfb for the dialog's tests, the build
# machine's g++ (the icon writer runs during the build), icoutils (the
# resource checks), wixl (the installer) and python3.
set -euo pipefail
pkgs=(g++-mingw-w64-x86-64-posix googletest nlohmann-json3-dev cmake ninja-build
      wine wine64 xvfb xauth g++ icoutils wixl python3)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
