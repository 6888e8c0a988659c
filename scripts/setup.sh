#!/usr/bin/env bash
# Installs what building and testing Quillet needs on Debian 12 (as root).
set -euo pipefail
pkgs=(build-essential cmake ninja-build ccache pkg-config
      qt6-base-dev libgl-dev fonts-dejavu-core nlohmann-json3-dev
      googletest libgtest-dev libgmock-dev libbenchmark-dev
      clang libclang-rt-14-dev
      python3 python3-pil python3-crcmod stm32flash socat ser2net
      libpng-dev
      help2man file dpkg-dev man-db desktop-file-utils lintian)
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
# The Windows cross-build and its tests under wine.
bash "$(dirname "$0")/setup-windows.sh"
