#!/usr/bin/env bash
# Cross-builds Quillet for 64-bit Windows into build-win/ with mingw-w64:
# quillet.exe (the dialog), quillet-cli.exe and the unit tests as .exe
# files, the installer quillet-VERSION-win64.msi (wixl), then the zip
# quillet-VERSION-win64.zip (both programs and README.txt). Installs what it
# needs first (as root on Debian 12). Extra arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-windows.sh
# -O2: mingw's g++ 12 warns falsely (-Wrestrict) on string concatenation at -O3.
cmake -S . -B build-win -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
      -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
      -DQUILLET_BENCH=OFF "$@"
cmake --build build-win -j "$(nproc)"
(cd build-win && cpack -G ZIP >/dev/null && ls -1 quillet-*-win64.msi quillet-*-win64.zip)
