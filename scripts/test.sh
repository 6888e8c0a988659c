#!/usr/bin/env bash
# Sets up, builds and runs every test:
#   1. the normal build, all tests (the dialog's tests offscreen);
#   2. the core, simulator and command line with AddressSanitizer and
#      UndefinedBehaviorSanitizer, all their tests;
#   3. the serial link with ThreadSanitizer, its tests;
#   4. the fuzz targets (libFuzzer, clang, ASan/UBSan) for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)
fuzz_seconds=${QUILLET_FUZZ_SECONDS:-60}

echo "== 1. build and test =="
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== 2. AddressSanitizer + UndefinedBehaviorSanitizer =="
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLET_GUI=OFF -DQUILLET_BENCH=OFF \
      -DQUILLET_SANITIZE=address,undefined
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== 3. ThreadSanitizer: serial link =="
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLET_GUI=OFF -DQUILLET_BENCH=OFF \
      -DQUILLET_SANITIZE=thread
cmake --build build-tsan -j "$jobs" --target test_serial
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -L serial

echo "== 4. fuzz targets, ${fuzz_seconds}s each =="
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLET_GUI=OFF -DQUILLET_BENCH=OFF \
      -DQUILLET_FUZZ=ON -DQUILLET_SANITIZE=address,undefined \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
fuzzers=$(cd tests/fuzz && ls *.cpp | sed 's/\.cpp$//')
cmake --build build-fuzz -j "$jobs" --target $fuzzers
for f in $fuzzers; do
  echo "-- $f"
  mkdir -p "build-fuzz/corpus/$f"
  "build-fuzz/tests/$f" -max_total_time="$fuzz_seconds" -print_final_stats=1 "build-fuzz/corpus/$f" 2>&1 | tail -n 3
done
echo "fuzz: $(echo $fuzzers | wc -w) targets ran ${fuzz_seconds}s each without a crash"
