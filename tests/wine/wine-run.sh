#!/usr/bin/env bash
# Runs a Windows program of the build under wine, for the tests:
#   wine-run.sh PREFIX PROGRAM.exe [ARGS...]
# PREFIX is a wine prefix of the test run's own. The first call sets it up
# (wineboot, no crash dialog) and every call makes sure a wineserver is
# running with its output sent to a log, so no wine service holds the
# caller's pipes open (ctest reads the output of test discovery to its end).
# Every program run is bounded in time (QUILLET_WINE_TIMEOUT, seconds).
set -euo pipefail
prefix=$1
shift
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
mkdir -p "$prefix"
log=$prefix/wine-services.log
(
  flock 9
  # A server of this prefix that lingers for a minute after its last program.
  # (Started without the lock: the server outlives this call.)
  timeout 10 wineserver -p60 </dev/null >>"$log" 2>&1 9>&- || true
  if [ ! -e "$prefix/.quillet-ready" ]; then
    timeout 300 wine wineboot -i </dev/null >>"$log" 2>&1 9>&-
    timeout 60 wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
      </dev/null >>"$log" 2>&1 9>&-
    touch "$prefix/.quillet-ready"
  fi
) 9>"$prefix/.quillet-lock"
exec timeout -k 5 "${QUILLET_WINE_TIMEOUT:-300}" wine "$@"
