#!/usr/bin/env bash
# Sets up, builds and runs every test:
#   1. the normal build, all tests (the dialog's tests offscreen), then the
#      Debian package, unpacked and checked (scripts/check-package.sh);
#   2. the core, simulator and command line with AddressSanitizer and
#      UndefinedBehaviorSanitizer, all their tests;
#   3. ThreadSanitizer: the serial link's tests, and the command line
#      serving several instruments at once (--all, --watch) end to end;
#   4. the fuzz targets (libFuzzer, clang, ASan/UBSan) for a bounded time;
#   5. the Windows programs, cross-built with mingw-w64, and their tests
#      under wine (unit tests as .exe files, end to end against the
#      simulator).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)
fuzz_seconds=${QUILLET_FUZZ_SECONDS:-60}
logs=$(mktemp -d)
# Runs ctest, keeping its output to add up the counts at the end.
run_ctest() {
  local name=$1; shift
  ctest "$@" 2>&1 | tee "$logs/$name.log"
  return "${PIPESTATUS[0]}"
}

echo "== 1. build and test =="
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
run_ctest main --test-dir build --output-on-failure -j "$jobs" -LE wine
bash scripts/package.sh | tee "$logs/package.txt"
bash scripts/check-package.sh "$(tail -n 1 "$logs/package.txt")"

echo "== 2. AddressSanitizer + UndefinedBehaviorSanitizer =="
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLET_GUI=OFF -DQUILLET_BENCH=OFF \
      -DQUILLET_SANITIZE=address,undefined
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 run_ctest asan --test-dir build-asan --output-on-failure -j "$jobs" -LE wine

echo "== 3. ThreadSanitizer: serial link, several instruments at once =="
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLET_GUI=OFF -DQUILLET_BENCH=OFF \
      -DQUILLET_SANITIZE=thread
cmake --build build-tsan -j "$jobs" --target test_serial test_cli quillet-cli quillet-sim
# The command line under test is the instrumented one: a race ends it (and the test).
TSAN_OPTIONS=halt_on_error=1 run_ctest tsan --test-dir build-tsan --output-on-failure \
  -R '^(SerialLinkTest|PortMapTest|FakeSystem|CliAll)\.'

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

echo "== 5. Windows: cross-build, tests under wine =="
windows_start=$(date +%s)
bash scripts/build-windows.sh
# Wine prefixes of this run's own; their servers end with the stage.
rm -rf build-win/wineprefix build-win/wineprefix-e2e
windows_rc=0
run_ctest windows --test-dir build-win --output-on-failure -j "$jobs" || windows_rc=$?
# End to end under wine, driven from the Linux build.
if [ "$windows_rc" -eq 0 ]; then
  QUILLET_WIN_BUILD="$PWD/build-win" run_ctest wine --test-dir build --output-on-failure -L wine || windows_rc=$?
fi
for prefix in build-win/wineprefix build-win/wineprefix-e2e; do
  [ -d "$prefix" ] && WINEPREFIX="$PWD/$prefix" timeout 30 wineserver -k 2>/dev/null || true
done
echo "windows stage: $(( $(date +%s) - windows_start )) s"
[ "$windows_rc" -eq 0 ] || exit "$windows_rc"

passed=0; failed=0
for f in "$logs"/*.log; do
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$f" | tail -n 1 || true)
  [ -n "$line" ] || continue
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*tests passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  passed=$((passed + total - bad)); failed=$((failed + bad))
done
echo "all: $passed passed, $failed failed"
