#!/usr/bin/env bash
# Builds the Debian package of Quillet with CPack into build/ and prints its
# path as the last line. Its run-time dependencies (Debian's Qt 6, C and C++
# run-time packages) are computed from the programs by dpkg-shlibdeps.
# Install it with: apt install ./build/quillet_VERSION_ARCH.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build build -j "$(nproc)"
rm -f build/quillet_*.deb
(cd build && cpack -G DEB)
deb=$(ls build/quillet_*.deb)
echo "$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")"
